// like_index.cpp -- the kept positions of the like records by user and news
// item and by like id.
#include "storage/like_index.h"

#include <climits>
#include <cstdint>
#include <unordered_map>

#include "storage/database.h"
#include "storage/database_print.h"
#include "storage/json_search.h"
#include "storage/record_changes.h"

namespace {

uint64_t pairKey(int newsId, int userId) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(newsId)) << 32) |
         static_cast<uint32_t>(userId);
}

bool pairKeyOf(const cJSON* like, uint64_t* key) {
  int newsId = 0;
  int userId = 0;
  if (!recordIdByText(like, "news_id", &newsId) || !recordIdByText(like, "user_id", &userId)) {
    return false;
  }
  *key = pairKey(newsId, userId);
  return true;
}

bool idKeyOf(const cJSON* like, int* key) { return recordIdByText(like, "id", key); }

// Indexes like, the last element of the array, under its keys: a key already
// held keeps its earlier first record.
void indexLike(LikeIndex& index, cJSON* like) {
  uint64_t pair = 0;
  if (pairKeyOf(like, &pair)) {
    LikeIndexEntry& entry = index.byNewsAndUser[pair];
    if (entry.count++ == 0) entry.first = like;
  }
  int id = 0;
  if (idKeyOf(like, &id)) {
    LikeIndexEntry& entry = index.byId[id];
    if (entry.count++ == 0) entry.first = like;
  }
}

// Takes like, still in the array, out from under key. When it was the first
// record with the key and others have it too, the next one after it in array
// order becomes the first.
template <typename Key, typename KeyOf>
void withdrawKey(std::unordered_map<Key, LikeIndexEntry>& map, Key key, cJSON* like, KeyOf keyOf) {
  auto found = map.find(key);
  if (found == map.end()) return;
  LikeIndexEntry& entry = found->second;
  if (--entry.count <= 0) {
    map.erase(found);
    return;
  }
  if (entry.first != like) return;
  entry.first = nullptr;
  for (cJSON* next = like->next; next != nullptr; next = next->next) {
    Key nextKey{};
    if (keyOf(next, &nextKey) && nextKey == key) {
      entry.first = next;
      return;
    }
  }
}

void withdraw(LikeIndex& index, cJSON* like) {
  uint64_t pair = 0;
  if (pairKeyOf(like, &pair)) withdrawKey(index.byNewsAndUser, pair, like, pairKeyOf);
  int id = 0;
  if (idKeyOf(like, &id)) withdrawKey(index.byId, id, like, idKeyOf);
}

template <typename Key>
cJSON* firstWith(const std::unordered_map<Key, LikeIndexEntry>& map, Key key) {
  auto found = map.find(key);
  return found != map.end() ? found->second.first : nullptr;
}

}  // namespace

void buildLikeIndex() {
  LikeIndex& index = databaseState.likeIndex;
  index.byNewsAndUser.clear();
  index.byId.clear();
  if (cJSON_IsArray(databaseState.likeArray)) {
    for (cJSON* like = databaseState.likeArray->child; like != nullptr; like = like->next)
      indexLike(index, like);
  }
}

cJSON* findLikeRecord(int newsId, int userId) {
  return firstWith(databaseState.likeIndex.byNewsAndUser, pairKey(newsId, userId));
}

cJSON* findLikeById(int id) { return firstWith(databaseState.likeIndex.byId, id); }

bool appendLike(cJSON* like) {
  if (like == nullptr || !cJSON_IsArray(databaseState.likeArray)) return false;
  LikeIndex& index = databaseState.likeIndex;
  if (!cJSON_AddItemToArray(databaseState.likeArray, like)) return false;
  indexLike(index, like);
  printAppended(databaseState.likeArray, like);
  recordChanged(like);
  return true;
}

void deleteLike(cJSON* like) {
  if (like == nullptr || !cJSON_IsArray(databaseState.likeArray)) return;
  LikeIndex& index = databaseState.likeIndex;
  withdraw(index, like);
  cJSON* detached = cJSON_DetachItemViaPointer(databaseState.likeArray, like);
  printRemoved(databaseState.likeArray, detached);
  cJSON_Delete(detached);
  databaseChanged();
}
