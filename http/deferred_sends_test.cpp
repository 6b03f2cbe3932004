// deferred_sends_test.cpp -- sends deferred to the I/O side, and files sent
// at once or deferred.
#include "http/deferred_sends.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "http/reply_sends.h"
#include "storage/file_helpers.h"
#include "tests/support/test_support.h"

namespace {

// A thread that reads socket (made blocking) into received until the peer
// closes; join it before reading received.
std::thread readAllInto(int socket, std::string& received) {
  return std::thread([socket, &received] {
    int flags = fcntl(socket, F_GETFL);
    fcntl(socket, F_SETFL, flags & ~O_NONBLOCK);
    char buffer[65536];
    ssize_t n;
    while ((n = recv(socket, buffer, sizeof buffer, 0)) > 0) {
      received.append(buffer, static_cast<size_t>(n));
    }
  });
}

// Finishes reply on the non-blocking socket as the I/O side does, waiting
// for room between tries; returns what continueReply ended with.
ReplyProgress finishReply(int socket, PendingReply& reply) {
  while (true) {
    bool progressed = false;
    ReplyProgress progress = continueReply(socket, reply, progressed);
    if (progress != ReplyProgress::kBlocked) return progress;
    pollfd p{socket, POLLOUT, 0};
    if (poll(&p, 1, 10000) != 1) return progress;
  }
}

TEST(DeferredSends, NothingWaitsAndTheRestLeavesInOrder) {
  // Far more than a socket pair buffers: each send returns at once and the
  // rest is kept; finishing it delivers every byte in order.
  const std::string body(4u << 20, 'j');
  const std::string file(3u << 20, 'f');
  testsupport::TempDir dir;
  testsupport::writeFile(dir.file("file.bin"), file);
  struct Case {
    const char* desc;
    bool withFile;
  } cases[] = {{"header block and a large body", false}, {"header block, body and a file", true}};
  for (const Case& c : cases) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    std::string received;
    std::thread reader = readAllInto(sv[1], received);
    PendingReply reply;
    {
      DeferredSends deferred(sv[0], reply);
      EXPECT_TRUE(sendHeaderBeforeBody(sv[0], "HEAD\r\n\r\n")) << c.desc;
      EXPECT_TRUE(sendAll(sv[0], body)) << c.desc;
      if (c.withFile) {
        FileDescriptor opened(open(dir.file("file.bin").c_str(), O_RDONLY));
        EXPECT_TRUE(sendFileContents(sv[0], opened.get(), static_cast<off_t>(file.size())))
            << c.desc;
      }
    }
    EXPECT_TRUE(hasUnsent(reply)) << c.desc;
    EXPECT_EQ(finishReply(sv[0], reply), ReplyProgress::kDone) << c.desc;
    EXPECT_FALSE(hasUnsent(reply)) << c.desc;
    close(sv[0]);
    reader.join();
    close(sv[1]);
    const std::string expected = "HEAD\r\n\r\n" + body + (c.withFile ? file : "");
    EXPECT_TRUE(received == expected)
        << c.desc << ": " << received.size() << " of " << expected.size() << " bytes";
  }
}

TEST(SendFileContents, SendsTheAnnouncedLengthAtMost) {
  // A file that grew since its size was announced goes out at that size; one
  // that shrank ends where it ends. Both when sent at once and when the file
  // is left to the I/O side behind a body the socket did not take.
  std::string file(3u << 20, 'f');
  for (std::size_t i = 0; i < file.size(); i += 4093) file[i] = static_cast<char>(i / 4093);
  const std::string body(4u << 20, 'b');
  testsupport::TempDir dir;
  testsupport::writeFile(dir.file("file.bin"), file);
  const off_t whole = static_cast<off_t>(file.size());
  struct Case {
    const char* desc;
    bool deferred;
    off_t length;
  } cases[] = {
      {"at once, the whole file", false, whole},
      {"at once, a file that grew", false, whole - 1000},
      {"at once, a file that shrank", false, whole + 1000},
      {"deferred, a file that grew", true, whole - 1000},
      {"deferred, a file that shrank", true, whole + 1000},
  };
  for (const Case& c : cases) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | (c.deferred ? SOCK_NONBLOCK : 0), 0, sv), 0);
    std::string received;
    std::thread reader = readAllInto(sv[1], received);
    FileDescriptor opened(open(dir.file("file.bin").c_str(), O_RDONLY));
    if (c.deferred) {
      PendingReply reply;
      {
        DeferredSends deferred(sv[0], reply);
        EXPECT_TRUE(sendAll(sv[0], body)) << c.desc;
        EXPECT_TRUE(sendFileContents(sv[0], opened.get(), c.length)) << c.desc;
      }
      EXPECT_EQ(finishReply(sv[0], reply), ReplyProgress::kDone) << c.desc;
    } else {
      EXPECT_TRUE(sendFileContents(sv[0], opened.get(), c.length)) << c.desc;
    }
    close(sv[0]);
    reader.join();
    close(sv[1]);
    const std::string expected =
        (c.deferred ? body : "") + file.substr(0, static_cast<std::size_t>(c.length));
    EXPECT_TRUE(received == expected)
        << c.desc << ": " << received.size() << " of " << expected.size() << " bytes";
  }
}

TEST(DeferredSends, APeerThatHasGoneFailsTheReply) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
  close(sv[1]);
  PendingReply reply;
  {
    DeferredSends deferred(sv[0], reply);
    EXPECT_FALSE(sendAll(sv[0], std::string("body")));
    EXPECT_FALSE(sendAll(sv[0], std::string("more")));  // stays failed
  }
  EXPECT_TRUE(reply.failed);
  close(sv[0]);
}

}  // namespace
