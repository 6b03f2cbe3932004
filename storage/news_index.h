// news_index.h -- the newest-first order of the news records and their
// positions by id, kept between requests so that a list page or a lookup by
// id costs what the reply needs, not a walk over the whole "news" array.
//
// The index refers to the records of newsArray and newsDetailArray; it is
// rebuilt on the first use after newsIndexChanged(), and also when the two
// arrays are other array nodes than those it was built from or have another
// first or last element. Every call needs the database lock
// (DatabaseLock lock(databaseMutex)); the results are valid until the lock
// is released.
#pragma once

#include <cjson/cJSON.h>

#include <vector>

// Marks the index out of date. Called, under the database lock, by every
// change that adds, deletes or replaces a record of "news" or "news_detail"
// or changes the "timestamp" or "id" of one: posting, editing and deleting
// news. Changes of "views", "likes" or other members need no call.
void newsIndexChanged();

// The records of "news" in list order: a stable sort under
// compareByTimestamp (a greater "timestamp" first, records without a numeric
// one last, equal ones in array order).
const std::vector<cJSON*>& newsInListOrder();

// The number of elements of "news".
int newsCount();

// Element index of "news", or null when there is none (cJSON_GetArrayItem
// without the walk).
cJSON* newsRecordAt(int index);

// What findObjectByField(newsArray, "id", <id in decimal>, index) gives: the
// first object whose member "id" (exact key) is a number equal to id or the
// text of id in decimal; index receives its position or -1.
cJSON* findNewsById(int id, int* index);

// The same search over newsDetailArray.
cJSON* findNewsDetailById(int id, int* index);
