// database.cpp -- the database tree, its handles, counters, lock and stamps,
// and the change count a waiting writer wakes on.
#include "storage/database.h"

#include <condition_variable>
#include <cstring>

#include "storage/database_print.h"
#include "storage/deferred_removals.h"
#include "storage/like_index.h"
#include "storage/news_index.h"
#include "storage/user_index.h"

DatabaseMutex databaseMutex;

cJSON* databaseRoot = nullptr;
cJSON* newsArray = nullptr;
cJSON* newsDetailArray = nullptr;
cJSON* userArray = nullptr;
cJSON* likeArray = nullptr;

int news_maxid = 0;
int user_maxid = 0;
int like_maxid = 0;

namespace {

// The last stamp given out; stamps are whole numbers well inside a double's
// exact range.
double lastStamp GUARDED_BY(databaseMutex) = 0;
std::uint64_t changeCount GUARDED_BY(databaseMutex) = 0;
// Wakes the threads in waitForDatabaseChange; changeWaiters counts them, so
// that a change made while none waits costs no more than the count.
std::condition_variable_any changeSignal;
int changeWaiters GUARDED_BY(databaseMutex) = 0;

void countChange() REQUIRES(databaseMutex) {
  ++changeCount;
  if (changeWaiters > 0) changeSignal.notify_all();
}

bool stampable(const cJSON* record) { return record != nullptr && !cJSON_IsNumber(record); }

void stampElements(cJSON* array) REQUIRES(databaseMutex) {
  for (cJSON* element = array->child; element != nullptr; element = element->next) {
    if (stampable(element)) element->valuedouble = ++lastStamp;
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
  databaseRoot = root;
  newsArray = arrays[0];
  newsDetailArray = arrays[1];
  userArray = arrays[2];
  likeArray = arrays[3];
  news_maxid = counterValue(root, "news_maxid");
  user_maxid = counterValue(root, "user_maxid");
  like_maxid = counterValue(root, "like_maxid");
  for (cJSON* array : arrays) stampElements(array);
  countChange();
  rebuildIndexes();
  return true;
}

void clearDatabase() {
  cJSON* root = databaseRoot;
  databaseRoot = newsArray = newsDetailArray = userArray = likeArray = nullptr;
  news_maxid = user_maxid = like_maxid = 0;
  countChange();
  rebuildIndexes();
  forgetDeferredRemovals();
  cJSON_Delete(root);
}

double recordStamp(const cJSON* record) { return stampable(record) ? record->valuedouble : 0; }

void recordChanged(cJSON* record) {
  if (stampable(record)) record->valuedouble = ++lastStamp;
  printChanged(record);
  countChange();
}

void databaseChanged() { countChange(); }

std::uint64_t databaseChangeCount() { return changeCount; }

bool waitForDatabaseChange(std::uint64_t seen, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  DatabaseLock lock(databaseMutex);
  ++changeWaiters;
  // The wait releases the database lock and takes it again before it returns.
  while (changeCount == seen &&
         changeSignal.wait_until(databaseMutex, deadline) == std::cv_status::no_timeout) {
  }
  --changeWaiters;
  return changeCount != seen;
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
