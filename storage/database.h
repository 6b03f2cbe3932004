// database.h -- the in-memory database: the tree, its four array handles,
// the three id counters and the database lock that guards them.
#pragma once

#include <cjson/cJSON.h>

#include <climits>
#include <mutex>

// The parsed data/index.ndb, owned by start-up for the whole run.
extern cJSON* databaseRoot;

// Handles to the four arrays of databaseRoot. The array nodes are never
// replaced, detached or deleted; only their elements change.
extern cJSON* newsArray;
extern cJSON* newsDetailArray;
extern cJSON* userArray;
extern cJSON* likeArray;

// The id counters: the authority during the run. persistDatabase copies them
// into the tree before each save. Caller holds the database lock.
extern int news_maxid;
extern int user_maxid;
extern int like_maxid;

// The largest value an id counter can reach.
constexpr int kMaxCounterValue = INT_MAX;

// Raises a counter by one. Returns false and leaves it unchanged when it is
// already at kMaxCounterValue (the caller then refuses and creates nothing).
// Caller holds the database lock.
bool raiseCounter(int& counter);

// The database lock: one process-wide, non-recursive lock over databaseRoot
// and the counters. Take it only through DatabaseLock so every path releases it.
extern std::mutex databaseMutex;
using DatabaseLock = std::unique_lock<std::mutex>;
