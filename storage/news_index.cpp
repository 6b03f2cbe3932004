// news_index.cpp -- the kept list order and id positions of the news
// records, and the routines that change news items.
#include "storage/news_index.h"

#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <unordered_map>

#include "storage/database.h"
#include "storage/database_print.h"
#include "storage/json_search.h"
#include "storage/record_changes.h"

namespace {

constexpr const char* kIdKey = "id";
constexpr const char* kTimestampKey = "timestamp";
constexpr const char* kViewsKey = "views";

// Where a record stands in the list order: compareByTimestamp, then rank.
struct OrderKey {
  bool hasTimestamp = false;
  double timestamp = 0;
  std::uint64_t rank = 0;
};

OrderKey keyOf(const NewsIndex& index, const cJSON* record) {
  OrderKey key;
  const cJSON* timestamp = cJSON_GetObjectItem(record, kTimestampKey);
  key.hasTimestamp = cJSON_IsNumber(timestamp);
  if (key.hasTimestamp) key.timestamp = timestamp->valuedouble;
  auto rank = index.rankOf.find(record);
  if (rank != index.rankOf.end()) key.rank = rank->second;
  return key;
}

// True when a goes before b in the list (the order of compareByTimestamp
// with the array order deciding between equals).
bool before(const OrderKey& a, const OrderKey& b) {
  if (a.hasTimestamp != b.hasTimestamp) return a.hasTimestamp;
  if (a.hasTimestamp && a.timestamp != b.timestamp) return a.timestamp > b.timestamp;
  return a.rank < b.rank;
}

// The place in the kept (back to front) order where a record with key
// belongs: after every record that comes after it in the list.
std::vector<cJSON*>::iterator placeFor(NewsIndex& index, const OrderKey& key) {
  return std::lower_bound(
      index.listOrder.begin(), index.listOrder.end(), key,
      [&](const cJSON* record, const OrderKey& k) { return before(k, keyOf(index, record)); });
}

void withdrawFromOrder(NewsIndex& index, cJSON* record) {
  auto place = placeFor(index, keyOf(index, record));
  if (place == index.listOrder.end() || *place != record) {
    place = std::find(index.listOrder.begin(), index.listOrder.end(), record);
  }
  if (place != index.listOrder.end()) index.listOrder.erase(place);
}

void enterInOrder(NewsIndex& index, cJSON* record) {
  index.listOrder.insert(placeFor(index, keyOf(index, record)), record);
}

void indexIds(NewsArrayIndex& index) {
  index.firstIndexById.clear();
  for (size_t position = 0; position < index.elements.size(); ++position) {
    int id = 0;
    if (recordIdByText(index.elements[position], kIdKey, &id)) {
      index.firstIndexById.emplace(id, static_cast<int>(position));  // the first match stays
    }
  }
}

void buildArrayIndex(NewsArrayIndex& index, cJSON* array) {
  index.elements.clear();
  if (cJSON_IsArray(array)) {
    for (cJSON* element = array->child; element != nullptr; element = element->next) {
      index.elements.push_back(element);
    }
  }
  indexIds(index);
}

// The list order made afresh: the keys are read once, then sorted.
void buildListOrder(NewsIndex& index) {
  index.rankOf.clear();
  index.nextRank = 0;
  std::vector<std::pair<OrderKey, cJSON*>> keyed;
  keyed.reserve(index.news.elements.size());
  for (cJSON* record : index.news.elements) {
    index.rankOf[record] = index.nextRank++;
    keyed.emplace_back(keyOf(index, record), record);
  }
  std::sort(keyed.begin(), keyed.end(),
            [](const auto& a, const auto& b) { return before(a.first, b.first); });
  index.listOrder.clear();
  index.listOrder.reserve(keyed.size());
  for (auto entry = keyed.rbegin(); entry != keyed.rend(); ++entry) {
    index.listOrder.push_back(entry->second);
  }
}

cJSON* findIn(const NewsArrayIndex& array, int id, int* index) {
  if (index != nullptr) *index = -1;
  auto found = array.firstIndexById.find(id);
  if (found == array.firstIndexById.end()) return nullptr;
  if (index != nullptr) *index = found->second;
  return array.elements[static_cast<size_t>(found->second)];
}

cJSON* elementAt(const NewsArrayIndex& array, int index) {
  if (index < 0 || static_cast<size_t>(index) >= array.elements.size()) return nullptr;
  return array.elements[static_cast<size_t>(index)];
}

// Appends element to array and to its index; false when cJSON refuses.
bool appendTo(NewsArrayIndex& index, cJSON* array, cJSON* element) REQUIRES(databaseMutex) {
  if (!cJSON_AddItemToArray(array, element)) return false;
  index.elements.push_back(element);
  printAppended(array, element);
  int id = 0;
  if (recordIdByText(element, kIdKey, &id)) {
    index.firstIndexById.emplace(id, static_cast<int>(index.elements.size() - 1));
  }
  return true;
}

// Deletes element index of array (if there is one) and closes up its index.
void deleteFrom(NewsArrayIndex& index, cJSON* array, int position) REQUIRES(databaseMutex) {
  cJSON* element = elementAt(index, position);
  if (element == nullptr) return;
  index.elements.erase(index.elements.begin() + position);
  cJSON* detached = cJSON_DetachItemViaPointer(array, element);
  printRemoved(array, detached);
  cJSON_Delete(detached);
  indexIds(index);
}

}  // namespace

void buildNewsIndex() {
  NewsIndex& index = databaseState.newsIndex;
  buildArrayIndex(index.news, databaseState.newsArray);
  buildArrayIndex(index.details, databaseState.newsDetailArray);
  buildListOrder(index);
}

std::vector<cJSON*> newsInListOrder() {
  const std::vector<cJSON*>& kept = databaseState.newsIndex.listOrder;
  return std::vector<cJSON*>(kept.rbegin(), kept.rend());
}

cJSON* newsAtListPlace(std::int64_t place) {
  const std::vector<cJSON*>& kept = databaseState.newsIndex.listOrder;
  if (place < 0 || static_cast<std::uint64_t>(place) >= kept.size()) return nullptr;
  return kept[kept.size() - 1 - static_cast<std::size_t>(place)];
}

int newsCount() { return static_cast<int>(databaseState.newsIndex.news.elements.size()); }

cJSON* newsRecordAt(int index) { return elementAt(databaseState.newsIndex.news, index); }

cJSON* newsDetailAt(int index) { return elementAt(databaseState.newsIndex.details, index); }

cJSON* findNewsById(int id, int* index) { return findIn(databaseState.newsIndex.news, id, index); }

cJSON* findNewsDetailById(int id, int* index) {
  return findIn(databaseState.newsIndex.details, id, index);
}

bool appendNewsItem(cJSON* news, cJSON* detail) {
  if (news == nullptr || detail == nullptr || !cJSON_IsArray(databaseState.newsArray) ||
      !cJSON_IsArray(databaseState.newsDetailArray)) {
    return false;
  }
  NewsIndex& index = databaseState.newsIndex;
  if (!appendTo(index.news, databaseState.newsArray, news)) return false;
  if (!appendTo(index.details, databaseState.newsDetailArray, detail)) {
    printRemoved(databaseState.newsArray,
                 cJSON_DetachItemViaPointer(databaseState.newsArray, news));
    index.news.elements.pop_back();
    indexIds(index.news);
    return false;
  }
  index.rankOf[news] = index.nextRank++;
  enterInOrder(index, news);
  recordChanged(news);
  recordChanged(detail);
  return true;
}

bool setNewsMember(cJSON* news, const char* key, cJSON* item) {
  NewsIndex& index = databaseState.newsIndex;
  withdrawFromOrder(index, news);
  const bool placed = setRecordMember(news, key, item);
  enterInOrder(index, news);
  // No action changes an id; a record given another one is found under it
  // from now on.
  if (placed && strcasecmp(key, kIdKey) == 0) indexIds(index.news);
  return placed;
}

void deleteNewsItem(int position) {
  NewsIndex& index = databaseState.newsIndex;
  cJSON* news = elementAt(index.news, position);
  if (news == nullptr) return;
  withdrawFromOrder(index, news);
  index.rankOf.erase(news);
  deleteFrom(index.news, databaseState.newsArray, position);
  deleteFrom(index.details, databaseState.newsDetailArray, position);
  databaseChanged();
}

bool countNewsView(cJSON* news) {
  cJSON* views = cJSON_GetObjectItemCaseSensitive(news, kViewsKey);
  if (!cJSON_IsNumber(views)) return false;
  // Counted in 64 bits: a count at the int limit must not overflow.
  cJSON_SetNumberValue(views,
                       static_cast<double>(static_cast<std::int64_t>(jsonIntValue(views)) + 1));
  recordChanged(news);
  return true;
}
