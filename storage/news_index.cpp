// news_index.cpp -- the kept list order and id positions of the news records.
#include "storage/news_index.h"

#include <algorithm>
#include <climits>
#include <unordered_map>

#include "storage/database.h"
#include "storage/json_search.h"

namespace {

// The elements of one array and where each id is first found.
struct ArrayIndex {
  const cJSON* array = nullptr;
  const cJSON* first = nullptr;
  const cJSON* last = nullptr;
  std::vector<cJSON*> elements;
  std::unordered_map<int, int> firstIndexById;
};

struct NewsIndex {
  bool current = false;
  double stamp = 0;
  ArrayIndex news;
  ArrayIndex details;
  bool listOrderCurrent = false;
  std::vector<cJSON*> listOrder;
};

NewsIndex& newsIndex() {
  static NewsIndex index;
  return index;
}

const cJSON* lastElement(const cJSON* array) {
  return array != nullptr && array->child != nullptr ? array->child->prev : nullptr;
}

void buildArrayIndex(ArrayIndex& index, const cJSON* array) {
  index.array = array;
  index.first = array != nullptr ? array->child : nullptr;
  index.last = lastElement(array);
  index.elements.clear();
  index.firstIndexById.clear();
  if (!cJSON_IsArray(array)) return;
  int position = 0;
  for (cJSON* element = array->child; element != nullptr; element = element->next, ++position) {
    index.elements.push_back(element);
    if (!cJSON_IsObject(element)) continue;
    int id = 0;
    if (intMatchedByText(cJSON_GetObjectItemCaseSensitive(element, "id"), &id)) {
      index.firstIndexById.emplace(id, position);  // the first match stays
    }
  }
}

// An array node is recognised by its address and by a stamp in its number
// field, which cJSON leaves unused for arrays: a new tree allocated where an
// old one was carries no stamp, so it is never taken for the old one.
bool sameArray(const ArrayIndex& index, const cJSON* array, double stamp) {
  return index.array == array && (array == nullptr || array->valuedouble == stamp) &&
         index.first == (array != nullptr ? array->child : nullptr) &&
         index.last == lastElement(array);
}

NewsIndex& currentIndex() {
  static double nextStamp = 0;
  NewsIndex& index = newsIndex();
  if (index.current && sameArray(index.news, newsArray, index.stamp) &&
      sameArray(index.details, newsDetailArray, index.stamp)) {
    return index;
  }
  // Never zero, the value every new cJSON node starts with.
  index.stamp = ++nextStamp;
  buildArrayIndex(index.news, newsArray);
  buildArrayIndex(index.details, newsDetailArray);
  if (newsArray != nullptr) newsArray->valuedouble = index.stamp;
  if (newsDetailArray != nullptr) newsDetailArray->valuedouble = index.stamp;
  index.current = true;
  index.listOrderCurrent = false;
  return index;
}

cJSON* findIn(const ArrayIndex& array, int id, int* index) {
  if (index != nullptr) *index = -1;
  auto found = array.firstIndexById.find(id);
  if (found == array.firstIndexById.end()) return nullptr;
  if (index != nullptr) *index = found->second;
  return array.elements[static_cast<size_t>(found->second)];
}

}  // namespace

void newsIndexChanged() { newsIndex().current = false; }

const std::vector<cJSON*>& newsInListOrder() {
  NewsIndex& index = currentIndex();
  if (!index.listOrderCurrent) {
    index.listOrder = index.news.elements;
    std::stable_sort(index.listOrder.begin(), index.listOrder.end(), compareByTimestamp);
    index.listOrderCurrent = true;
  }
  return index.listOrder;
}

int newsCount() { return static_cast<int>(currentIndex().news.elements.size()); }

cJSON* newsRecordAt(int index) {
  const std::vector<cJSON*>& elements = currentIndex().news.elements;
  if (index < 0 || static_cast<size_t>(index) >= elements.size()) return nullptr;
  return elements[static_cast<size_t>(index)];
}

cJSON* findNewsById(int id, int* index) { return findIn(currentIndex().news, id, index); }

cJSON* findNewsDetailById(int id, int* index) { return findIn(currentIndex().details, id, index); }
