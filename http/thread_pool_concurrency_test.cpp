// thread_pool_concurrency_test.cpp -- n tasks at once on n threads, queue order
// on one and on several workers, every task run once, draining and joining
// stop, failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "http/thread_pool.h"
#include "tests/support/test_support.h"

namespace {

std::vector<int> order;  // written by the single worker, read after the join

void* recordArgument(int value) {
  order.push_back(value);
  return nullptr;
}

// Polls done until it holds or limit passes, so a pool that never gets there
// fails the test instead of hanging it.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Counts the worker threads that have ended after running a task: a task arms
// its thread's mark, whose destructor runs when that thread exits.
std::atomic<int> armedThreadsEnded{0};
struct ThreadEndMark {
  bool armed = false;
  ~ThreadEndMark() {
    if (armed) ++armedThreadsEnded;
  }
};
thread_local ThreadEndMark threadEndMark;

TEST(ThreadPool, OneWorkerRunsTasksInQueueOrder) {
  order.clear();
  {
    ThreadPool pool(1);
    // The shape the accept loop uses: a function taking int, an int lvalue
    // that is overwritten right after each enqueue.
    int socketValue = 0;
    for (int i = 0; i < 100; ++i) {
      socketValue = i;
      pool.enqueue(recordArgument, socketValue);
      socketValue = -1;
    }
  }
  ASSERT_EQ(order.size(), 100u);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

// n workers run n tasks at the same time, each on a thread of its own (not
// the caller's); a further task waits until one of them is free.
TEST(ThreadPool, NWorkersRunNTasksAtOnceAndSurplusTasksWait) {
  constexpr int kWorkers = 4;
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  std::mutex idsMutex;
  std::set<std::thread::id> ids;
  std::atomic<int> blockedRunning{0};
  std::atomic<int> surplusDone{0};
  ThreadPool pool(kWorkers);
  std::vector<std::future<void>> results;
  for (int i = 0; i < kWorkers; ++i) {
    results.push_back(pool.enqueue([&, open] {
      {
        std::lock_guard<std::mutex> lock(idsMutex);
        ids.insert(std::this_thread::get_id());
      }
      ++blockedRunning;
      open.wait();
    }));
  }
  for (int i = 0; i < 5; ++i) results.push_back(pool.enqueue([&surplusDone] { ++surplusDone; }));
  const bool allRunning = waitUntil([&] { return blockedRunning.load() == kWorkers; });
  EXPECT_TRUE(allRunning) << blockedRunning.load() << " of " << kWorkers << " tasks ran at once";
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(surplusDone.load(), 0) << "a queued task ran while every worker was busy";
  gate.set_value();
  for (auto& r : results) r.get();
  EXPECT_EQ(surplusDone.load(), 5);
  EXPECT_EQ(ids.size(), static_cast<size_t>(kWorkers));
  EXPECT_EQ(ids.count(std::this_thread::get_id()), 0u);
}

// With several workers, a worker that becomes free takes the oldest queued
// task: each task is held until the next one is expected to start, so the
// start order is observed one task at a time.
TEST(ThreadPool, SeveralWorkersStartTasksInQueueOrder) {
  constexpr int kWorkers = 3;
  constexpr int kTasks = 12;
  std::mutex startedMutex;
  std::vector<int> started;
  auto startedCount = [&] {
    std::lock_guard<std::mutex> lock(startedMutex);
    return started.size();
  };
  // Blockers hold every worker; task i, once started, holds its worker until
  // release[i] is set.
  std::vector<std::promise<void>> blockers(kWorkers);
  std::vector<std::promise<void>> release(kTasks);
  std::atomic<int> blockersRunning{0};
  int blockersFreed = 0;
  int tasksFreed = 0;
  auto freeOneWorker = [&] {
    if (blockersFreed < kWorkers) {
      blockers[blockersFreed++].set_value();
    } else if (tasksFreed < kTasks) {
      release[tasksFreed++].set_value();
    }
  };
  ThreadPool pool(kWorkers);
  // Declared after the pool: on a failed assertion every held task is let go
  // before the pool's destructor waits for them.
  struct FreeAllOnExit {
    std::function<void()> freeAll;
    ~FreeAllOnExit() { freeAll(); }
  } freeAllOnExit{[&] {
    for (int i = 0; i < kWorkers + kTasks; ++i) freeOneWorker();
  }};
  std::vector<std::future<void>> results;
  for (int b = 0; b < kWorkers; ++b) {
    std::shared_future<void> go = blockers[b].get_future().share();
    results.push_back(pool.enqueue([go, &blockersRunning] {
      ++blockersRunning;
      go.wait();
    }));
  }
  ASSERT_TRUE(waitUntil([&] { return blockersRunning.load() == kWorkers; }));
  for (int i = 0; i < kTasks; ++i) {
    std::shared_future<void> go = release[i].get_future().share();
    results.push_back(pool.enqueue([i, go, &startedMutex, &started] {
      {
        std::lock_guard<std::mutex> lock(startedMutex);
        started.push_back(i);
      }
      go.wait();
    }));
  }
  // Free one worker at a time: first the blockers, then the tasks in order.
  for (int step = 0; step < kTasks; ++step) {
    freeOneWorker();
    ASSERT_TRUE(waitUntil([&] { return startedCount() == static_cast<size_t>(step + 1); }))
        << "no task started after worker " << step << " became free";
    std::lock_guard<std::mutex> lock(startedMutex);
    EXPECT_EQ(started[step], step) << "not the oldest queued task";
  }
  for (int i = 0; i < kWorkers + kTasks; ++i) freeOneWorker();
  for (auto& r : results) r.get();
}

// Tasks queued from several threads at once onto several workers each run
// exactly once, and all of them have run when the destructor returns.
TEST(ThreadPool, EveryTaskFromManyProducersRunsExactlyOnce) {
  constexpr int kProducers = 4;
  constexpr int kTasksEach = 2500;
  std::vector<std::atomic<int>> runs(kProducers * kTasksEach);
  {
    ThreadPool pool(8);
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
      producers.emplace_back([p, &pool, &runs] {
        for (int i = 0; i < kTasksEach; ++i) {
          pool.enqueue([&runs](int index) { ++runs[index]; }, p * kTasksEach + i);
        }
      });
    }
    for (std::thread& producer : producers) producer.join();
  }
  int wrong = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    if (runs[i].load() != 1 && ++wrong <= 5) {
      ADD_FAILURE() << "task " << i << " ran " << runs[i].load() << " times";
    }
  }
  EXPECT_EQ(wrong, 0);
}

TEST(ThreadPool, DestructionRunsEveryQueuedTaskAndRefusesNewOnes) {
  ThreadPool* pool = new ThreadPool(1);
  std::atomic<int> queued{0};
  std::atomic<int> ran{0};
  std::string refusal;
  std::promise<void> firstQueued;
  // The only worker stays in this task, queuing more work, until the
  // destructor's stop makes enqueue refuse; everything queued must still run.
  pool->enqueue([&] {
    bool signalled = false;
    while (true) {
      try {
        pool->enqueue([&ran] { ++ran; });
        ++queued;
      } catch (const std::runtime_error& e) {
        refusal = e.what();
        return;
      }
      if (!signalled) {
        firstQueued.set_value();
        signalled = true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  firstQueued.get_future().wait();
  delete pool;
  EXPECT_EQ(refusal, "enqueue on stopped ThreadPool");
  EXPECT_GE(queued.load(), 1);
  EXPECT_EQ(ran.load(), queued.load());
}

// The destructor returns only once every worker thread has ended: each
// worker ran a task (all at once, so on distinct threads) that armed its
// thread's end mark and is still finishing when the destructor starts.
TEST(ThreadPool, DestructionJoinsEveryWorker) {
  constexpr int kWorkers = 4;
  for (int round = 0; round < 5; ++round) {
    armedThreadsEnded = 0;
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    std::atomic<int> running{0};
    std::atomic<int> finished{0};
    {
      ThreadPool pool(kWorkers);
      for (int i = 0; i < kWorkers; ++i) {
        pool.enqueue([open, &running, &finished] {
          threadEndMark.armed = true;
          ++running;
          open.wait();
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          ++finished;
        });
      }
      const bool allRunning = waitUntil([&] { return running.load() == kWorkers; });
      gate.set_value();
      ASSERT_TRUE(allRunning);
    }
    EXPECT_EQ(finished.load(), kWorkers) << "round " << round;
    EXPECT_EQ(armedThreadsEnded.load(), kWorkers) << "round " << round;
  }
  // An idle pool, whose workers never ran a task, also stops and joins.
  for (int round = 0; round < 20; ++round) ThreadPool pool(4);
}

TEST(ThreadPool, ThrowingTaskStoresItsExceptionAndTheWorkerGoesOn) {
  ThreadPool pool(1);
  auto failing = pool.enqueue([]() -> int { throw std::logic_error("task failed"); });
  auto next = pool.enqueue([] { return 42; });
  // The one worker went on to the next task, so it has let go of the failed
  // one: its exception now belongs to this thread alone.
  EXPECT_EQ(next.get(), 42);
  try {
    failing.get();
    ADD_FAILURE() << "the task's exception was not stored";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "task failed");
  }
}

TEST(ThreadPool, ZeroWorkersIsRefused) {
  try {
    ThreadPool pool(0);
    ADD_FAILURE() << "a pool of 0 workers was built";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Number of threads cannot be zero.");
  }
}

// A worker that cannot start: the address space is capped in a child process
// so thread stacks run out after a few workers. The constructor must join the
// started workers (a joinable std::thread left behind aborts the process) and
// let std::system_error out.
TEST(ThreadPool, WorkerStartFailureJoinsStartedWorkers) {
#ifdef ONDRIX_SANITIZED
  GTEST_SKIP() << "sanitizers reserve address space; the cap would break them";
#else
  const int status = testsupport::runWithCappedAddressSpace(48u << 20, [] {
    try {
      ThreadPool pool(1000);
      _exit(2);  // every worker started: the cap did not bite
    } catch (const std::system_error&) {
      return 0;
    } catch (...) {
      return 4;
    }
  });
  EXPECT_EQ(status, 0) << "above 128: the child ended by signal " << status - 128;
#endif
}

}  // namespace
