// serving_test.cpp -- the real node serving real clients: curl for every
// route (multipart uploads large enough for "Expect: 100-continue"), raw
// sockets for malformed requests, idle clients and clients that leave early.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/running_node.h"
#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

// The CPU time (user plus system, in clock ticks) the process has used.
long long cpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoll(field);
    if (i == 15) stime = std::stoll(field);
  }
  return utime + stime;
}

class ServingTest : public RunningNodeTest {
 protected:
  void TearDown() override {
    // The orderly stop still works with the accept loop running.
    if (node.pid > 0) {
      EXPECT_EQ(stopNode(node, SIGTERM), 0);
    }
  }

  // The worker count the node announced after its listening line.
  int workerCount() {
    std::regex line("Creating thread pool with ([0-9]+) threads\\.\n");
    std::smatch m;
    for (int i = 0; i < 200 && !std::regex_search(node.outSoFar, m, line); ++i) {
      pollfd p{node.stdoutFd, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) {
        char buf[4096];
        ssize_t n = read(node.stdoutFd, buf, sizeof buf);
        if (n > 0) node.outSoFar.append(buf, static_cast<size_t>(n));
      }
    }
    return std::regex_search(node.outSoFar, m, line) ? std::stoi(m[1]) : -1;
  }

  bool nodeAlive() {
    int status;
    return waitpid(node.pid, &status, WNOHANG) == 0;
  }
};

TEST_F(ServingTest, ReadOnlyRoutesAnswerCurl) {
  EXPECT_GT(workerCount(), 0);
  std::string description = curl(url + "/");
  EXPECT_NE(description.find("\"ver\":\"v1\""), std::string::npos) << description;
  EXPECT_NE(description.find("\"name\":\"Test node\""), std::string::npos) << description;
  EXPECT_EQ(curl(url + "/v1/connect-test"), "{\"r\":\"ok\"}");
  EXPECT_EQ(curl(url + "/v1/list/1"), "[]");
  EXPECT_EQ(curl(url + "/v1/news/1"), "{\"r\":404}");
  std::string headers = curl("-i " + url + "/v1/list/x");
  EXPECT_EQ(headers.rfind("HTTP/1.1 403 Unknown\r\n", 0), 0u) << headers;
}

TEST_F(ServingTest, EveryPostActionOverCurlWithLargeUploads) {
  // Uploads over 1 MiB make curl ask "Expect: 100-continue" and wait before
  // it sends the body; the node completes the body by its Content-Length.
  // The last bytes are CR LF, blank and tab, which must be kept.
  std::string avatar = randomBytes(1536 * 1024, 1) + "\r\n \t";
  std::string image = randomBytes(2 * 1024 * 1024, 2) + "\r\n";
  writeFile(dir.file("client/avatar.bin"), avatar);
  writeFile(dir.file("client/image.bin"), image);

  std::string signin = runCommand(
      "curl -s -v --max-time 30 -F uid=0 -F sid=s1 -F nickname=Ann -F "
      "avatar=@" +
      dir.file("client/avatar.bin") + " -F hash=h1 " + url + "/v1/signin 2>&1");
  EXPECT_NE(signin.find("Expect: 100-continue"), std::string::npos) << "curl sent no Expect";
  EXPECT_NE(signin.find("{\"id\":1}"), std::string::npos) << signin;
  std::vector<std::string> avatars = storedFiles(dir.path, "uploads/avatar");
  ASSERT_EQ(avatars.size(), 1u);
  EXPECT_TRUE(readFile(dir.file(avatars[0])) == avatar) << "stored avatar differs";
  EXPECT_TRUE(curl(url + "/" + avatars[0]) == avatar) << "served avatar differs";

  EXPECT_EQ(curl("-d 'uid=1&sid=s1&nickname=Bob' " + url + "/v1/postnickname"), "{\"r\":1}");
  EXPECT_EQ(curl(url + "/v1/isadmin/1/s1"), "{\"r\":1}");

  std::string posted = curl("-F uid=1 -F sid=s1 -F id=0 -F title=Hello -F content=World -F 'img=@" +
                            dir.file("client/image.bin") + ";filename=0' " + url + "/v1/postnews");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(posted, m, std::regex("\\{\"id\":([0-9]+)\\}"))) << posted;
  std::string id = m[1];
  std::vector<std::string> images = storedFiles(dir.path, "uploads/img");
  ASSERT_EQ(images.size(), 1u);
  EXPECT_TRUE(readFile(dir.file(images[0])) == image) << "stored image differs";
  EXPECT_TRUE(curl(url + "/" + images[0]) == image) << "served image differs";

  std::string list = curl(url + "/v1/list/1");
  EXPECT_NE(list.find("\"title\":\"Hello\""), std::string::npos) << list;
  EXPECT_NE(list.find("\"nickname\":\"Bob\""), std::string::npos) << list;
  std::string detail = curl(url + "/v1/news/" + id);
  EXPECT_NE(detail.find("\"content\":\"World\""), std::string::npos) << detail;
  EXPECT_NE(detail.find(images[0]), std::string::npos) << detail;

  std::string like = "-d 'id=" + id + "&uid=1&sid=s1' " + url + "/v1/like";
  EXPECT_EQ(curl(like), "{\"r\":1}");
  EXPECT_EQ(curl(url + "/v1/islike/1/s1/" + id), "{\"r\":1}");
  EXPECT_EQ(curl(like), "{\"r\":0}");

  EXPECT_EQ(curl("-d 'uid=1&sid=s1&id=" + id + "' " + url + "/v1/delnews"), "{\"r\":1}");
  EXPECT_EQ(curl(url + "/v1/news/" + id), "{\"r\":404}");
  // The image goes with the next save, here the one of the stop.
  EXPECT_EQ(stopNode(node, SIGTERM), 0);
  EXPECT_TRUE(storedFiles(dir.path, "uploads/img").empty());
}

TEST_F(ServingTest, MalformedRequestsGetNoReplyAndTheNodeServesOn) {
  const std::string form =
      "POST /v1/like HTTP/1.1\r\nContent-Type: "
      "application/x-www-form-urlencoded\r\n";
  struct Case {
    const char* desc;
    std::string bytes;
  } cases[] = {
      {"no second space", "GET /\r\n\r\n"},
      {"unknown method", "BREW / HTTP/1.1\r\n\r\n"},
      {"lower-case method", "get / HTTP/1.1\r\n\r\n"},
      {"binary noise", randomBytes(3000, 3)},
      {"form without Content-Length", form + "\r\nid=1"},
      {"Content-Length abc", form + "Content-Length: abc\r\n\r\nid=1"},
      {"Content-Length beyond int", form + "Content-Length: 99999999999\r\n\r\nid=1"},
      {"announces 100 MiB", form + "Content-Length: 104857600\r\n\r\nid=1"},
  };
  for (const Case& c : cases) {
    // The node closes at once: the 10 s given here is not needed.
    EXPECT_EQ(sendRaw(port, c.bytes, 10000), "") << c.desc;
  }
  std::string reply = sendRaw(port, getRequest("/v1/connect-test"));
  EXPECT_EQ(splitReply(reply).second, "{\"r\":\"ok\"}");
}

TEST_F(ServingTest, IdleClientsDoNotHoldTheWorkers) {
  int workers = workerCount();
  ASSERT_GT(workers, 0);
  std::vector<int> idle;
  for (int i = 0; i < 2 * workers + 4; ++i) {
    int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    idle.push_back(fd);
  }
  // Every worker would be blocked in a receive if silent connections were
  // handed to them; a normal GET must still be answered within a second.
  std::string reply = sendRaw(port, getRequest("/v1/connect-test"), 1000);
  EXPECT_EQ(splitReply(reply).second, "{\"r\":\"ok\"}");

  // The silent connections are closed without a reply after their 10 s.
  for (int fd : idle) {
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 30000), 1) << "a silent connection stayed open";
    char c;
    EXPECT_EQ(recv(fd, &c, 1, 0), 0);
    close(fd);
  }
}

TEST_F(ServingTest, ClientsThatSendLateOrNothingAreHandledAlike) {
  // One sends its request only after a while: accepted silent, it waits for
  // its bytes without a worker and is then served like any other.
  int late = connectTo(port);
  ASSERT_GE(late, 0);
  // One ends without a byte: closed without a reply.
  int ended = connectTo(port);
  ASSERT_GE(ended, 0);
  shutdown(ended, SHUT_WR);
  std::string reply = sendRaw(port, getRequest("/v1/connect-test"), 10000);
  EXPECT_EQ(splitReply(reply).second, "{\"r\":\"ok\"}");
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  std::string request = getRequest("/v1/connect-test");
  ASSERT_EQ(send(late, request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  std::string received;
  char buffer[4096];
  pollfd p{late, POLLIN, 0};
  while (poll(&p, 1, 10000) == 1) {
    ssize_t n = recv(late, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    received.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(splitReply(received).second, "{\"r\":\"ok\"}");
  close(late);
  p = {ended, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1);
  char c;
  EXPECT_EQ(recv(ended, &c, 1, 0), 0);
  close(ended);
}

TEST_F(ServingTest, ClientsThatLeaveEarlyLeaveTheNodeServing) {
  writeFile(dir.file("uploads/big.webp"), std::string(8 * 1024 * 1024, 'b'));
  for (int i = 0; i < 20; ++i) {
    int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    std::string request = getRequest("/uploads/big.webp");
    ASSERT_EQ(send(fd, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    if (i % 2 == 0) {
      // Reset at once: the node's sends fail with ECONNRESET or EPIPE.
      linger reset{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    } else {
      char head[100];
      recv(fd, head, sizeof head, 0);  // a little of the reply, then leave
    }
    close(fd);
  }
  // Leaving before sending the rest of a form body, too.
  int fd = connectTo(port);
  ASSERT_GE(fd, 0);
  std::string partial =
      "POST /v1/like HTTP/1.1\r\nContent-Type: "
      "application/x-www-form-urlencoded\r\nContent-Length: 50\r\n\r\nid=";
  send(fd, partial.data(), partial.size(), MSG_NOSIGNAL);
  close(fd);

  std::string reply = sendRaw(port, getRequest("/v1/connect-test"));
  EXPECT_EQ(splitReply(reply).second, "{\"r\":\"ok\"}");
  EXPECT_TRUE(nodeAlive());
  EXPECT_EQ(curl(url + "/uploads/big.webp").size(), 8u * 1024 * 1024);
}

TEST_F(ServingTest, RunningOutOfDescriptorsPausesAndRecovers) {
#ifdef __SANITIZE_ADDRESS__
  // The undefined-behaviour checks built with AddressSanitizer open a pipe to
  // probe memory; with no descriptor left they report false errors.
  GTEST_SKIP() << "sanitizer runtime needs spare descriptors";
#endif
  ASSERT_GT(workerCount(), 0);
  // Serving: every descriptor it keeps is open by now.
  ASSERT_EQ(splitReply(sendRaw(port, getRequest("/v1/connect-test"))).second, "{\"r\":\"ok\"}");
  // Leave the node a few descriptors more than it holds now.
  const int open =
      static_cast<int>(directoryEntries("/proc/" + std::to_string(node.pid) + "/fd").size());
  int limit = open + 4;
  int status = 0;
  runCommand("prlimit --pid " + std::to_string(node.pid) + " --nofile=" + std::to_string(limit) +
                 ":" + std::to_string(limit),
             &status);
  ASSERT_EQ(status, 0);
  std::vector<int> idle;
  for (int i = 0; i < 6; ++i) {
    int fd = connectTo(port);
    ASSERT_GE(fd, 0);
    idle.push_back(fd);
  }
  // Now every accept fails with EMFILE: the node must wait between tries
  // instead of spinning a core.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  long long before = cpuTicks(node.pid);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  long long used = cpuTicks(node.pid) - before;
  EXPECT_LT(used, sysconf(_SC_CLK_TCK) * 3 / 2) << "the accept loop spins while out of descriptors";
  // Once the silent connections are closed, the waiting ones are served.
  std::string reply = sendRaw(port, getRequest("/v1/connect-test"), 40000);
  EXPECT_EQ(splitReply(reply).second, "{\"r\":\"ok\"}");
  for (int fd : idle) close(fd);
  EXPECT_TRUE(nodeAlive());
}

}  // namespace
