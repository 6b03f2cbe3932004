// accept_loop_test.cpp -- the worker count from the console and the pool's
// start-up messages.
#include "node/accept_loop.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

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
      {"4\n", 4},  {"  \n 12 threads\n", 12},     {"abc\n", 0}, {"", 0},    {"-3\n", 0},
      {"+3\n", 0}, {"99999999999999999999\n", 0}, {"0\n", 0},   {"16", 16},
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

}  // namespace
