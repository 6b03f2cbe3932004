// database_lock.h -- the database lock and its scoped guard.
#pragma once

#include <atomic>
#include <mutex>

#include "storage/thread_annotations.h"

// The database lock: one process-wide, non-recursive lock over databaseRoot,
// the counters and every index and kept page. Take it through DatabaseLock
// so that every path releases it. It counts the threads blocked taking it,
// so that a long job done in batches (the save's printing) can let them
// have it between its batches.
class CAPABILITY("mutex") DatabaseMutex {
 public:
  void lock() ACQUIRE() {
    if (mutex.try_lock()) return;
    waiting.fetch_add(1, std::memory_order_relaxed);
    mutex.lock();
    waiting.fetch_sub(1, std::memory_order_relaxed);
  }
  void unlock() RELEASE() { mutex.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex.try_lock(); }
  // How many threads are blocked in lock() now.
  int waiters() const { return waiting.load(std::memory_order_relaxed); }

 private:
  std::mutex mutex;
  std::atomic<int> waiting{0};
};

extern DatabaseMutex databaseMutex;

// Holds databaseMutex from construction to destruction.
class SCOPED_CAPABILITY DatabaseLock {
 public:
  explicit DatabaseLock(DatabaseMutex& m) ACQUIRE(m) : held(m) { held.lock(); }
  ~DatabaseLock() RELEASE() { held.unlock(); }
  DatabaseLock(const DatabaseLock&) = delete;
  DatabaseLock& operator=(const DatabaseLock&) = delete;

 private:
  DatabaseMutex& held;
};
