// detail_texts.h -- the printed news details kept between requests. A kept
// text is the reply while its detail record carries the stamp it had when
// printed and is asked with the same avatar: an edit stamps the record, a new
// avatar shows in the one asked with; a view stamps only the news record.
// The most recently asked texts are kept, at most kKeptDetailLimit and
// kKeptDetailBytes in all (the text kept last stays whatever its size).
// Every call needs the database lock.
#pragma once

#include <cjson/cJSON.h>

#include <cstddef>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "storage/database_lock.h"

constexpr std::size_t kKeptDetailLimit = 1024;
constexpr std::size_t kKeptDetailBytes = 64u << 20;

// What one detail text was printed from, noted under the lock when the
// record was copied for printing.
struct DetailTextSource {
  const cJSON* detail = nullptr;
  double stamp = 0;
  std::string avatar;
};

struct KeptDetail {
  DetailTextSource source;
  std::shared_ptr<const std::string> text;
};

// The kept detail texts part of the database (DatabaseState::detailTexts): the
// texts, the most recently asked first, found by their record.
struct KeptDetails {
  std::list<KeptDetail> order;
  std::unordered_map<const cJSON*, std::list<KeptDetail>::iterator> byRecord;
  std::size_t bytes = 0;
};

// The source of the text of detail, an element of "news_detail", shown with
// avatar (not null), as it stands now.
DetailTextSource detailTextSource(const cJSON* detail, const char* avatar) REQUIRES(databaseMutex);

// The kept text of detail shown with avatar (not null), while detail is as
// it was when the text was kept; null otherwise. A text found counts as
// asked.
std::shared_ptr<const std::string> keptDetailText(const cJSON* detail, const char* avatar)
    REQUIRES(databaseMutex);

// Keeps text as the reply printed from source, in place of an earlier text
// of the same record, and drops the least recently asked texts beyond the
// limits. Returns the texts it dropped, for the caller to free once the lock
// is released (a large one takes a while to give back).
std::vector<std::shared_ptr<const std::string>> keepDetailText(
    DetailTextSource source, std::shared_ptr<const std::string> text) REQUIRES(databaseMutex);
