// connection_loop_concurrency_test.cpp -- connection loops run by pool
// workers, as the node runs them: a worker held up in a handler leaves the
// other loops serving, and a handler's exception ends only its own request.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "http/connection_loop.h"
#include "http/thread_pool.h"
#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

// "/hold" waits until the gate opens, "/throw" throws; every other path is
// answered with its own text.
std::mutex gateMutex;
std::condition_variable gateOpened;
bool gateOpen = false;
std::atomic<int> holding{0};

void testGet(int socket, std::string path) {
  if (path == "/hold") {
    ++holding;
    std::unique_lock<std::mutex> lock(gateMutex);
    gateOpened.wait(lock, [] { return gateOpen; });
  }
  if (path == "/throw") throw std::runtime_error("handler failed");
  const std::string reply =
      "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(path.size()) + "\r\n\r\n" + path;
  send(socket, reply.data(), reply.size(), MSG_NOSIGNAL);
}

void testPost(int, std::string_view, std::string_view) {}

// Reads fd until the server closes it, giving up after 10 s of silence.
std::string readToEnd(int fd) {
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string received;
  char buffer[4096];
  ssize_t n;
  while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
    received.append(buffer, static_cast<size_t>(n));
  return received;
}

void openGate() {
  {
    std::lock_guard<std::mutex> lock(gateMutex);
    gateOpen = true;
  }
  gateOpened.notify_all();
}

// count loops on one loopback port, each run by a worker of a pool of count.
class LoopsOnAPool : public ::testing::Test {
 protected:
  void start(int count) {
    listener = bindLoopback(&port);
    ASSERT_GE(listener, 0);
    for (int i = 0; i < count; ++i) {
      loops.push_back(openConnectionLoop(RequestHandlers{testGet, testPost}, ConnectionLimits{}));
      ASSERT_NE(loops.back(), nullptr);
      ASSERT_TRUE(listenOn(*loops.back(), listener));
    }
    pool = std::make_unique<ThreadPool>(count);
    for (ConnectionLoopPtr& loop : loops) pool->enqueue(runConnectionLoop, std::ref(*loop));
  }

  void TearDown() override {
    openGate();
    for (ConnectionLoopPtr& loop : loops) stopConnectionLoop(*loop);
    pool.reset();
    loops.clear();
    if (listener >= 0) close(listener);
  }

  std::vector<ConnectionLoopPtr> loops;
  std::unique_ptr<ThreadPool> pool;
  int listener = -1;
  int port = 0;
};

TEST_F(LoopsOnAPool, WorkerHeldInAHandlerLeavesTheOtherLoopServing) {
  start(2);
  int held = connectTo(port);
  ASSERT_GE(held, 0);
  sendBytes(held, getRequest("/hold"));
  while (holding.load() == 0) std::this_thread::yield();
  // Every fresh connection is taken and answered by the loop whose worker
  // is free, while the other one still waits in its handler.
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(splitReply(sendRaw(port, getRequest("/fresh"))).second, "/fresh") << "request " << i;
  }
  EXPECT_EQ(holding.load(), 1);
  openGate();
  EXPECT_EQ(splitReply(readToEnd(held)).second, "/hold");
  close(held);
}

TEST_F(LoopsOnAPool, HandlerExceptionEndsOnlyItsOwnRequest) {
  start(1);
  EXPECT_EQ(sendRaw(port, getRequest("/throw")), "");
  EXPECT_EQ(splitReply(sendRaw(port, getRequest("/after"))).second, "/after");
}

}  // namespace
