// whole_requests_test.cpp -- the real node answers every request it holds
// whole, however its bytes came: all of it already waiting in the socket
// when the node gets to it (the node stopped meanwhile), whichever receive
// took its last bytes.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "tests/support/running_node.h"
#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

// A URL-encoded POST outside "v1" of exactly total bytes: answered
// {"r":404} once its body is held whole, with no reply when it is not.
std::string formPostOfSize(std::size_t total) {
  auto head = [](std::size_t bodyBytes) {
    return "POST /x HTTP/1.1\r\nHost: 127.0.0.1\r\n"
           "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(bodyBytes) + "\r\n\r\n";
  };
  std::size_t headBytes = head(total).size();  // the length's digits are no more than total's
  return head(total - headBytes) + std::string(total - headBytes, 'a');
}

// A loopback client whose send buffer holds all of bytes, so that they are
// sent whole while nothing reads them.
int connectWithRoomFor(int port, std::size_t bytes) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int room = static_cast<int>(bytes);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

class WholeRequestsTest : public RunningNodeTest {
 protected:
  void TearDown() override {
    if (node.pid > 0) kill(node.pid, SIGCONT);
  }
};

TEST_F(WholeRequestsTest, RequestWaitingWholeWhenTheNodeResumesIsAnswered) {
  // Sizes whose last bytes fall to the last of the receives one connection
  // gets in a row, or just past it, when they all wait at once.
  const std::size_t sizes[] = {929152, 16 * 64 * 1024 + 1, 960000, 64 * 1024, 4096};
  for (std::size_t size : sizes) {
    const std::string request = formPostOfSize(size);
    ASSERT_EQ(request.size(), size);
    ASSERT_EQ(kill(node.pid, SIGSTOP), 0);
    int fd = connectWithRoomFor(port, 2 * size);
    ASSERT_GE(fd, 0);
    sendBytes(fd, request);
    ASSERT_EQ(kill(node.pid, SIGCONT), 0);
    // Generous: the node would answer at once, and closes a stalled request
    // without a reply after 10 s.
    const std::string reply = receiveUntilClosed(fd, 20000);
    close(fd);
    EXPECT_EQ(splitReply(reply).second, "{\"r\":404}") << size << " bytes";
  }
}

}  // namespace
