// hostile_input_test.cpp -- the catalogue of hostile requests, sent to the
// real node one after another as one table. For each: the node stays up,
// gives the documented reply or closes the connection without one, and the
// next good request succeeds; at the end the saved database has lost nothing
// and holds no change that a refused request could have made.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "storage/database.h"
#include "storage/database_file.h"
#include "storage/zlib_codec.h"
#include "tests/robustness/robustness_support.h"
#include "tests/support/test_support.h"

using robustness::bodyOf;
using robustness::ExchangeOptions;
using robustness::formRequest;
using robustness::processAlive;
using robustness::requestReply;
using robustness::savedDatabaseText;
using robustness::statusOf;
using testsupport::freePort;
using testsupport::getRequest;
using testsupport::minimalConfig;
using testsupport::multipartBody;
using testsupport::MultipartField;
using testsupport::multipartRequest;
using testsupport::NodeProcess;
using testsupport::postRequest;
using testsupport::seedDatabaseText;
using testsupport::startNode;
using testsupport::stopNode;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

constexpr int kNoSaveDuringTheTestMs = 100000000;
constexpr size_t kMiB = 1024 * 1024;

// User 1 is the administrator (sid-admin), user 2 an ordinary user
// (sid-user, avatar hash h-user); news 1 has never been viewed; no likes.
const std::string kDatabase = seedDatabaseText({{"sid-admin", "Admin", "", "h-admin"},
                                                 {"sid-user", "User", "", "h-user"}});

// A URL-encoded POST whose Content-Length line is given as written.
std::string formWithLength(const std::string& path, const std::string& lengthLine,
                           const std::string& body) {
  return "POST " + path + " HTTP/1.1\r\nHost: x\r\n" + lengthLine +
         "Content-Type: application/x-www-form-urlencoded\r\n\r\n" + body;
}

std::string manyFields(int count) {
  std::string body;
  for (int i = 0; i < count; ++i) body += "field" + std::to_string(i) + "=v&";
  return body;
}

std::vector<MultipartField> manyParts(int count) {
  std::vector<MultipartField> parts;
  for (int i = 0; i < count; ++i) parts.push_back({"field" + std::to_string(i), "v", ""});
  parts.push_back({"uid", "2", ""});
  return parts;
}

const std::string kNoReply = "(no reply)";

struct Row {
  std::string desc;
  std::string request;
  std::string reply;  // the expected body, or kNoReply
  int status;         // the expected status (when there is a reply)
  ExchangeOptions options;
};

std::vector<Row> catalogue(const std::string& dir) {
  const std::string longBoundary(1000, 'b');
  const std::string unclosed =
      multipartBody({{"uid", "2", ""}, {"sid", "sid-user", ""}}, "B", false);
  ExchangeOptions hangUp;
  hangUp.hangUpAfter = 1000;
  std::vector<Row> rows = {
      {"no request: connect and close", "", kNoReply, 0, {}},
      {"no request line: blank lines only", "\r\n\r\n", kNoReply, 0, {}},
      {"a request line with one space", "GET /v1/connect-test\r\n\r\n", kNoReply, 0, {}},
      {"a request line of 1 MiB",
       "GET /" + std::string(kMiB, 'a') + " HTTP/1.1\r\n\r\n",
       kNoReply,
       0,
       {}},
      {"a lower-case method", "get /v1/connect-test HTTP/1.1\r\n\r\n", kNoReply, 0, {}},
      {"a NUL byte in an API path",
       getRequest(std::string("/v1/connect\0-test", 17)),
       "{\"r\":404}",
       404,
       {}},
      {"a NUL byte after a served file name",
       getRequest(std::string("/img/icon.png\0.txt", 18)),
       "{\"r\":404}",
       404,
       {}},
      {"dot-dot out of the working directory",
       getRequest("/../config.json"),
       "{\"r\":404}",
       404,
       {}},
      {"dot-dot from img/ to config.json",
       getRequest("/img/../config.json"),
       "{\"r\":404}",
       404,
       {}},
      {"dot-dot from uploads/ to the database",
       getRequest("/uploads/../data/index.ndb"),
       "{\"r\":404}",
       404,
       {}},
      {"config.json named directly", getRequest("/config.json"), "{\"r\":404}", 404, {}},
      {"an absolute path", getRequest("//etc/passwd"), "{\"r\":404}", 404, {}},
      {"an absolute path to the node's own config",
       getRequest("/" + dir + "/config.json"),
       "{\"r\":404}",
       404,
       {}},
      {"percent-encoded dot-dot", getRequest("/%2e%2e/config.json"), "{\"r\":404}", 404, {}},
      {"percent-encoded dot-dot and slash under img/",
       getRequest("/img/%2E%2E%2Fconfig.json"),
       "{\"r\":404}",
       404,
       {}},
      // A negative length counts everything after the blank line as body.
      {"Content-Length negative",
       formWithLength("/v1/like", "Content-Length: -5\r\n", "id=999&uid=2&sid=sid-user"),
       "{\"r\":404}",
       404,
       {}},
      {"Content-Length absent",
       formWithLength("/v1/like", "", "id=1&uid=2&sid=sid-user"),
       kNoReply,
       0,
       {}},
      {"Content-Length not a number",
       formWithLength("/v1/like", "Content-Length: abc\r\n", "id=1&uid=2&sid=sid-user"),
       kNoReply,
       0,
       {}},
      {"Content-Length above 2^31",
       formWithLength("/v1/like", "Content-Length: 2147483648\r\n", "id=1&uid=2&sid=sid-user"),
       kNoReply,
       0,
       {}},
      {"Content-Length above the 64 MiB bound",
       formWithLength("/v1/like", "Content-Length: 67108865\r\n", "id=1&uid=2&sid=sid-user"),
       kNoReply,
       0,
       {}},
      {"a body shorter than announced",
       formWithLength("/v1/like", "Content-Length: 100\r\n", "id=1&uid=2&sid=sid-user"),
       kNoReply,
       0,
       {}},
      // Only parts followed by a delimiter count: the session id part is
      // dropped, so user 2 is not accepted.
      {"a multipart body without its close delimiter",
       postRequest("/v1/signin", "multipart/form-data; boundary=B", unclosed),
       "{\"id\":0}",
       200,
       {}},
      {"a boundary longer than the body",
       postRequest("/v1/signin", "multipart/form-data; boundary=" + longBoundary,
                   multipartBody({{"uid", "2", ""}, {"sid", "sid-user", ""}}, "short")),
       "{\"id\":0}",
       200,
       {}},
      {"10,000 URL-encoded fields",
       formRequest("/v1/postnickname", manyFields(10000) + "uid=2&sid=wrong&nickname=x"),
       "{\"id\":0}",
       200,
       {}},
      {"10,000 multipart parts",
       multipartRequest("/v1/signin", manyParts(10000)),
       "{\"id\":0}",
       200,
       {}},
      {"a session id with NUL and CR in the path",
       getRequest(std::string("/v1/isadmin/1/sid-admin\0\r", 25)),
       "{\"r\":0}",
       200,
       {}},
      {"a session id with encoded NUL and CR in a form",
       formRequest("/v1/postnickname", "uid=2&sid=sid-user%00%0D&nickname=x"),
       "{\"id\":0}",
       200,
       {}},
      // Header names are matched ignoring case.
      {"header names in odd case",
       "POST /v1/like HTTP/1.1\r\ncontent-type: application/x-www-form-urlencoded\r\n"
       "CONTENT-LENGTH: 6\r\n\r\nid=999",
       "{\"r\":404}",
       404,
       {}},
      // One request per connection: the second is never served (news 1 keeps
      // 0 views, checked at the end).
      {"pipelined requests on one connection",
       getRequest("/v1/connect-test") + getRequest("/v1/news/1") + getRequest("/v1/news/1"),
       "{\"r\":\"ok\"}",
       200,
       {}},
      {"a client that closes mid-reply", getRequest("/uploads/big.webp"), "", 200, hangUp},
      // Fields anyone may send are bounded: nothing of these is kept.
      {"a nickname of 1 MiB",
       formRequest("/v1/postnickname", "uid=2&sid=sid-user&nickname=" + std::string(kMiB, 'n')),
       "{\"r\":0}",
       200,
       {}},
      {"a new user with a nickname of 8 MiB",
       multipartRequest("/v1/signin", {{"uid", "0", ""},
                                       {"sid", "sid-new", ""},
                                       {"nickname", std::string(8 * kMiB, 'n'), ""}}),
       "{\"id\":0}",
       200,
       {}},
      {"a new user with a session id of 1 KiB and a byte",
       multipartRequest("/v1/signin", {{"uid", "0", ""}, {"sid", std::string(1025, 's'), ""}}),
       "{\"id\":0}",
       200,
       {}},
      // A refused postnews uses no news id (news_maxid is checked at the end).
      {"postnews by a user who is no administrator",
       multipartRequest(
           "/v1/postnews",
           {{"uid", "2", ""}, {"sid", "sid-user", ""}, {"id", "0", ""}, {"title", "t", ""}}),
       "{\"r\":403}",
       403,
       {}},
      {"postnews with the administrator's id and a wrong session",
       multipartRequest(
           "/v1/postnews",
           {{"uid", "1", ""}, {"sid", "sid-user", ""}, {"id", "0", ""}, {"title", "t", ""}}),
       "{\"r\":404}",
       404,
       {}},
      // The one change the catalogue makes: the longest nickname kept, 1 KiB.
      {"a nickname of 1 KiB",
       formRequest("/v1/postnickname", "uid=2&sid=sid-user&nickname=" + std::string(1024, 'n')),
       "{\"r\":1}",
       200,
       {}},
  };
  return rows;
}

}  // namespace

TEST(HostileInput, CatalogueAgainstTheRealNode) {
  TempDir dir;
  const int port = freePort();
  writeFile(dir.file("config.json"), minimalConfig(port, kNoSaveDuringTheTestMs, "\"admin\": [1]"));
  writeFile(dir.file("data/index.ndb"), compressString(kDatabase, -1));
  writeFile(dir.file("img/icon.png"), "icon");
  writeFile(dir.file("uploads/big.webp"), std::string(4 * kMiB, 'w'));
  NodeProcess node;
  ASSERT_TRUE(startNode(node, dir.path, port)) << node.outSoFar;

  const std::vector<Row> rows = catalogue(dir.path);
  for (const Row& row : rows) {
    const std::string reply = requestReply(port, row.request, row.options);
    if (row.reply == kNoReply) {
      EXPECT_EQ(reply, "") << row.desc;
    } else {
      EXPECT_EQ(statusOf(reply), row.status) << row.desc << ": " << reply.substr(0, 200);
      if (row.options.hangUpAfter == 0) {
        EXPECT_EQ(bodyOf(reply), row.reply) << row.desc;
      }
      EXPECT_EQ(reply.find("HTTP/1.1", 1), std::string::npos) << row.desc << ": two replies";
    }
    ASSERT_TRUE(processAlive(node.pid)) << row.desc << ": the node is gone";
    EXPECT_EQ(bodyOf(requestReply(port, getRequest("/v1/connect-test"))), "{\"r\":\"ok\"}")
        << "the good request after: " << row.desc;
  }
  std::printf("hostile-input catalogue: %zu rows\n", rows.size());

  // The orderly stop saves; nothing was lost and nothing refused took effect.
  ASSERT_EQ(stopNode(node, SIGTERM), 0);
  ASSERT_TRUE(adoptDatabaseText(savedDatabaseText(dir.file("data/index.ndb"))));
  ASSERT_EQ(cJSON_GetArraySize(userArray), 2);
  ASSERT_EQ(cJSON_GetArraySize(newsArray), 1);
  EXPECT_EQ(cJSON_GetArraySize(likeArray), 0);
  EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetArrayItem(newsArray, 0), "views")->valueint, 0);
  const cJSON* user2 = cJSON_GetArrayItem(userArray, 1);
  EXPECT_EQ(std::string(cJSON_GetObjectItem(user2, "nickname")->valuestring),
            std::string(1024, 'n'));
  EXPECT_EQ(user_maxid, 2) << "a refused signin used an id";
  EXPECT_EQ(news_maxid, 1) << "a refused postnews used an id";
  EXPECT_STREQ(cJSON_GetObjectItem(user2, "user_sid")->valuestring, "sid-user");
  EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetArrayItem(userArray, 0), "nickname")->valuestring,
               "Admin");
}
