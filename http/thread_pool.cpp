// thread_pool.cpp -- worker start-up, the worker loop and the draining stop.
#include "http/thread_pool.h"

#include <system_error>

ThreadPool::ThreadPool(unsigned long count) : stop(false) {
  if (count == 0) throw std::invalid_argument("Number of threads cannot be zero.");
  try {
    for (unsigned long i = 0; i < count; ++i) workers.emplace_back(&ThreadPool::workerLoop, this);
  } catch (...) {
    // Destroying a joinable std::thread ends the process: the workers that
    // did start are stopped and joined before the exception leaves.
    stopAndJoin();
    throw;
  }
}

ThreadPool::~ThreadPool() { stopAndJoin(); }

void ThreadPool::stopAndJoin() {
  {
    std::unique_lock<std::mutex> lock(queueMutex);
    stop = true;
  }
  condition.notify_all();
  for (std::thread& worker : workers) {
    if (worker.joinable()) worker.join();
  }
}

void ThreadPool::workerLoop() {
  while (true) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(queueMutex);
      condition.wait(lock, [this] { return stop || !tasks.empty(); });
      if (stop && tasks.empty()) return;
      task = std::move(tasks.front());
      tasks.pop_front();
    }
    try {
      task();
    } catch (...) {
      // Only a task queued by enqueueBatch can throw here (enqueue's keep
      // their exception in their future): it ends that task, not the worker.
    }
  }
}

void ThreadPool::enqueueBatch(std::vector<std::function<void()>>& batch) {
  if (batch.empty()) return;
  const std::size_t count = batch.size();
  {
    std::unique_lock<std::mutex> lock(queueMutex);
    if (stop) throw std::runtime_error("enqueue on stopped ThreadPool");
    // All or nothing: when one task cannot be queued (a push at the end of
    // the deque has no effect when it throws), the ones of this batch queued
    // before it go back into batch.
    std::size_t queued = 0;
    try {
      for (; queued < count; ++queued) tasks.push_back(std::move(batch[queued]));
    } catch (...) {
      for (; queued > 0; --queued) {
        batch[queued - 1] = std::move(tasks.back());
        tasks.pop_back();
      }
      throw;
    }
  }
  batch.clear();
  // Woken after the unlock, so that a worker does not wake only to wait for
  // the lock this thread holds.
  if (count >= workers.size()) {
    condition.notify_all();
  } else {
    for (std::size_t i = 0; i < count; ++i) condition.notify_one();
  }
}
