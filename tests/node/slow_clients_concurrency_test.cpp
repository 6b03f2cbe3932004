// slow_clients_concurrency_test.cpp -- two connection loops run by a pool of
// two workers, with the API's routes on a loopback port, in this process so
// that its limits can be shortened: slow senders and slow readers hold no worker,
// requests cut anywhere are answered whole, a reply to a request left
// partly unread arrives without a reset, idle connections close, and the
// room for arriving bodies stays bounded without shutting out header blocks,
// refusing a body that waits for it, or keeping a trickling body's room.
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
      loops.push_back(openConnectionLoop(RequestHandlers{handleGet, handlePost}, limits, held));
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

  // Waits until done() holds, at most 10 s; false when it never did.
  static bool waitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 10000; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
  }

  // Four uploads of one client, of total bytes each, that send all of it but
  // missing bytes; returns once the node has given them their room (all but
  // what came with their heads, at most kRequestHeadBytes each), at most 10 s.
  std::vector<int> holdUploads(long long total, long long missing) {
    std::vector<int> uploads;
    for (int i = 0; i < 4; ++i) {
      int fd = keep(connectTo(port));
      EXPECT_GE(fd, 0);
      const std::string request = formOfSize("/x", total);
      sendBytes(fd, request.substr(0, request.size() - static_cast<size_t>(missing)));
      uploads.push_back(fd);
    }
    const long long taken = 4 * (total - static_cast<long long>(kRequestHeadBytes));
    EXPECT_TRUE(waitFor([&] { return heldBytes(held) >= taken; }))
        << "the node did not take the uploads";
    return uploads;
  }

  // A client of its own that sends request and then reads the reply, on a
  // thread of its own (the node may leave its bytes unread for a while);
  // join it before reading reply.
  struct Sender {
    int fd = -1;
    std::string reply;
    std::thread thread;
    ~Sender() {
      if (!thread.joinable()) return;
      shutdown(fd, SHUT_RDWR);  // a test that failed early: the thread stops
      thread.join();
    }
  };
  void sendOnItsOwn(Sender& sender, std::string request) {
    sender.fd = keep(connectTo(port));
    ASSERT_GE(sender.fd, 0);
    sender.thread = std::thread([&sender, request = std::move(request)] {
      sendBytes(sender.fd, request);
      sender.reply = splitReply(receiveUntilClosed(sender.fd, 30000)).second;
    });
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

TEST_F(SlowClientsTest, BodyBeyondTheRoomWaitsAndIsAnsweredOnceRoomFrees) {
  ConnectionLimits limits;
  limits.heldRequestBytes = 256 * 1024;
  start(limits);
  // Two form POSTs of 200 KiB each: together more than the room. The first
  // has sent 180 KiB; the second, sent whole, waits unread behind it.
  const long long length = 200 * 1024;
  const std::string body(static_cast<size_t>(length), 'a');
  int first = keep(connectTo(port));
  ASSERT_GE(first, 0);
  sendBytes(first, formHead("/x", length) + body.substr(0, 180 * 1024));
  ASSERT_TRUE(waitFor([&] { return heldBytes(held) >= 176 * 1024; }));
  Sender second;
  sendOnItsOwn(second, formHead("/x", length) + body);
  ASSERT_TRUE(waitFor([&] { return bodiesWaiting(held) == 1; })) << "the second did not wait";
  // Once the first is complete and answered, the second gets the room.
  sendBytes(first, body.substr(180 * 1024));
  EXPECT_EQ(splitReply(receiveUntilClosed(first)).second, "{\"r\":404}");
  second.thread.join();
  EXPECT_EQ(second.reply, "{\"r\":404}");
  // Nothing stays counted: a request of nearly the whole room is served,
  // and one beyond it, which never fits, is closed without a reply.
  EXPECT_TRUE(waitFor([&] { return heldBytes(held) == 0 && bodiesWaiting(held) == 0; }));
  const std::string most(250 * 1024, 'c');
  EXPECT_EQ(splitReply(sendRaw(port, formHead("/x", 250 * 1024) + most)).second, "{\"r\":404}");
  int beyond = keep(connectTo(port));
  sendBytes(beyond, formHead("/x", 300 * 1024) + "id=1");
  EXPECT_TRUE(closedSilently(beyond, 10000));
}

TEST_F(SlowClientsTest, BodyWaitingForRoomIsNotClosedByItsLimits) {
  ConnectionLimits limits;
  limits.heldRequestBytes = 1024 * 1024;
  limits.noProgressMs = 1000;
  limits.bodyGraceMs = 500;
  limits.bodyWindowMs = 1000;
  start(limits);
  // The first body, 900 KiB, has sent 700 KiB and holds the room; it sends
  // the rest far above its minimum rate for 3 s: well past the no-progress
  // limit of the second and its grace and first window. The second waits
  // unread all that time, and is answered once the first is.
  const std::string body(900 * 1024, 'a');
  int holder = keep(connectTo(port));
  ASSERT_GE(holder, 0);
  sendBytes(holder, formHead("/x", 900 * 1024) + body.substr(0, 700 * 1024));
  ASSERT_TRUE(waitFor([&] { return heldBytes(held) >= 690 * 1024; }));
  Sender waiting;
  sendOnItsOwn(waiting, formHead("/x", 512 * 1024) + body.substr(0, 512 * 1024));
  ASSERT_TRUE(waitFor([&] { return bodiesWaiting(held) == 1; })) << "the second did not wait";
  for (size_t at = 700 * 1024; at < body.size(); at += 8 * 1024) {
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    sendBytes(holder, body.substr(at, 8 * 1024));
  }
  EXPECT_EQ(splitReply(receiveUntilClosed(holder)).second, "{\"r\":404}");
  waiting.thread.join();
  EXPECT_EQ(waiting.reply, "{\"r\":404}") << "the waiting body was closed";
}

TEST_F(SlowClientsTest, WaitForRoomEndsAtTheRequestDeadline) {
  ConnectionLimits limits;
  limits.heldRequestBytes = 2660 * 1024;
  limits.requestDeadlineMs = 1000;  // plus one second per 256 KiB announced
  start(limits);
  // A body of 2.5 MiB (due after 11 s) holds all but 100 KiB of the room; a
  // body of 200 KiB behind it, due 1 s after its first byte, is closed
  // without a reply at that deadline, long before the room frees.
  int holder = keep(connectTo(port));
  ASSERT_GE(holder, 0);
  sendBytes(holder, formHead("/x", 2560 * 1024) + "id=1");
  ASSERT_TRUE(waitFor([&] { return heldBytes(held) > 0; }));
  int small = keep(connectTo(port));
  ASSERT_GE(small, 0);
  sendBytes(small, formHead("/x", 200 * 1024) + "id=1");
  ASSERT_TRUE(waitFor([&] { return bodiesWaiting(held) == 1; })) << "the small one did not wait";
  EXPECT_TRUE(closedSilently(small, 8000)) << "the waiting body outlived its deadline";
  EXPECT_FALSE(closedSilently(holder, 0));
  EXPECT_EQ(bodiesWaiting(held), 0u);
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
