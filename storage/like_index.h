// like_index.h -- where each user's like of a news item and each like id is
// first found in the "like" array, kept between requests so that islike and
// a like toggle cost the same at any number of likes.
//
// The index refers to the records of likeArray. It is rebuilt on the first
// use after likeIndexChanged(), and also when likeArray is another array node
// than the one it was built from (a database loaded in place) or has another
// first or last element. appendLike and deleteLike keep it in step
// themselves. Every call needs the database lock
// (DatabaseLock lock(databaseMutex)); the records returned are valid until
// the lock is released or the array changes.
#pragma once

#include <cjson/cJSON.h>

#include "storage/database.h"

// Marks the index out of date. Called, under the database lock, by any change
// of the "like" array or of a like record's "id", "news_id" or "user_id" that
// does not go through appendLike or deleteLike.
void likeIndexChanged() REQUIRES(databaseMutex);

// Builds the index now when it is out of date, instead of on its next use:
// a load builds it, so that the first requests after start-up do not wait
// for a walk over the whole array.
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

// Appends like to the "like" array (which takes it over), enters it in the
// index and stamps it. False, with the array unchanged and like still the caller's, when
// likeArray is not an array or cJSON refuses.
bool appendLike(cJSON* like) REQUIRES(databaseMutex);

// Removes like, an element of the "like" array, from the array and the index
// and frees it; the array closes up as cJSON_DeleteItemFromArray does.
void deleteLike(cJSON* like) REQUIRES(databaseMutex);
