// records.h -- the record lookups the request handlers share: users by
// session id or id, administrators and likes. Each answers as the walk over
// its array from the first element would, through the indexes. The caller
// holds the database lock for the call and for as long as it uses what it
// learned (adminIndex excepted). Session ids are byte strings as sent.
#pragma once

#include <cjson/cJSON.h>

#include <string>

#include "storage/database.h"

// The administrators: the "admin" array start-up keeps from config.json (the
// user ids listed), null when there is none. Set before any request is
// served, read-only afterwards.
extern const cJSON* administratorList;

// The "id" of the first user whose "user_sid" matches sessionId (compared up
// to its first NUL byte); -1 when no user has it.
int userIdBySession(const std::string& sessionId) REQUIRES(databaseMutex);

// Index in "user" of the first record whose "id" (key ignoring case) has the
// integer value userId; -1 when none.
int userIndexById(int userId) REQUIRES(databaseMutex);

// That record itself; null when none. Owned by the array.
cJSON* userById(int userId) REQUIRES(databaseMutex);

// The author of a news record: the user whose id is the integer value of the
// record's numeric "user_id" (key ignoring case), as userById finds it; null
// when the record has no numeric "user_id" or no user has that id.
cJSON* newsAuthor(const cJSON* record) REQUIRES(databaseMutex);

// Index of userId in administratorList; -1 when not listed (or there is no
// list); -2 when the list is broken. Reads only that list, so it needs no
// lock.
int adminIndex(int userId);

// As adminIndex for the user found by session id (up to its first NUL);
// -2 when no user has this session id or the list is broken.
int adminIndexBySession(const std::string& sessionId) REQUIRES(databaseMutex);

// As adminIndex; -1 also when the user does not exist or sessionId is not
// byte for byte the user's "user_sid".
int adminIndexChecked(int userId, const std::string& sessionId) REQUIRES(databaseMutex);

// The "id" of userId's like of newsId; -1 when there is none (decided before
// the user is checked); -2 when the search fails, the user does not exist or
// sessionId is not the user's.
int findLike(int newsId, int userId, const std::string& sessionId) REQUIRES(databaseMutex);
