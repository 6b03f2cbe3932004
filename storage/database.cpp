// database.cpp -- the database tree, its handles, counters, lock and stamps,
// and the change count a waiting writer wakes on.
#include "storage/database.h"

#include <cstring>

#include "storage/record_changes.h"

DatabaseMutex databaseMutex;
DatabaseState databaseState;

cJSON*& databaseRoot = databaseState.root;
cJSON*& newsArray = databaseState.newsArray;
cJSON*& newsDetailArray = databaseState.newsDetailArray;
cJSON*& userArray = databaseState.userArray;
cJSON*& likeArray = databaseState.likeArray;
int& news_maxid = databaseState.news_maxid;
int& user_maxid = databaseState.user_maxid;
int& like_maxid = databaseState.like_maxid;

namespace {

void countChange() REQUIRES(databaseMutex) {
  ++databaseState.changeCount;
  if (databaseState.changeWaiters > 0) databaseState.changeSignal.notify_all();
}

bool stampable(const cJSON* record) { return record != nullptr && !cJSON_IsNumber(record); }

void stampElements(cJSON* array) REQUIRES(databaseMutex) {
  for (cJSON* element = array->child; element != nullptr; element = element->next) {
    if (stampable(element)) element->valuedouble = ++databaseState.lastStamp;
  }
}

// Every index and kept print made afresh from the arrays the handles name.
void rebuildIndexes() REQUIRES(databaseMutex) {
  buildNewsIndex();
  buildUserIndex();
  buildLikeIndex();
  resetPrintedRecords();
}

int counterValue(const cJSON* root, const char* key) {
  const cJSON* counter = cJSON_GetObjectItem(root, key);
  // valueint is the number truncated toward zero and held at the int limits.
  return cJSON_IsNumber(counter) ? counter->valueint : 0;
}

}  // namespace

bool raiseCounter(int& counter) {
  if (counter >= kMaxCounterValue) return false;
  ++counter;
  countChange();
  return true;
}

bool installDatabase(cJSON* root) {
  if (!cJSON_IsObject(root)) return false;
  cJSON* arrays[] = {cJSON_GetObjectItem(root, "news"), cJSON_GetObjectItem(root, "news_detail"),
                     cJSON_GetObjectItem(root, "user"), cJSON_GetObjectItem(root, "like")};
  for (const cJSON* array : arrays) {
    if (!cJSON_IsArray(array)) return false;
  }
  clearDatabase();
  databaseState.root = root;
  databaseState.newsArray = arrays[0];
  databaseState.newsDetailArray = arrays[1];
  databaseState.userArray = arrays[2];
  databaseState.likeArray = arrays[3];
  databaseState.news_maxid = counterValue(root, "news_maxid");
  databaseState.user_maxid = counterValue(root, "user_maxid");
  databaseState.like_maxid = counterValue(root, "like_maxid");
  for (cJSON* array : arrays) stampElements(array);
  countChange();
  rebuildIndexes();
  return true;
}

void clearDatabase() {
  cJSON* root = databaseState.root;
  databaseState.root = databaseState.newsArray = databaseState.newsDetailArray =
      databaseState.userArray = databaseState.likeArray = nullptr;
  databaseState.news_maxid = databaseState.user_maxid = databaseState.like_maxid = 0;
  countChange();
  rebuildIndexes();
  forgetDeferredRemovals();
  cJSON_Delete(root);
}

double recordStamp(const cJSON* record) { return stampable(record) ? record->valuedouble : 0; }

void recordChanged(cJSON* record) {
  if (stampable(record)) record->valuedouble = ++databaseState.lastStamp;
  printChanged(record);
  countChange();
}

void databaseChanged() { countChange(); }

std::uint64_t databaseChangeCount() { return databaseState.changeCount; }

bool waitForDatabaseChange(std::uint64_t seen, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  DatabaseLock lock(databaseMutex);
  ++databaseState.changeWaiters;
  // The wait releases the database lock and takes it again before it returns.
  while (databaseState.changeCount == seen &&
         databaseState.changeSignal.wait_until(databaseMutex, deadline) ==
             std::cv_status::no_timeout) {
  }
  --databaseState.changeWaiters;
  return databaseState.changeCount != seen;
}

bool setRecordMember(cJSON* record, const char* key, cJSON* item) {
  if (item == nullptr) return false;
  cJSON* existing = cJSON_GetObjectItem(record, key);
  if (existing == nullptr) {
    // Only a damaged record lacks the member; adding it copies the key.
    if (!cJSON_AddItemToObject(record, key, item)) {
      cJSON_Delete(item);
      return false;
    }
  } else {
    // The replacement takes over the key of the member it replaces when that
    // is spelled as key (every record the node made): placing it then needs
    // no memory, so a change of several members fails, if at all, before
    // the first of them.
    const bool sameSpelling = existing->string != nullptr &&
                              (existing->type & cJSON_StringIsConst) == 0 &&
                              std::strcmp(existing->string, key) == 0;
    if (sameSpelling) {
      item->string = existing->string;
      existing->string = nullptr;
      cJSON_ReplaceItemViaPointer(record, existing, item);
    } else if (!cJSON_ReplaceItemInObject(record, key, item)) {
      cJSON_Delete(item);
      return false;
    }
  }
  recordChanged(record);
  return true;
}
