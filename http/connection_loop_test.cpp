// connection_loop_test.cpp -- one connection of a connection loop, one end
// of a socket pair handed to it as its accept hands one: request pieces,
// POST completion by Content-Length, the requests that get no reply, the
// size bound and the time-outs.
#include "http/connection_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "api/get_routes.h"
#include "api/post_routes.h"
#include "node/startup.h"
#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

const RequestHandlers kRoutes{handleGet, handlePost};
// Short limits for the tests that wait for one to run out.
ConnectionLimits shortLimits() {
  ConnectionLimits limits;
  limits.idleMs = 400;
  limits.noProgressMs = 400;
  limits.requestDeadlineMs = 1500;
  return limits;
}
const ConnectionLimits kShortLimits = shortLimits();

// A connection loop with the API's routes, run on a thread of its own, that
// serves one end of a socket pair as a connection it accepted; client is the
// other end. The loop stops when the fixture goes.
class LoopOnAPair {
 public:
  explicit LoopOnAPair(ConnectionLimits limits) {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    client = sv[1];
    fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    loop = openConnectionLoop(kRoutes, limits, room);
    EXPECT_NE(loop, nullptr);
    if (!loop) {
      close(sv[0]);
      return;
    }
    adoptConnection(*loop, sv[0]);
    thread = std::thread(runConnectionLoop, std::ref(*loop));
  }
  ~LoopOnAPair() {
    if (loop) stopConnectionLoop(*loop);
    if (thread.joinable()) thread.join();
    close(client);
  }
  LoopOnAPair(const LoopOnAPair&) = delete;
  LoopOnAPair& operator=(const LoopOnAPair&) = delete;

  int client = -1;

 private:
  HeldRequestBytes room;
  ConnectionLoopPtr loop;
  std::thread thread;
};

// What the client end saw of its connection.
struct Seen {
  std::string reply;
  bool closedByNode = false;  // the node closed (EOF) before the client gave up
};

// Waits until the loop has taken every byte sent from the client end (what
// a socket pair end has sent stays counted in its output queue until the
// other end has received it), at most 10 s.
void waitUntilReceived(int clientEnd) {
  for (int i = 0; i < 10000; ++i) {
    int unread = 0;
    if (ioctl(clientEnd, SIOCOUTQ, &unread) != 0 || unread == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Serves one connection on a LoopOnAPair. The client end sends each piece,
// waiting between pieces until the loop has received the one before, so
// that each arrives in a receive of its own; then it shuts its sending side
// down unless keepOpen, and reads until the node closes or giveUpMs pass.
Seen serve(const std::vector<std::string>& pieces, bool keepOpen = false, int giveUpMs = 30000,
           ConnectionLimits limits = {}) {
  LoopOnAPair pair(limits);
  const int client = pair.client;
  for (size_t i = 0; i < pieces.size(); ++i) {
    // The next piece goes out only once the loop has received the one before
    // (nothing is left unread on its end), however late the loop runs.
    if (i > 0) waitUntilReceived(client);
    size_t off = 0;
    while (off < pieces[i].size()) {
      ssize_t n = send(client, pieces[i].data() + off, pieces[i].size() - off, MSG_NOSIGNAL);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
  }
  if (!keepOpen) shutdown(client, SHUT_WR);
  Seen seen;
  timeval limit{giveUpMs / 1000, (giveUpMs % 1000) * 1000};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char buf[65536];
  while (true) {
    ssize_t n = recv(client, buf, sizeof buf, 0);
    if (n > 0) {
      seen.reply.append(buf, static_cast<size_t>(n));
      continue;
    }
    seen.closedByNode = (n == 0);
    break;
  }
  return seen;
}

std::string formPost(const std::string& path, const std::string& type, const std::string& length) {
  return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + type +
         "\r\nContent-Length: " + length + "\r\n\r\n";
}

const char* kUrlEncoded = "application/x-www-form-urlencoded";
const char* kNotFoundBody = "{\"r\":404}";

// A working directory with a configuration and one file to serve.
class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loadConfigurationText(minimalConfig(8080));
    writeFile(dir.file("uploads/page.webp"), std::string("PAGE\0BYTES", 10));
  }
  TempDir dir;
  ScopedChdir inDir{dir.path};
};

TEST_F(ConnectionTest, GetIsHandedItsPath) {
  Seen seen = serve({"GET /uploads/page.webp HTTP/1.1\r\nHost: a\r\n\r\n"});
  EXPECT_TRUE(seen.closedByNode);
  auto [head, body] = splitReply(seen.reply);
  EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << head;
  EXPECT_NE(head.find("Content-Type: image/webp\r\n"), std::string::npos) << head;
  EXPECT_EQ(body, std::string("PAGE\0BYTES", 10));
}

TEST_F(ConnectionTest, GetArrivingInPiecesIsAnsweredWhole) {
  // The request is held up to the end of its header block (or its first
  // 4,096 bytes) before it is answered, however it was cut on the way.
  const std::string longHeader = "X-Padding: " + std::string(6000, 'p') + "\r\n";
  struct Case {
    const char* desc;
    std::vector<std::string> pieces;
  } cases[] = {
      {"request line in two pieces", {"GE", "T /uploads/page.webp HTTP/1.1\r\nHost: a\r\n\r\n"}},
      {"first piece ends before the second space",
       {"GET /uploads/page", ".webp HTTP/1.1\r\nHost: a\r\n\r\n"}},
      {"empty line in a piece of its own",
       {"GET /uploads/page.webp HTTP/1.1\r\nHost: a\r\n", "\r\n"}},
      {"LF-only line ends", {"GET /uploads/page.webp HTTP/1.0\n", "Host: a\n\n"}},
      {"header block of 6 KB: answered on its first 4,096 bytes",
       {"GET /uploads/page.webp HTTP/1.1\r\n" + longHeader + "\r\n"}},
  };
  for (const Case& c : cases) {
    // The client keeps its side open: only a complete head may start the reply.
    Seen seen = serve(c.pieces, /*keepOpen=*/true, /*giveUpMs=*/10000, kShortLimits);
    EXPECT_TRUE(seen.closedByNode) << c.desc;
    auto [head, body] = splitReply(seen.reply);
    EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << c.desc << ": " << head;
    EXPECT_EQ(body, std::string("PAGE\0BYTES", 10)) << c.desc;
  }
}

TEST_F(ConnectionTest, RequestsThatGetNoReply) {
  struct Case {
    const char* desc;
    std::vector<std::string> pieces;
  } cases[] = {
      {"nothing sent", {}},
      {"a single space in the whole request", {"GET /uploads/page.webp\r\n\r\n"}},
      {"lower-case method", {"get /uploads/page.webp HTTP/1.1\r\n\r\n"}},
      {"other method", {"HEAD /uploads/page.webp HTTP/1.1\r\n\r\n"}},
      {"empty method", {" /uploads/page.webp HTTP/1.1\r\n\r\n"}},
      {"form POST without Content-Length",
       {"POST /x HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\nid=12"}},
      {"form POST with Content-Length abc", {formPost("/x", kUrlEncoded, "abc") + "id=12"}},
      {"form POST announcing more than the int range",
       {formPost("/x", kUrlEncoded, "2147483648") + "id=12"}},
      {"form POST whose body stops short", {formPost("/x", kUrlEncoded, "20") + "id=12"}},
      {"JSON POST whose body stops short", {formPost("/x", "application/json", "20") + "{}"}},
  };
  for (const Case& c : cases) {
    Seen seen = serve(c.pieces);
    EXPECT_TRUE(seen.closedByNode) << c.desc;
    EXPECT_EQ(seen.reply, "") << c.desc;
  }
  // The good request after the table: nothing was left behind.
  EXPECT_NE(serve({getRequest("/uploads/page.webp")}).reply, "");
}

TEST_F(ConnectionTest, FormPostIsCompletedByItsContentLength) {
  // A POST outside "v1" with a complete body is answered {"r":404}; one whose
  // body did not arrive whole gets no reply. So a reply shows the body was
  // completed before the handler ran.
  std::string body(10000, 'a');
  struct Case {
    const char* desc;
    std::vector<std::string> pieces;
  } cases[] = {
      {"body in later pieces",
       {formPost("/x", kUrlEncoded, "10000"), body.substr(0, 3000), body.substr(3000, 5000),
        body.substr(8000)}},
      {"header block in two pieces, split before its empty line",
       {"POST /x HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
        "Content-Length: 5\r\n",
        "\r\nid=12"}},
      {"part of the body with the header block",
       {formPost("/x", kUrlEncoded, "10000") + body.substr(0, 100), body.substr(100)}},
      {"multipart type", {formPost("/x", "multipart/form-data; boundary=b", "10000"), body}},
      {"lower-case header names",
       {"POST /x HTTP/1.1\r\ncontent-type: application/x-www-form-urlencoded\r\n"
        "content-length: 10000\r\n\r\n",
        body}},
      {"bytes beyond the announced length", {formPost("/x", kUrlEncoded, "5"), "id=12&more"}},
      {"announced length -1: what the first piece holds",
       {formPost("/x", kUrlEncoded, "-1") + "id=12"}},
  };
  for (const Case& c : cases) {
    Seen seen = serve(c.pieces);
    EXPECT_TRUE(seen.closedByNode) << c.desc;
    auto [head, replyBody] = splitReply(seen.reply);
    EXPECT_EQ(head.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << c.desc << ": " << head;
    EXPECT_EQ(replyBody, kNotFoundBody) << c.desc;
  }
}

TEST_F(ConnectionTest, PostOfAnotherTypeIsAnsweredTheSameHoweverItIsCut) {
  // Its body is received up to its Content-Length as a form's is, so where
  // TCP cuts it does not change the answer.
  const std::string body(10000, 'j');
  struct Case {
    const char* desc;
    std::string head;
    std::string body;
    std::string reply;
  } cases[] = {
      {"JSON", formPost("/v1/like", "application/json", "7"), "{\"a\":1}", kNotFoundBody},
      {"text of 10,000 bytes", formPost("/x", "text/plain", "10000"), body, kNotFoundBody},
      {"no Content-Type", "POST /x HTTP/1.1\r\nContent-Length: 7\r\n\r\n", "{\"a\":1}", ""},
      {"no Content-Length", "POST /x HTTP/1.1\r\nContent-Type: text/plain\r\n\r\n", "{\"a\":1}",
       ""},
  };
  for (const Case& c : cases) {
    const std::vector<std::vector<std::string>> cuts = {
        {c.head + c.body},
        {c.head, c.body},
        {c.head + c.body.substr(0, 3), c.body.substr(3)},
    };
    for (std::size_t cut = 0; cut < cuts.size(); ++cut) {
      Seen seen = serve(cuts[cut]);
      EXPECT_TRUE(seen.closedByNode) << c.desc << ", cut " << cut;
      EXPECT_EQ(splitReply(seen.reply).second, c.reply) << c.desc << ", cut " << cut;
    }
  }
}

TEST_F(ConnectionTest, TotalOfExactly64MiBIsServed) {
  std::string head = formPost("/x", kUrlEncoded, "00000000");
  long long bodyLength = kMaxRequestBytes - static_cast<long long>(head.size());
  std::string lengthText = std::to_string(bodyLength);
  lengthText = std::string(8 - lengthText.size(), '0') + lengthText;
  head = formPost("/x", kUrlEncoded, lengthText);
  ASSERT_EQ(static_cast<long long>(head.size()) + bodyLength, kMaxRequestBytes);
  Seen seen = serve({head, std::string(static_cast<size_t>(bodyLength), 'a')});
  EXPECT_EQ(splitReply(seen.reply).second, kNotFoundBody);
}

TEST_F(ConnectionTest, TotalAbove64MiBIsClosedAtOnce) {
  // The client keeps its side open: only the bound can end the task quickly,
  // long before the receive time-out would.
  for (const char* type : {kUrlEncoded, "text/plain"}) {
    std::string head = formPost("/x", type, std::to_string(kMaxRequestBytes));
    Seen seen = serve({head + "id=12"}, /*keepOpen=*/true, /*giveUpMs=*/kSocketTimeoutMs / 2);
    EXPECT_TRUE(seen.closedByNode) << type << ": still open, the node waited for the body";
    EXPECT_EQ(seen.reply, "") << type;
  }
}

TEST_F(ConnectionTest, StalledBodyIsClosedAfterTheReceiveTimeout) {
  // Announces 100 bytes, sends 5 and then nothing while keeping the
  // connection open: closed without a handler once a receive times out.
  Seen seen = serve({formPost("/x", kUrlEncoded, "100") + "id=12"}, /*keepOpen=*/true,
                    /*giveUpMs=*/kSocketTimeoutMs, kShortLimits);
  EXPECT_TRUE(seen.closedByNode);
  EXPECT_EQ(seen.reply, "");
}

TEST_F(ConnectionTest, TricklingBodyIsClosedAtTheRequestDeadline) {
  // A byte at half the receive time-out never trips it; the deadline counted
  // from the first byte still ends the request long before the announced
  // body is complete.
  LoopOnAPair pair(kShortLimits);
  const int client = pair.client;
  std::string head = formPost("/x", kUrlEncoded, "60");
  send(client, head.data(), head.size(), MSG_NOSIGNAL);
  bool closedByNode = false;
  int sent = 0;
  for (; sent < 60; ++sent) {
    pollfd p{client, POLLIN, 0};
    if (poll(&p, 1, kShortLimits.noProgressMs / 2) == 1) {
      char c;
      closedByNode = recv(client, &c, 1, 0) == 0;
      break;
    }
    send(client, "a", 1, MSG_NOSIGNAL);
  }
  EXPECT_TRUE(closedByNode) << "the node waited for all " << sent << " trickled bytes";
  EXPECT_LT(sent, 60);
}

TEST_F(ConnectionTest, ReaderThatStopsReadingEndsTheReply) {
  // A socket pair buffers far less than this file, so the reply stalls
  // until the no-progress limit ends it and the connection.
  const size_t size = 16 * 1024 * 1024;
  writeFile(dir.file("uploads/big.webp"), std::string(size, 'b'));
  LoopOnAPair pair(kShortLimits);
  std::string request = getRequest("/uploads/big.webp");
  send(pair.client, request.data(), request.size(), MSG_NOSIGNAL);
  // Read nothing until the node has closed its end.
  pollfd p{pair.client, POLLRDHUP, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1) << "the node kept the stalled reply";
  std::string received;
  char buf[65536];
  ssize_t n;
  while ((n = recv(pair.client, buf, sizeof buf, 0)) > 0) {
    received.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(n, 0);
  EXPECT_LT(received.size(), size);
}

}  // namespace
