// mutex.h -- the lock type whose holding clang proves (-Wthread-safety), and
// its scoped guard.
#pragma once

#include <atomic>
#include <mutex>

#include "storage/thread_annotations.h"

// A non-recursive lock. Take it through MutexLock so that every path
// releases it. It counts the threads blocked taking it, so that a long job
// done in batches can let them have it between its batches.
class CAPABILITY("mutex") Mutex {
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

// Holds a Mutex from construction to destruction.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) ACQUIRE(m) : held(m) { held.lock(); }
  ~MutexLock() RELEASE() { held.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& held;
};
