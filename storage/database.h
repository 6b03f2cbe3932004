// database.h -- the in-memory database, one DatabaseState guarded by the
// database lock: the tree, its array handles, the id counters, the change
// count a waiting writer wakes on, and the parts built from the arrays. The
// routines that change records are in record_changes.h.
#pragma once

#include <cjson/cJSON.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>

#include "storage/database_lock.h"
#include "storage/database_print.h"
#include "storage/deferred_removals.h"
#include "storage/detail_texts.h"
#include "storage/like_index.h"
#include "storage/list_pages.h"
#include "storage/news_index.h"
#include "storage/user_index.h"

// The database: one instance, every member guarded by databaseMutex.
struct DatabaseState {
  // The parsed data/index.ndb, set up by start-up for the whole run.
  cJSON* root GUARDED_BY(databaseMutex) = nullptr;
  // Handles to the four arrays of root. The array nodes are never replaced,
  // detached or deleted while the tree is in use; only their elements change.
  cJSON* newsArray GUARDED_BY(databaseMutex) = nullptr;
  cJSON* newsDetailArray GUARDED_BY(databaseMutex) = nullptr;
  cJSON* userArray GUARDED_BY(databaseMutex) = nullptr;
  cJSON* likeArray GUARDED_BY(databaseMutex) = nullptr;
  // The id counters: the authority during the run. A save copies them into
  // the tree before it prints.
  int news_maxid GUARDED_BY(databaseMutex) = 0;
  int user_maxid GUARDED_BY(databaseMutex) = 0;
  int like_maxid GUARDED_BY(databaseMutex) = 0;

  // The last record stamp given out; stamps are whole numbers well inside a
  // double's exact range.
  double lastStamp GUARDED_BY(databaseMutex) = 0;
  std::uint64_t changeCount GUARDED_BY(databaseMutex) = 0;
  // Wakes the threads in waitForDatabaseChange; changeWaiters counts them, so
  // that a change made while none waits costs no more than the count.
  std::condition_variable_any changeSignal;
  int changeWaiters GUARDED_BY(databaseMutex) = 0;

  // The parts built from the arrays when a database is installed and kept
  // in step by the routines that change records.
  NewsIndex newsIndex GUARDED_BY(databaseMutex);
  UserIndex userIndex GUARDED_BY(databaseMutex);
  LikeIndex likeIndex GUARDED_BY(databaseMutex);
  KeptPrints keptPrints GUARDED_BY(databaseMutex);
  KeptListPages listPages GUARDED_BY(databaseMutex);
  KeptDetails detailTexts GUARDED_BY(databaseMutex);
  DeferredRemovals removals GUARDED_BY(databaseMutex);
};

extern DatabaseState databaseState;

// The names the handlers and tests use for members of databaseState.
extern cJSON*& databaseRoot GUARDED_BY(databaseMutex);
extern cJSON*& newsArray GUARDED_BY(databaseMutex);
extern cJSON*& newsDetailArray GUARDED_BY(databaseMutex);
extern cJSON*& userArray GUARDED_BY(databaseMutex);
extern cJSON*& likeArray GUARDED_BY(databaseMutex);
extern int& news_maxid GUARDED_BY(databaseMutex);
extern int& user_maxid GUARDED_BY(databaseMutex);
extern int& like_maxid GUARDED_BY(databaseMutex);

// Installs root as the database when it is an object whose members "news",
// "news_detail", "user" and "like" (keys ignoring case) are arrays: the
// earlier tree is freed, the handles point into root, each counter takes the
// integer value of its member (0 when that is no number), every element of
// the four arrays is stamped, and every index, kept page and kept print
// starts afresh (the saves print every record once). Takes over root on
// success; false, with nothing changed and root still the caller's,
// otherwise.
bool installDatabase(cJSON* root) REQUIRES(databaseMutex);

// Frees the database tree and clears the handles and the counters.
void clearDatabase() REQUIRES(databaseMutex);

// How many changes the routines of record_changes.h have counted since start.
std::uint64_t databaseChangeCount() REQUIRES(databaseMutex);

// Waits, without the database lock, until the change count differs from
// seen or timeout has passed; true when it differs on return. Takes the lock
// itself. For the writer, which sleeps here while nothing changes: a change
// wakes it, and costs the routine that counts it no system call while no one
// waits.
bool waitForDatabaseChange(std::uint64_t seen, std::chrono::milliseconds timeout)
    EXCLUDES(databaseMutex);
