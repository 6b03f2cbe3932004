// list_pages.h -- the printed list pages kept between requests. A kept page
// is the reply while the same records stand at its places in the list order
// carrying the stamps they and their authors had when it was made: a view, a
// like, an edit, a new or deleted item or a nickname changes a stamp or a
// place. Item texts are kept the same way, each checked by its record and
// author. Every call needs the database lock.
#pragma once

#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "storage/database_lock.h"

// What one item of a page was made from.
struct PageItemSource {
  const cJSON* record = nullptr;
  double stamp = 0;
  const cJSON* author = nullptr;
  double authorStamp = 0;
};

struct KeptPage {
  int page = 0;
  std::int64_t start = 0;
  std::vector<PageItemSource> sources;
  std::shared_ptr<const std::string> text;
};

struct KeptListItem {
  PageItemSource source;
  std::shared_ptr<const std::string> text;
};

// The last few pages made.
constexpr std::size_t kKeptPageSlots = 8;
// The kept item texts are dropped all at once when they reach this many (a
// few pages' worth is what is reused).
constexpr std::size_t kKeptItemLimit = 4096;

// The kept list pages part of the database (DatabaseState::listPages).
struct KeptListPages {
  KeptPage slots[kKeptPageSlots];
  std::size_t next = 0;  // the slot a page not kept yet replaces
  std::unordered_map<const cJSON*, KeptListItem> items;
};

// The source of the item made of record, as it stands now.
PageItemSource pageItemSource(const cJSON* record) REQUIRES(databaseMutex);

// The kept text of page, whose items are the records at [start, end) of
// the list order (newsAtListPlace); null when none is kept or what it shows has changed.
std::shared_ptr<const std::string> keptListPage(int page, std::int64_t start, std::int64_t end)
    REQUIRES(databaseMutex);

// The kept text of the list item made from source's record, while the record
// and its author are as source notes them; null otherwise. A page made again
// after a change prints only the items that changed.
std::shared_ptr<const std::string> keptListItem(const PageItemSource& source)
    REQUIRES(databaseMutex);

// Keeps text as the item made from source's record.
void keepListItem(const PageItemSource& source, std::shared_ptr<const std::string> text)
    REQUIRES(databaseMutex);

// Keeps text as page's text, made from sources (noted while it was made), in
// place of the page's earlier text or of the oldest kept page.
void keepListPage(int page, std::int64_t start, std::vector<PageItemSource> sources,
                  std::shared_ptr<const std::string> text) REQUIRES(databaseMutex);
