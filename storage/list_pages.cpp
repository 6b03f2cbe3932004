// list_pages.cpp -- kept list pages, checked by the stamps of what they show.
#include "storage/list_pages.h"

#include "storage/database.h"
#include "storage/news_index.h"
#include "storage/record_changes.h"
#include "storage/records.h"

namespace {

bool sameSource(const PageItemSource& a, const PageItemSource& b) {
  return a.record == b.record && a.stamp == b.stamp && a.author == b.author &&
         a.authorStamp == b.authorStamp;
}

}  // namespace

PageItemSource pageItemSource(const cJSON* record) {
  PageItemSource source;
  source.record = record;
  source.stamp = recordStamp(record);
  source.author = newsAuthor(record);
  source.authorStamp = recordStamp(source.author);
  return source;
}

std::shared_ptr<const std::string> keptListPage(int page, std::int64_t start, std::int64_t end) {
  for (const KeptPage& kept : databaseState.listPages.slots) {
    if (kept.text == nullptr || kept.page != page || kept.start != start) continue;
    if (static_cast<std::int64_t>(kept.sources.size()) != end - start) return nullptr;
    for (std::size_t k = 0; k < kept.sources.size(); ++k) {
      const cJSON* record = newsAtListPlace(start + static_cast<std::int64_t>(k));
      // Comparing the record first: the stamps of a freed record are never read.
      if (record != kept.sources[k].record) return nullptr;
      if (!sameSource(pageItemSource(record), kept.sources[k])) return nullptr;
    }
    return kept.text;
  }
  return nullptr;
}

std::shared_ptr<const std::string> keptListItem(const PageItemSource& source) {
  auto& items = databaseState.listPages.items;
  auto found = items.find(source.record);
  if (found == items.end() || !sameSource(found->second.source, source)) return nullptr;
  return found->second.text;
}

void keepListItem(const PageItemSource& source, std::shared_ptr<const std::string> text) {
  auto& items = databaseState.listPages.items;
  if (items.size() >= kKeptItemLimit) items.clear();
  items[source.record] = KeptListItem{source, std::move(text)};
}

void keepListPage(int page, std::int64_t start, std::vector<PageItemSource> sources,
                  std::shared_ptr<const std::string> text) {
  KeptListPages& pages = databaseState.listPages;
  KeptPage made{page, start, std::move(sources), std::move(text)};
  for (KeptPage& kept : pages.slots) {
    if (kept.text != nullptr && kept.page == page) {
      kept = std::move(made);
      return;
    }
  }
  pages.slots[pages.next] = std::move(made);
  pages.next = (pages.next + 1) % kKeptPageSlots;
}
