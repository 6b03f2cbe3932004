// file_body_test.cpp -- stored files go out whole after the same header block
// whatever their size, and a client that leaves in the middle of a large file
// ends that reply only, also where the process does not ignore SIGPIPE.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include "api/get_routes.h"
#include "http/reply_text.h"
#include "tests/support/test_support.h"

namespace {

std::string patterned(size_t size) {
  std::string bytes(size, '\0');
  unsigned state = 7u;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 23);
  }
  return bytes;
}

// The header block without its Date line, which moves with the clock.
std::string withoutDate(const std::string& header) {
  size_t at = header.find("Date: ");
  if (at == std::string::npos) return header;
  return header.substr(0, at) + header.substr(header.find("\r\n", at) + 2);
}

class FileBodyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testsupport::useConfiguration(testsupport::minimalConfig(8080)));
    chdir = std::make_unique<testsupport::ScopedChdir>(dir.path);
  }
  void TearDown() override { chdir.reset(); }
  testsupport::TempDir dir;
  std::unique_ptr<testsupport::ScopedChdir> chdir;
};

TEST_F(FileBodyTest, EveryFileGoesOutWholeAfterTheSameHeaderBlock) {
  for (size_t size : {0, 1, 4095, 4096, 8192, 204800, 204801, 3 << 20}) {
    const std::string name = "uploads/img/2024/1/2/3/0" + std::to_string(size) + ".webp";
    const std::string content = patterned(size);
    testsupport::writeFile(dir.file(name), content);
    auto [header, body] = testsupport::splitReply(
        testsupport::captureReply([&](int fd) { handleGet(fd, "/" + name); }));
    EXPECT_EQ(withoutDate(header),
              withoutDate(buildResponseHeader(200, "image/webp", static_cast<int>(size))))
        << size;
    EXPECT_TRUE(body == content) << "size " << size << ": got " << body.size() << " bytes";
  }
}

TEST_F(FileBodyTest, AClientLeavingDuringALargeFileEndsThatReplyOnly) {
  const std::string name = "uploads/img/2024/1/2/3/0big.webp";
  testsupport::writeFile(dir.file(name), patterned(8 << 20));
  // Without the node's own SIG_IGN, a broken pipe would end this process.
  auto previous = std::signal(SIGPIPE, SIG_DFL);
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  std::thread client([fd = fds[1]] {
    char buf[4096];
    ASSERT_GT(read(fd, buf, sizeof buf), 0);
    close(fd);  // leaves after the first bytes
  });
  handleGet(fds[0], "/" + name);
  client.join();
  close(fds[0]);
  std::signal(SIGPIPE, previous);
  // The process is still here, and the next reply goes out as usual.
  auto [header, body] = testsupport::splitReply(
      testsupport::captureReply([&](int fd) { handleGet(fd, "/v1/connect-test"); }));
  EXPECT_EQ(body, "{\"r\":\"ok\"}");
}

}  // namespace
