// news_index.h -- the newest-first order of the news records and their
// positions by id, so that a list page or a lookup by id costs what the reply
// needs, not a walk over the "news" array. Built when a database is installed
// and kept in step by the routines of record_changes.h. Every call needs the
// database lock; the records returned are valid until it is released.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "storage/database_lock.h"

// The elements of one of the two news arrays and where each id is first
// found.
struct NewsArrayIndex {
  std::vector<cJSON*> elements;
  std::unordered_map<int, int> firstIndexById;
};

// The news part of the database (DatabaseState::newsIndex).
struct NewsIndex {
  NewsArrayIndex news;
  NewsArrayIndex details;
  // The list order kept back to front (the newest record last), so that a
  // new item or an edit, which go to the front of the list, are appended
  // instead of moving every other record; and each record's rank in array
  // order: ranks grow with the array position and stay when records before
  // them are deleted, so they break ties of equal timestamps as the stable
  // sort does.
  std::vector<cJSON*> listOrder;
  std::unordered_map<const cJSON*, std::uint64_t> rankOf;
  std::uint64_t nextRank = 0;
};

// Builds the index afresh from the two arrays; installDatabase calls it.
void buildNewsIndex() REQUIRES(databaseMutex);

// The records of "news" in list order: the order of a stable sort under
// compareByTimestamp (a greater "timestamp" first, records without a numeric
// one last, equal ones in array order). A copy: for checks, not for serving.
std::vector<cJSON*> newsInListOrder() REQUIRES(databaseMutex);

// The record at place (from 0) of the list order, or null past its ends.
cJSON* newsAtListPlace(std::int64_t place) REQUIRES(databaseMutex);

// The number of elements of "news".
int newsCount() REQUIRES(databaseMutex);

// Element index of "news" (or of "news_detail"), or null when there is none
// (cJSON_GetArrayItem without the walk).
cJSON* newsRecordAt(int index) REQUIRES(databaseMutex);
cJSON* newsDetailAt(int index) REQUIRES(databaseMutex);

// What findObjectByField(newsArray, "id", <id in decimal>, index) gives: the
// first object whose member "id" (exact key) is a number equal to id or the
// text of id in decimal; index receives its position or -1.
cJSON* findNewsById(int id, int* index) REQUIRES(databaseMutex);

// The same search over newsDetailArray.
cJSON* findNewsDetailById(int id, int* index) REQUIRES(databaseMutex);
