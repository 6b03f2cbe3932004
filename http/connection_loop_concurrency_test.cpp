// connection_loop_concurrency_test.cpp -- connection loops run by pool
// workers, as the node runs them: a worker held up in a handler leaves the
// other loops serving and, once out, answers what arrived meanwhile; a
// handler's exception ends only its own request; bodies beyond the room the
// loops share wait for it in turn, and each reaches its handler byte for byte.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
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

// What a POST handler saw: its request's length and a hash of its bytes.
std::string fingerprint(std::string_view request) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (char c : request) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return std::to_string(request.size()) + ":" + std::to_string(hash);
}

void testPost(int socket, std::string_view, std::string_view request) {
  const std::string reply = "HTTP/1.1 200 OK\r\n\r\n" + fingerprint(request);
  send(socket, reply.data(), reply.size(), MSG_NOSIGNAL);
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
  void start(int count, ConnectionLimits limits = {}) {
    {
      std::lock_guard<std::mutex> lock(gateMutex);
      gateOpen = false;
    }
    holding = 0;
    listener = bindLoopback(&port);
    ASSERT_GE(listener, 0);
    for (int i = 0; i < count; ++i) {
      loops.push_back(openConnectionLoop(RequestHandlers{testGet, testPost}, limits, room));
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

  HeldRequestBytes room;  // shared by the loops, as the node's loops share it
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
  EXPECT_EQ(splitReply(receiveUntilClosed(held)).second, "/hold");
  close(held);
}

TEST_F(LoopsOnAPool, RequestCompletedDuringALongHandlerIsAnswered) {
  ConnectionLimits limits;
  limits.idleMs = 1000;
  limits.noProgressMs = 1000;
  start(1, limits);
  // Sent first, so accepted and read first: its time limit runs from here.
  int waiting = connectTo(port);
  ASSERT_GE(waiting, 0);
  sendBytes(waiting, "GET /waiting HTTP/1.1\r\n");
  int held = connectTo(port);
  ASSERT_GE(held, 0);
  sendBytes(held, getRequest("/hold"));
  while (holding.load() == 0) std::this_thread::yield();
  // Its rest arrives while the loop's one worker is in the handler, which
  // then runs on past the no-progress limit: the bytes that wait are taken
  // before any limit is checked.
  sendBytes(waiting, "Host: a\r\n\r\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(2 * limits.noProgressMs));
  openGate();
  EXPECT_EQ(splitReply(receiveUntilClosed(held)).second, "/hold");
  EXPECT_EQ(splitReply(receiveUntilClosed(waiting)).second, "/waiting");
  close(held);
  close(waiting);
}

TEST_F(LoopsOnAPool, HandlerExceptionEndsOnlyItsOwnRequest) {
  start(1);
  EXPECT_EQ(sendRaw(port, getRequest("/throw")), "");
  EXPECT_EQ(splitReply(sendRaw(port, getRequest("/after"))).second, "/after");
}

TEST_F(LoopsOnAPool, BodiesBeyondTheRoomAreAllAnsweredWhole) {
  // Eight bodies sent at once, of a few MiB each (either side of the size
  // from which a buffer is mapped on its own), into a room that holds two
  // or three of them: those that find no room wait for it and take it in
  // turn, whichever loop frees it, and each handler sees exactly what its
  // client sent.
  ConnectionLimits limits;
  limits.heldRequestBytes = 11 << 20;
  start(2, limits);
  constexpr int kBodies = 8;
  std::vector<std::string> requests, replies(kBodies);
  for (int i = 0; i < kBodies; ++i) {
    const std::size_t length = (i % 2 == 0 ? 5u << 20 : 1u << 20) + static_cast<std::size_t>(i);
    requests.push_back(
        "POST /upload HTTP/1.1\r\nContent-Type: application/octet-stream\r\n"
        "Content-Length: " +
        std::to_string(length) + "\r\n\r\n" + randomBytes(length, i));
  }
  std::vector<std::thread> clients;
  for (int i = 0; i < kBodies; ++i) {
    clients.emplace_back([&, i] { replies[i] = sendRaw(port, requests[i], 60000); });
  }
  for (std::thread& client : clients) client.join();
  for (int i = 0; i < kBodies; ++i) {
    EXPECT_EQ(splitReply(replies[i]).second, fingerprint(requests[i])) << "body " << i;
  }
  EXPECT_EQ(heldBytes(room), 0);
  EXPECT_EQ(bodiesWaiting(room), 0u);
}

}  // namespace
