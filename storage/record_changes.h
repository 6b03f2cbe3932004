// record_changes.h -- every routine that changes the records of the database.
//
// These are the only writers of the four arrays and of the record members
// that an index, a kept page or a kept print depends on. Each keeps the
// indexes and the kept prints in step and counts the change, so that the
// next save writes it. Every one needs the database lock. They are defined
// beside the part they keep in step: database.cpp, user_index.cpp,
// news_index.cpp, like_index.cpp, records.cpp (toggleLike) and
// deferred_removals.cpp.
//
// A record's stamp: every element of the four arrays carries a number in its
// cJSON valuedouble, which cJSON neither prints nor reads for objects,
// arrays, texts, true, false and null. installDatabase stamps every element;
// each routine here that adds or changes a record gives it a new stamp
// through recordChanged, never one given before, so a new record at a freed
// record's address never matches the old one. Kept list pages and kept
// detail texts compare stamps to tell whether what they show has changed.
#pragma once

#include <cjson/cJSON.h>

#include <climits>
#include <string>

#include "storage/database_lock.h"
#include "storage/deferred_removals.h"

// The largest value an id counter can reach.
constexpr int kMaxCounterValue = INT_MAX;

// Raises a counter by one. Returns false and leaves it unchanged when it is
// already at kMaxCounterValue (the caller then refuses and creates nothing).
bool raiseCounter(int& counter) REQUIRES(databaseMutex);

// The stamp of an element of one of the four arrays (see above); 0 for a
// number element, which has no stamp of its own.
double recordStamp(const cJSON* record) REQUIRES(databaseMutex);

// Gives record a new stamp, marks its kept print for printing again and
// counts one change of the database: called by every routine here that adds
// a record or changes a member of one.
void recordChanged(cJSON* record) REQUIRES(databaseMutex);

// Counts one change of the database that changes no record (a counter, an
// element added or removed): the save after it writes the file again.
void databaseChanged() REQUIRES(databaseMutex);

// Replaces the member key of record in place (keeping its position), or adds
// it when a damaged record lacks it, and stamps the record. Takes ownership
// of item. False, with the record unchanged, not stamped and no change
// counted, when item is null (its creation ran out of memory) or it cannot
// be placed (item is then freed). Placing a member that exists with the
// same spelling of key needs no memory, so a caller that has created every
// item of a change before it sets them cannot fail half way on a record the
// node made. For members that no index depends on: users' nickname and
// avatar members, news details' members.
bool setRecordMember(cJSON* record, const char* key, cJSON* item) REQUIRES(databaseMutex);

// Appends user to the "user" array (which takes it over), enters it in the
// index and stamps it. False, with the array unchanged and user still the
// caller's, when userArray is not an array or cJSON refuses.
bool appendUser(cJSON* user) REQUIRES(databaseMutex);

// Appends news to "news" and detail to "news_detail" (both taken over) and
// places the new item in the list order. False, with nothing changed and both
// still the caller's, when either array refuses.
bool appendNewsItem(cJSON* news, cJSON* detail) REQUIRES(databaseMutex);

// Replaces member key of news, an element of "news", as setRecordMember does
// (false, with nothing changed, when it fails), and moves the record to its
// new place in the list order when the change moves it (a new "timestamp").
bool setNewsMember(cJSON* news, const char* key, cJSON* item) REQUIRES(databaseMutex);

// Deletes the element index of "news" and the element at the same index of
// "news_detail" (when there is one); both arrays close up.
void deleteNewsItem(int index) REQUIRES(databaseMutex);

// Raises the numeric member "views" (exact key) of news, an element of
// "news", by one, counted in 64 bits. False, with nothing changed, when news
// has no such member.
bool countNewsView(cJSON* news) REQUIRES(databaseMutex);

// Adds userId's like of newsId (1) or removes it (0), moving the news
// record's "likes" by one. A like is added only for an existing user whose
// "user_sid" is sessionId byte for byte, and only while like_maxid can still
// be raised; otherwise -1 with nothing changed. Also -1 with nothing changed
// when the like record or the news record's new count cannot be made (memory
// exhausted), or a removal finds no record; and -1 when no news record has
// newsId (the like change then stays).
int toggleLike(int newsId, int userId, const std::string& sessionId) REQUIRES(databaseMutex);

// Appends like to the "like" array (which takes it over), enters it in the
// index and stamps it. False, with the array unchanged and like still the
// caller's, when likeArray is not an array or cJSON refuses.
bool appendLike(cJSON* like) REQUIRES(databaseMutex);

// Removes like, an element of the "like" array, from the array and the index
// and frees it; the array closes up as cJSON_DeleteItemFromArray does.
void deleteLike(cJSON* like) REQUIRES(databaseMutex);

// Queues the removal for after the next save whose snapshot is taken after
// this hold of the database lock (the call counts a change, so that save
// comes), in the hold that makes the change which stops naming the file. A
// file that already waits keeps one entry: it waits for that save, and its
// directories go when either removal would remove them.
void deferRemoval(const FileRemoval& removal) REQUIRES(databaseMutex);

// A change names path again: its queued removal is dropped. A removal that
// the writer is carrying out already is not stopped (no request holds that
// name; see deferred_removals.h).
void keepFile(const std::string& path) REQUIRES(databaseMutex);
