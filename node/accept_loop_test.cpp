// accept_loop_test.cpp -- the worker count from the console and the pool's
// start-up messages.
#include "node/accept_loop.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
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

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ONDRIX_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ONDRIX_SANITIZED 1
#endif
#endif

TEST(BuildWorkerPool, WorkerThatCannotStartIsOneLineOnStandardError) {
#ifdef ONDRIX_SANITIZED
  GTEST_SKIP() << "sanitizers reserve address space; the cap would break them";
#else
  // In a child whose address space is capped, thread stacks run out.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlim_t size = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
    rlimit cap{size + (48u << 20), size + (48u << 20)};
    if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(3);
    std::ostringstream out, err;
    bool refused = buildWorkerPool(1000, out, err) == nullptr;
    std::string line = err.str();
    bool oneLine = line.rfind("Unable to start the worker threads: ", 0) == 0 &&
                   line.find('\n') == line.size() - 1;
    _exit(refused && oneLine ? 0 : 2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

}  // namespace
