// database_lock.h -- the database lock and its scoped guard.
#pragma once

#include "storage/mutex.h"

// The database lock: one process-wide lock over databaseRoot, the counters
// and every index and kept page. Take it through DatabaseLock so that every
// path releases it. The save's printing lets the threads it counts blocked
// (waiters()) have it between its batches.
using DatabaseMutex = Mutex;
extern DatabaseMutex databaseMutex;

// Holds databaseMutex from construction to destruction.
using DatabaseLock = MutexLock;
