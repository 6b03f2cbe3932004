// slow_clients_concurrency_test.cpp -- two connection loops run by a pool of
// two workers, with the API's routes on a loopback port, in this process so
// that its limits can be shortened: slow senders and slow readers hold no worker,
// requests cut anywhere are answered whole, a reply to a request left
// partly unread arrives without a reset, idle connections close, and the
// bytes held for arriving bodies stay bounded without shutting out header
// blocks or keeping a trickling body's room.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/get_routes.h"
#include "api/post_routes.h"
#include "http/connection_loop.h"
#include "http/thread_pool.h"
#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

constexpr size_t kBigFileBytes = 30u << 20;

std::string formHead(const std::string& path, long long length) {
  return "POST " + path +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         "Content-Length: " +
         std::to_string(length) + "\r\n\r\n";
}

// A form POST of exactly total bytes, header block included.
std::string formOfSize(const std::string& path, long long total) {
  const long long body = total - static_cast<long long>(formHead(path, total).size());
  return formHead(path, body) + std::string(static_cast<size_t>(body), 'a');
}

// True when the node has closed fd (end of stream or reset) within waitMs,
// with nothing sent before.
bool closedSilently(int fd, int waitMs) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, waitMs) != 1) return false;
  char c;
  return recv(fd, &c, 1, 0) <= 0;
}

class SlowClientsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(testsupport::useConfiguration(minimalConfig(8080))); }

  // Serves a loopback port with loops of limits, each run by a worker of
  // the pool, as the node runs them.
  void start(ConnectionLimits limits) {
    listener = bindLoopback(&port);
    ASSERT_GE(listener, 0);
    for (int i = 0; i < kLoops; ++i) {
      loops.push_back(openConnectionLoop(RequestHandlers{handleGet, handlePost}, limits, &held));
      ASSERT_NE(loops.back(), nullptr);
      ASSERT_TRUE(listenOn(*loops.back(), listener));
    }
    pool = std::make_unique<ThreadPool>(kLoops);
    for (ConnectionLoopPtr& loop : loops) pool->enqueue(runConnectionLoop, std::ref(*loop));
  }

  void TearDown() override {
    for (int fd : clients) close(fd);
    for (ConnectionLoopPtr& loop : loops) stopConnectionLoop(*loop);
    pool.reset();  // joins the workers once their loops have returned
    loops.clear();
    if (listener >= 0) close(listener);
  }

  // A client kept open until the end of the test.
  int keep(int fd) {
    clients.push_back(fd);
    return fd;
  }

  // Four uploads of one client, of total bytes each, that send all of it but
  // missing bytes; returns once the node has taken what they sent (all but
  // their first kRequestHeadBytes counts as held), at most 10 s.
  std::vector<int> holdUploads(long long total, long long missing) {
    std::vector<int> uploads;
    for (int i = 0; i < 4; ++i) {
      int fd = keep(connectTo(port));
      EXPECT_GE(fd, 0);
      const std::string request = formOfSize("/x", total);
      sendBytes(fd, request.substr(0, request.size() - static_cast<size_t>(missing)));
      uploads.push_back(fd);
    }
    const long long taken = 4 * (total - missing - static_cast<long long>(kRequestHeadBytes));
    for (int i = 0; i < 10000 && held.bytes.load() < taken; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GE(held.bytes.load(), taken) << "the node did not take the uploads";
    return uploads;
  }

  TempDir dir;
  ScopedChdir inDir{dir.path};
  // Two loops share the listening socket and the count of held bytes, as
  // the node's loops do.
  static constexpr int kLoops = 2;
  HeldRequestBytes held;
  std::vector<ConnectionLoopPtr> loops;
  std::unique_ptr<ThreadPool> pool;
  int listener = -1;
  int port = 0;
  std::vector<int> clients;
};

TEST_F(SlowClientsTest, SlowSendersAndSlowReadersHoldNoWorker) {
  writeFile(dir.file("uploads/big.webp"), std::string(kBigFileBytes, 'b'));
  start(ConnectionLimits{});
  // 64 form senders that stop after one byte of a 20-byte body: eight times
  // the workers.
  std::vector<int> senders;
  for (int i = 0; i < 64; ++i) {
    int fd = keep(connectTo(port));
    ASSERT_GE(fd, 0);
    sendBytes(fd, formHead("/x", 20) + "i");
    senders.push_back(fd);
  }
  // 16 readers of a 30 MB file that read nothing.
  for (int i = 0; i < 16; ++i) {
    int fd = keep(connectTo(port, 4096));
    ASSERT_GE(fd, 0);
    sendBytes(fd, getRequest("/uploads/big.webp"));
  }
  for (int i = 0; i < 200; ++i) {
    std::string reply = sendRaw(port, getRequest("/"), 10000);
    ASSERT_NE(splitReply(reply).second.find("\"ver\":\"v1\""), std::string::npos)
        << "fresh GET " << i << " got: " << reply;
  }
  // The slow senders were waited for, not dropped: one that completes its
  // body is answered.
  for (int fd : senders) EXPECT_FALSE(closedSilently(fd, 0));
  sendBytes(senders[0], std::string(19, 'd'));
  EXPECT_EQ(splitReply(receiveUntilClosed(senders[0])).second, "{\"r\":404}");
}

TEST_F(SlowClientsTest, RequestsCutAnywhereAreAnsweredWithoutAReset) {
  start(ConnectionLimits{});
  const std::string connectTest = getRequest("/v1/connect-test");
  const std::string longHeader =
      "GET /v1/connect-test HTTP/1.1\r\nX-Padding: " + std::string(6000, 'p') + "\r\n\r\n";
  struct Case {
    const char* desc;
    std::vector<std::string> segments;
  } cases[] = {
      {"request line in two segments", {"GE", connectTest.substr(2)}},
      {"header block cut before its empty line",
       {connectTest.substr(0, 30), connectTest.substr(30)}},
      // Answered on its first 4,096 bytes: the rest is discarded, not left
      // unread under a close that would reset the connection.
      {"header block of 6 KB", {longHeader}},
      {"header block of 6 KB in two segments",
       {longHeader.substr(0, 3000), longHeader.substr(3000)}},
  };
  for (const Case& c : cases) {
    for (int round = 0; round < 5; ++round) {
      int fd = connectTo(port);
      ASSERT_GE(fd, 0);
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      for (size_t i = 0; i < c.segments.size(); ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sendBytes(fd, c.segments[i]);
      }
      std::string reply = receiveUntilClosed(fd);
      close(fd);
      EXPECT_EQ(splitReply(reply).second, "{\"r\":\"ok\"}") << c.desc << ", round " << round;
    }
  }
}

TEST_F(SlowClientsTest, LargeReplyToAPartlyUnreadRequestArrivesWhole) {
  // Closing with request bytes unread would reset the connection and drop
  // the reply's bytes still queued to a client that reads slowly.
  const std::string file(4u << 20, 'f');
  writeFile(dir.file("uploads/file.webp"), file);
  start(ConnectionLimits{});
  for (int round = 0; round < 3; ++round) {
    int fd = connectTo(port, 16 * 1024);
    ASSERT_GE(fd, 0);
    sendBytes(
        fd, "GET /uploads/file.webp HTTP/1.1\r\nX-Padding: " + std::string(6000, 'p') + "\r\n\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the reply is queued meanwhile
    std::string body = splitReply(receiveUntilClosed(fd)).second;
    close(fd);
    EXPECT_TRUE(body == file) << "round " << round << ": " << body.size() << " of " << file.size()
                              << " bytes";
  }
}

TEST_F(SlowClientsTest, IdleAndStalledConnectionsCloseAfterTheirLimit) {
  ConnectionLimits limits;
  limits.idleMs = 300;
  limits.noProgressMs = 300;
  start(limits);
  std::vector<int> silent, stalled;
  for (int i = 0; i < 20; ++i) silent.push_back(keep(connectTo(port)));
  for (int i = 0; i < 20; ++i) {
    int fd = keep(connectTo(port));
    sendBytes(fd, "GET /v1/connect-test HTTP/1.1\r\nHost:");
    stalled.push_back(fd);
  }
  // A fresh request is served meanwhile.
  EXPECT_EQ(splitReply(sendRaw(port, getRequest("/v1/connect-test"))).second, "{\"r\":\"ok\"}");
  for (int fd : silent) EXPECT_TRUE(closedSilently(fd, 10000)) << "a silent connection stayed open";
  for (int fd : stalled) EXPECT_TRUE(closedSilently(fd, 10000)) << "a stalled request stayed open";
}

TEST_F(SlowClientsTest, HeldRequestBytesAreBounded) {
  ConnectionLimits limits;
  limits.heldRequestBytes = 256 * 1024;
  start(limits);
  // Two form POSTs of 200 KiB each send 150 KiB: together more than the
  // node may hold, and neither complete. One is closed without a reply;
  // the other is answered once its body is complete.
  const long long length = 200 * 1024;
  const std::string first = "id=" + std::string(150 * 1024, 'a');
  int a = keep(connectTo(port));
  int b = keep(connectTo(port));
  sendBytes(a, formHead("/x", length) + first);
  sendBytes(b, formHead("/x", length) + first);
  // The node reads what both sent and closes one; only then do the bodies
  // go on (else one could complete before the other's bytes were read).
  pollfd both[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
  ASSERT_GE(poll(both, 2, 10000), 1) << "neither request was closed";
  std::vector<std::string> replies;
  for (int fd : {a, b}) {
    sendBytes(fd, std::string(static_cast<size_t>(length) - first.size(), 'z'));
    replies.push_back(splitReply(receiveUntilClosed(fd)).second);
  }
  EXPECT_TRUE((replies[0] == "" && replies[1] == "{\"r\":404}") ||
              (replies[0] == "{\"r\":404}" && replies[1] == ""))
      << "replies: '" << replies[0] << "', '" << replies[1] << "'";
  // Nothing stays counted: a request of nearly the whole bound is served.
  const std::string body(250 * 1024, 'c');
  EXPECT_EQ(
      splitReply(sendRaw(port, formHead("/x", static_cast<long long>(body.size())) + body)).second,
      "{\"r\":404}");
}

TEST_F(SlowClientsTest, HeaderBlocksAreNeverRefusedForRoomBodiesTook) {
  ConnectionLimits limits;
  limits.heldRequestBytes = 256 * 1024;
  start(limits);
  // Together the four take all the room there is but a few bytes.
  std::vector<int> uploads = holdUploads(64 * 1024, 3);
  for (int i = 0; i < 20; ++i) {
    std::string reply = sendRaw(port, getRequest("/"), 10000);
    EXPECT_NE(splitReply(reply).second.find("\"ver\":\"v1\""), std::string::npos)
        << "fresh GET " << i << " got: " << reply;
  }
  // The uploads were waited for meanwhile: one that ends is answered.
  for (int fd : uploads) EXPECT_FALSE(closedSilently(fd, 0));
  sendBytes(uploads[0], "aaa");
  EXPECT_EQ(splitReply(receiveUntilClosed(uploads[0])).second, "{\"r\":404}");
}

TEST_F(SlowClientsTest, BodyThatTricklesGivesUpItsRoom) {
  ConnectionLimits limits;
  limits.heldRequestBytes = 256 * 1024;
  limits.bodyGraceMs = 500;
  limits.bodyWindowMs = 300;
  limits.minBodyBytesPerSecond = 64 * 1024;
  start(limits);
  std::vector<int> uploads = holdUploads(64 * 1024, 1000);
  // A byte every 50 ms each, well within the no-progress limit, far below
  // the minimum rate: each is closed without a reply soon after its grace.
  std::vector<bool> closed(uploads.size(), false);
  for (int tick = 0; tick < 200; ++tick) {
    bool all = true;
    for (size_t i = 0; i < uploads.size(); ++i) {
      if (!closed[i]) closed[i] = closedSilently(uploads[i], 0);
      if (!closed[i]) sendBytes(uploads[i], "a");
      all = all && closed[i];
    }
    if (all) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  for (size_t i = 0; i < uploads.size(); ++i) EXPECT_TRUE(closed[i]) << "upload " << i;
  // Their room is free again for a body that comes at once.
  EXPECT_EQ(splitReply(sendRaw(port, formOfSize("/x", 200 * 1024))).second, "{\"r\":404}");
}

TEST_F(SlowClientsTest, SlowBodyAboveTheMinimumRateIsServed) {
  ConnectionLimits limits;
  limits.bodyGraceMs = 300;
  limits.bodyWindowMs = 1000;
  limits.minBodyBytesPerSecond = 1024;
  start(limits);
  // 1 KiB every 100 ms: ten times the minimum, over several windows.
  const std::string request = formOfSize("/x", 32 * 1024);
  int fd = keep(connectTo(port));
  ASSERT_GE(fd, 0);
  for (size_t at = 0; at < request.size(); at += 1024) {
    if (at > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sendBytes(fd, request.substr(at, 1024));
  }
  EXPECT_EQ(splitReply(receiveUntilClosed(fd)).second, "{\"r\":404}");
}

}  // namespace
