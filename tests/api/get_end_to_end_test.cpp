// get_end_to_end_test.cpp -- the real node answering GET requests over
// loopback TCP from a prepared working directory.
#include <gtest/gtest.h>
#include <zlib.h>

#include <regex>
#include <string>

#include "storage/database_file.h"
#include "storage/zlib_codec.h"
#include "tests/support/test_support.h"

namespace {

using namespace testsupport;

constexpr const char* kDatabase = R"({
  "news_maxid": 1, "user_maxid": 1, "like_maxid": 1,
  "news": [{"id": 1, "title": "t", "timestamp": 10, "views": 0, "comments": 0, "likes": 1, "user_id": 1, "cover": ""}],
  "news_detail": [{"id": 1, "content": "c", "images": []}],
  "user": [{"id": 1, "user_sid": "s1", "nickname": "ann", "nickname_uptm": 0, "avatar": "uploads/avatar/1.webp", "avatar_uptm": 0, "avatar_hash": ""}],
  "like": [{"id": 1, "news_id": 1, "user_id": 1, "timestamp": 1}]
})";

std::string masked(const std::string& reply) {
  static const std::regex date("Date: [^\r]*\r\n");
  return std::regex_replace(reply, date, "Date: *\r\n", std::regex_constants::format_first_only);
}

std::string expected(int status, const std::string& type, const std::string& body) {
  const char* reason = status == 200 ? "OK" : status == 404 ? "Not Found" : "Unknown";
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\nServer: Ondrix Node Server 0.1.0 \r\nDate: *\r\nContent-Type: " + type +
         "\r\nConnection: close\r\n\r\n" + body;
}

TEST(GetEndToEnd, RoutesAndFilesOverTcp) {
  TempDir dir;
  int port = freePort();
  writeFile(dir.file("config.json"), minimalConfig(port, 600000, "\"admin\": [1]"));
  writeFile(dir.file("data/index.ndb"), compressString(kDatabase, Z_DEFAULT_COMPRESSION));
  writeFile(dir.file("img/icon.png"), "ICON");
  writeFile(dir.file("uploads/avatar/1.webp"), std::string(10000, 'a'));
  NodeProcess node;
  ASSERT_TRUE(startNode(node, dir.path, port));

  const std::string json = "application/json";
  struct {
    const char* path;
    std::string reply;
  } cases[] = {
      {"/v1/news/1", expected(200, json,
                              "{\"id\":1,\"content\":\"c\",\"images\":[],"
                              "\"avatar\":\"uploads/avatar/1.webp\"}")},
      {"/v1/list/1", expected(200, json,
                              "[{\"id\":1,\"title\":\"t\",\"timestamp\":10,\"views\":1,"
                              "\"comments\":0,\"likes\":1,\"cover\":\"\",\"nickname\":\"ann\"}]")},
      {"/v1/isadmin/1/s1", expected(200, json, "{\"r\":1}")},
      {"/v1/islike/1/s1/1", expected(200, json, "{\"r\":1}")},
      {"/v1/connect-test", expected(200, json, "{\"r\":\"ok\"}")},
      {"/v1/list", expected(400, json, "{\"r\":400}")},
      {"/v1/list/x", expected(403, json, "{\"r\":403}")},
      {"/v1/nothing", expected(404, json, "{\"r\":404}")},
      {"/img/icon.png", expected(200, "image/webp", "ICON")},
      {"/uploads/avatar/1.webp", expected(200, "image/webp", std::string(10000, 'a'))},
      {"/config.json", expected(404, json, "{\"r\":404}")},
      {"/data/index.ndb", expected(404, json, "{\"r\":404}")},
      {"/img/../config.json", expected(404, json, "{\"r\":404}")},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(masked(sendRaw(port, getRequest(c.path))), c.reply) << c.path;
  }
  std::string description = sendRaw(port, getRequest("/"));
  EXPECT_NE(description.find("\r\n\r\n{\"ver\":\"v1\",\"name\":\"Test node\","), std::string::npos)
      << description;
  std::string update = sendRaw(port, getRequest("/v1/checkupdate"));
  EXPECT_NE(update.find("\r\n\r\n{\"timestamp\":"), std::string::npos) << update;
  stopNode(node, SIGKILL);
}

}  // namespace
