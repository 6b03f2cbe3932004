// support_test.cpp -- the test fixtures themselves work.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "tests/support/test_support.h"

using namespace testsupport;

TEST(TestSupport, TempDirAndFiles) {
  std::string kept;
  {
    TempDir dir;
    kept = dir.path;
    writeFile(dir.file("a/b/c.txt"), std::string("x\0y", 3));
    EXPECT_EQ(readFile(dir.file("a/b/c.txt")), std::string("x\0y", 3));
  }
  EXPECT_FALSE(pathExists(kept));
}

TEST(TestSupport, CaptureReplyReadsEverything) {
  std::string big(300000, 'z');
  std::string got = captureReply([&](int fd) {
    size_t off = 0;
    while (off < big.size())
      off += static_cast<size_t>(write(fd, big.data() + off, big.size() - off));
  });
  EXPECT_EQ(got, big);
}

// The handler finds the whole request queued and then the end of the stream;
// a reply beyond the cap ends with the client hanging up, not a hang.
TEST(TestSupport, SocketPairQueuesTheRequestAndCapsTheReply) {
  const std::string request(60000, 'q');
  PairReply echoed = serveOnSocketPair(
      [](int fd) {
        std::string got;
        char buf[4096];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0) got.append(buf, static_cast<size_t>(n));
        sendBytes(fd, got);
        close(fd);
      },
      request, SIZE_MAX, true);
  EXPECT_EQ(echoed.received, request);
  EXPECT_TRUE(echoed.handlerEndClosed);

  const std::string big(4 << 20, 'b');
  PairReply capped = serveOnSocketPair([&](int fd) { sendBytes(fd, big); }, "", 1 << 20, false);
  EXPECT_GE(capped.received.size(), 1u << 20);
  EXPECT_LT(capped.received.size(), big.size());
  EXPECT_FALSE(capped.handlerEndClosed);
}
