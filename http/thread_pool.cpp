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
    task();  // a task's exception is kept in its future
  }
}
