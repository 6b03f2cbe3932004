// like_index.h -- where each user's like of a news item and each like id is
// first found in the "like" array, so that islike and a like toggle cost the
// same at any number of likes. Built when a database is installed and kept in
// step by appendLike and deleteLike. Every call needs the database lock; the
// records returned are valid until it is released.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>
#include <unordered_map>

#include "storage/database_lock.h"

// The first record with one key, and how many records of the array have it,
// so that removing the first finds the next only when there is one.
struct LikeIndexEntry {
  cJSON* first = nullptr;
  int count = 0;
};

// The like part of the database (DatabaseState::likeIndex): likes by news and
// user id (the news id in the high 32 bits) and by like id.
struct LikeIndex {
  std::unordered_map<std::uint64_t, LikeIndexEntry> byNewsAndUser;
  std::unordered_map<int, LikeIndexEntry> byId;
};

// Builds the index afresh from likeArray; installDatabase calls it.
void buildLikeIndex() REQUIRES(databaseMutex);

// The first object of "like", in array order, whose member "news_id" and
// member "user_id" (exact keys) are each a number equal to the given id or
// the text of it in decimal: the like that findAllObjectsByField on
// "news_id" followed by findObjectByField on "user_id" finds. Null when none.
cJSON* findLikeRecord(int newsId, int userId) REQUIRES(databaseMutex);

// What findObjectByField(likeArray, "id", <id in decimal>, ...) gives: the
// first object whose member "id" (exact key) is a number equal to id or the
// text of it in decimal; null when none.
cJSON* findLikeById(int id) REQUIRES(databaseMutex);
