// response_test.cpp -- header blocks byte for byte, status objects, content
// types, the fixed pages, complete sends and sends deferred to the I/O side.
#include "http/response.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "storage/file_helpers.h"
#include "storage/json_tree.h"
#include "tests/support/test_support.h"

using testsupport::printedJson;

namespace {

// The header block with its Date value replaced by a fixed marker, after
// checking that value's form.
std::string withoutDate(const std::string& header) {
  static const std::regex date(
      "Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
      "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT\r\n");
  std::smatch m;
  EXPECT_TRUE(std::regex_search(header, m, date)) << header;
  if (m.empty()) return header;
  EXPECT_EQ(m.length(0), static_cast<long>(std::string("Date: \r\n").size() + 29));
  return m.prefix().str() + "Date: *\r\n" + m.suffix().str();
}

TEST(BuildResponseHeader, BlocksByteForByte) {
  struct {
    int status;
    const char* type;
    const char* expected;
  } cases[] = {
      {200, "application/json",
       "HTTP/1.1 200 OK\r\nServer: Ondrix Node Server 0.1.0 \r\nDate: *\r\n"
       "Content-Type: application/json\r\nConnection: close\r\n\r\n"},
      {404, "image/webp",
       "HTTP/1.1 404 Not Found\r\nServer: Ondrix Node Server 0.1.0 \r\nDate: *\r\n"
       "Content-Type: image/webp\r\nConnection: close\r\n\r\n"},
      {400, "",
       "HTTP/1.1 400 Unknown\r\nServer: Ondrix Node Server 0.1.0 \r\nDate: *\r\n"
       "Connection: close\r\n\r\n"},
      {403, "application/json",
       "HTTP/1.1 403 Unknown\r\nServer: Ondrix Node Server 0.1.0 \r\nDate: *\r\n"
       "Content-Type: application/json\r\nConnection: close\r\n\r\n"},
      {500, "x",
       "HTTP/1.1 500 Unknown\r\nServer: Ondrix Node Server 0.1.0 \r\nDate: *\r\n"
       "Content-Type: x\r\nConnection: close\r\n\r\n"},
      {-1, "",
       "HTTP/1.1 -1 Unknown\r\nServer: Ondrix Node Server 0.1.0 \r\nDate: *\r\n"
       "Connection: close\r\n\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(withoutDate(buildResponseHeader(c.status, c.type, 12345)), c.expected) << c.status;
  }
}

TEST(BuildResponseHeader, DateIsCurrentUtc) {
  std::time_t before = std::time(nullptr);
  std::string header = buildResponseHeader(200, "", 0);
  std::time_t after = std::time(nullptr);
  size_t at = header.find("Date: ") + 6;
  std::string value = header.substr(at, header.find("\r\n", at) - at);
  auto format = [](std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return std::string(buf);
  };
  EXPECT_TRUE(value == format(before) || value == format(after)) << value;
}

TEST(MakeStatusJson, SetsTypeAndPrintsCode) {
  std::string type = "image/webp";
  JsonTree reply(makeStatusJson(403, type));
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(type, "application/json");
  EXPECT_EQ(printedJson(reply.get()), "{\"r\":403}");
  JsonTree minus(makeStatusJson(-1, type));
  EXPECT_EQ(printedJson(minus.get()), "{\"r\":-1}");
}

TEST(MimeTypeFor, Table) {
  struct {
    const char* name;
    const char* type;
  } cases[] = {
      {"index.html", "text/html; charset=UTF-8"},
      {"a.htm", "text/html; charset=UTF-8"},
      {"a.xhtml", "application/xhtml+xml; charset=UTF-8"},
      {"a.xht", "application/xhtml+xml; charset=UTF-8"},
      {"p.jpg", "image/jpeg"},
      {"p.jpeg", "image/jpeg"},
      {"p.gif", "image/gif"},
      {"p.png", "image/png"},
      {"s.css", "text/css"},
      {"s.js", "text/javascript"},
      {"d.xml", "text/xml; charset=UTF-8"},
      {"d.xsl", "text/xml; charset=UTF-8"},
      {"s.au", "audio/basic"},
      {"s.wav", "audio/wav"},
      {"v.avi", "video/x-msvideo"},
      {"v.mov", "video/quicktime"},
      {"v.qt", "video/quicktime"},
      {"v.mpeg", "video/mpeg"},
      {"v.mpe", "video/mpeg"},
      {"w.vrml", "model/vrml"},
      {"w.wrl", "model/vrml"},
      {"m.midi", "audio/midi"},
      {"m.mid", "audio/midi"},
      {"m.mp3", "audio/mpeg"},
      {"m.ogg", "application/ogg"},
      {"p.pac", "application/x-ns-proxy-autoconfig"},
      {"d.json", "application/json"},
      {"P.JPG", "text/plain; charset=UTF-8"},
      {"a.b/c", "text/plain; charset=UTF-8"},
      {"x.tar.gz", "text/plain; charset=UTF-8"},
      {"noext", "text/plain; charset=UTF-8"},
      {"", "text/plain; charset=UTF-8"},
      {"a.jpgx", "text/plain; charset=UTF-8"},
      {"dir.png/img.jpg", "image/jpeg"},
  };
  for (const auto& c : cases) EXPECT_STREQ(mimeTypeFor(c.name), c.type) << c.name;
}

TEST(FixedPages, HelloAndNotFound) {
  std::string hello = helloWorldPage();
  EXPECT_EQ(hello.size(), 191u);
  EXPECT_EQ(hello,
            "<!DOCTYPE html>\t<html>\t\t<head>\t\t\t<meta http-equiv=\"Content-Type\" "
            "content=\"text/html; charset=utf-8\" />\t\t\t<title>Hello World!</title>\t\t</head>"
            "\t\t<body>\t\t\t<h1>Hello World! </h1>\t\t</body>\t</html>");
  std::string page = notFoundPage();
  std::regex shape(
      "<!DOCTYPE html>\t\t<html>\t\t\t\t<head>\t\t<meta charset=\"UTF-8\">\t\t"
      "<title>404 Not Found</title>\t\t</head>\t\t\t\t<body>\t\t<h1>404 Not Found</h1>"
      "<br><br>Ondrix Node Server v0\\.1\\.0 by <a href=\"([^\"]+)\" "
      "target=\"_blank\">Ondrix</a>\t\t</body>\t\t</html>\t\t");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(page, m, shape)) << page;
  // The template is 181 bytes with its six placeholders of two bytes each.
  size_t filled = 2 * 13 + 18 + 5 + m.length(1) + 6;
  EXPECT_EQ(page.size(), 181 - 12 + filled);
}

TEST(SendReply, HeaderThenWholeBody) {
  std::string body(300000, 'x');  // far larger than a socket buffer
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
  const std::string before = buildResponseHeader(200, "image/webp", 0);
  std::string reply = testsupport::captureReply(
      [&](int socket) { EXPECT_TRUE(sendReply(socket, 200, "image/webp", body)); });
  const std::string after = buildResponseHeader(200, "image/webp", 0);
  auto [header, received] = testsupport::splitReply(reply);
  EXPECT_TRUE(header == before || header == after) << header;
  EXPECT_EQ(received, body);
}

TEST(SendJsonReply, PrintsUnformatted) {
  JsonTree tree(cJSON_Parse("{ \"a\" : [1, 2], \"b\": \"c\" }"));
  std::string reply =
      testsupport::captureReply([&](int socket) { sendJsonReply(socket, 200, tree.get()); });
  auto [header, body] = testsupport::splitReply(reply);
  EXPECT_NE(header.find("Content-Type: application/json\r\n"), std::string::npos);
  EXPECT_EQ(body, "{\"a\":[1,2],\"b\":\"c\"}");
  // No tree to print: the reply is the not-found object.
  reply = testsupport::captureReply([&](int socket) { sendJsonReply(socket, 200, nullptr); });
  EXPECT_EQ(reply.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
  EXPECT_EQ(testsupport::splitReply(reply).second, "{\"r\":404}");
}

TEST(SendAll, PeerGoneFailsWithoutSignal) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  close(sv[1]);
  // Without MSG_NOSIGNAL this would end the test program with SIGPIPE.
  EXPECT_FALSE(sendAll(sv[0], std::string(100000, 'x')));
  EXPECT_FALSE(sendReply(sv[0], 200, "application/json", "{}"));
  close(sv[0]);
}

}  // namespace

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
