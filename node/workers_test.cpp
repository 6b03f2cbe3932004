// workers_test.cpp -- the worker count from the console and the pool's
// start-up messages.
#include "node/workers.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tests/support/test_support.h"

namespace {

const char* kQuestion = "Unable to read the number of your cpu cores, please input: ";

TEST(WorkerCount, HardwareThreadsAreTakenWithoutAQuestion) {
  std::istringstream in("3\n");
  std::ostringstream out;
  EXPECT_EQ(workerCount(8, in, out), 8u);
  EXPECT_EQ(out.str(), "");
}

TEST(WorkerCount, AnswersWhenThePlatformCannotTell) {
  struct Case {
    const char* answer;
    unsigned long long count;
  } cases[] = {
      {"4\n", 4},
      {"  \n 12 threads\n", 12},
      {"abc\n", 0},
      {"", 0},
      {"-3\n", 0},
      {"+3\n", 3},
      {"99999999999999999999\n", 0},
      {"0\n", 0},
      {"16", 16},
      {"+\n", 0},
      {"+-3\n", 0},
      {"- 3\n", 0},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.answer);
    std::ostringstream out;
    EXPECT_EQ(workerCount(0, in, out), c.count) << "answer: " << c.answer;
    EXPECT_EQ(out.str(), kQuestion) << "answer: " << c.answer;
  }
}

TEST(BuildWorkerPool, ZeroIsRefusedWithItsMessage) {
  std::ostringstream out, err;
  EXPECT_EQ(buildWorkerPool(0, out, err), nullptr);
  EXPECT_EQ(out.str(), "Creating thread pool with 0 threads.\n");
  EXPECT_EQ(err.str(), "Number of threads cannot be zero.\n");
}

TEST(BuildWorkerPool, BuildsThePool) {
  std::ostringstream out, err;
  auto pool = buildWorkerPool(4, out, err);
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(out.str(), "Creating thread pool with 4 threads.\n");
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(pool->enqueue([] { return 7; }).get(), 7);
}

TEST(BuildWorkerPool, WorkerThatCannotStartIsOneLineOnStandardError) {
#ifdef ONDRIX_SANITIZED
  GTEST_SKIP() << "sanitizers reserve address space; the cap would break them";
#else
  // In a child whose address space is capped, thread stacks run out.
  const int status = testsupport::runWithCappedAddressSpace(48u << 20, [] {
    std::ostringstream out, err;
    bool refused = buildWorkerPool(1000, out, err) == nullptr;
    std::string line = err.str();
    bool oneLine = line.rfind("Unable to start the worker threads: ", 0) == 0 &&
                   line.find('\n') == line.size() - 1;
    return refused && oneLine ? 0 : 2;
  });
  EXPECT_EQ(status, 0) << "above 128: the child ended by signal " << status - 128;
#endif
}

}  // namespace
