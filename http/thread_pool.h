// thread_pool.h -- the fixed set of worker threads that serve the connections.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

// Workers take queued tasks in arrival order from one FIFO queue; up to
// workers.size() tasks run at once. Each task's result (or the exception that
// left it) is stored in the future that enqueue returned.
class ThreadPool {
 public:
  // Starts count workers. Throws std::invalid_argument("Number of threads
  // cannot be zero.") for 0 (no thread started), and the std::system_error of
  // std::thread when a worker cannot start (the workers already started are
  // stopped and joined first).
  explicit ThreadPool(unsigned long count);

  // Stops the pool: every task queued so far still runs, then the workers end
  // and are joined.
  ~ThreadPool();

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  ThreadPool(ThreadPool&&) = delete;
  ThreadPool& operator=(ThreadPool&&) = delete;

  // Queues one run of function with copies of args and wakes one worker.
  // Throws std::runtime_error("enqueue on stopped ThreadPool") once the
  // destructor has begun; nothing is queued then.
  template <class Function, class... Args>
  std::future<std::invoke_result_t<Function, Args...>> enqueue(Function&& function, Args&&... args);

 private:
  // Body of every worker: takes tasks until the pool stops and the queue is empty.
  void workerLoop();
  // Sets stop, wakes every worker and joins those that run.
  void stopAndJoin();

  std::vector<std::thread> workers;
  std::deque<std::function<void()>> tasks;
  std::mutex queueMutex;
  std::condition_variable condition;
  bool stop;
};

template <class Function, class... Args>
std::future<std::invoke_result_t<Function, Args...>> ThreadPool::enqueue(Function&& function,
                                                                         Args&&... args) {
  using Result = std::invoke_result_t<Function, Args...>;
  auto task = std::make_shared<std::packaged_task<Result()>>(
      std::bind(std::forward<Function>(function), std::forward<Args>(args)...));
  std::future<Result> result = task->get_future();
  {
    std::unique_lock<std::mutex> lock(queueMutex);
    if (stop) throw std::runtime_error("enqueue on stopped ThreadPool");
    // The queued entry shares the packaged task; it runs it exactly once.
    auto runQueuedTask = [task]() { (*task)(); };
    tasks.emplace_back(std::move(runQueuedTask));
  }
  condition.notify_one();
  return result;
}
