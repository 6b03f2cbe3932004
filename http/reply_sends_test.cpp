// reply_sends_test.cpp -- complete sends of a reply.
#include "http/reply_sends.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "http/reply_text.h"
#include "storage/json_tree.h"
#include "tests/support/test_support.h"

namespace {

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
