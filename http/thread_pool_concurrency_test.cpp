// thread_pool_concurrency_test.cpp -- task order, waiting surplus, draining stop, failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "http/thread_pool.h"
#include "tests/support/test_support.h"

namespace {

std::vector<int> order;  // written by the single worker, read after the join

void* recordArgument(int value) {
  order.push_back(value);
  return nullptr;
}

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

TEST(ThreadPool, SurplusTasksWaitForAFreeWorker) {
  std::promise<void> gate;
  std::shared_future<void> open = gate.get_future().share();
  std::atomic<int> blockedRunning{0};
  std::atomic<int> surplusDone{0};
  ThreadPool pool(2);
  std::vector<std::future<void>> results;
  for (int i = 0; i < 2; ++i) {
    results.push_back(pool.enqueue([&blockedRunning, open] {
      ++blockedRunning;
      open.wait();
    }));
  }
  for (int i = 0; i < 5; ++i) results.push_back(pool.enqueue([&surplusDone] { ++surplusDone; }));
  while (blockedRunning.load() < 2) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(surplusDone.load(), 0) << "a queued task ran while every worker was busy";
  gate.set_value();
  for (auto& r : results) r.get();
  EXPECT_EQ(surplusDone.load(), 5);
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

TEST(ThreadPool, DestroyingAnIdlePoolJoinsItsWorkers) {
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
