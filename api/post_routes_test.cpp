// post_routes_test.cpp -- every POST action and refusal through handlePost
// over a socket pair, with whole request texts, against a fixture database
// in a temporary working directory: replies, records (member order
// included), counters and upload files.
#include "api/post_routes.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "api/form_fields.h"
#include "api/get_routes.h"
#include "api/uploads.h"
#include "storage/database.h"
#include "storage/database_file.h"
#include "storage/json_tree.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::kMultipartBoundary;
using testsupport::multipartBody;
using testsupport::MultipartField;
using testsupport::multipartRequest;
using testsupport::pathExists;
using testsupport::postRequest;
using testsupport::printedJson;
using testsupport::readFile;
using testsupport::writeFile;

// Users: 1 and 4 are administrators; user 3 has an avatar on disk.
// News 2 has two images on disk, news 3 none.
constexpr const char* kDatabase = R"({
  "news_maxid": 3, "user_maxid": 4, "like_maxid": 0,
  "news": [
    {"id": 2, "title": "two", "timestamp": 100, "views": 5, "comments": 0, "likes": 0, "user_id": 1, "cover": "uploads/img/2023/1/2/2/01000.webp"},
    {"id": 3, "title": "three", "timestamp": 200, "views": 0, "comments": 0, "likes": 0, "user_id": 1, "cover": ""}
  ],
  "news_detail": [
    {"id": 2, "content": "c2", "images": ["uploads/img/2023/1/2/2/01000.webp", "uploads/img/2023/1/2/2/11000.webp"]},
    {"id": 3, "content": "c3", "images": []}
  ],
  "user": [
    {"id": 1, "user_sid": "s1", "nickname": "ann", "nickname_uptm": 0, "avatar": "", "avatar_uptm": 0, "avatar_hash": "h1"},
    {"id": 2, "user_sid": "s2", "nickname": "bob", "nickname_uptm": 0, "avatar": "", "avatar_uptm": 0, "avatar_hash": ""},
    {"id": 3, "user_sid": "s3", "nickname": "cy", "nickname_uptm": 0, "avatar": "uploads/avatar/2023/1/2/31000.webp", "avatar_uptm": 0, "avatar_hash": "h3"},
    {"id": 4, "user_sid": "", "nickname": "dee", "nickname_uptm": 0, "avatar": "", "avatar_uptm": 0, "avatar_hash": ""}
  ],
  "like": []
})";

std::string formRequest(const std::string& path, const std::string& body) {
  return postRequest(path, "application/x-www-form-urlencoded", body);
}

struct Reply {
  bool sent = false;
  int status = 0;
  std::string header;
  std::string body;
};

Reply post(const std::string& path, const std::string& text) {
  std::string raw = testsupport::captureReply([&](int fd) { handlePost(fd, path, text); });
  Reply r;
  if (raw.empty()) return r;
  r.sent = true;
  auto [header, body] = testsupport::splitReply(raw);
  r.header = header;
  r.body = body;
  r.status = std::stoi(header.substr(9, 3));
  return r;
}

cJSON* user(int index) { return cJSON_GetArrayItem(userArray, index); }
std::string text(const cJSON* record, const char* key) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(record, key);
  return cJSON_IsString(item) ? item->valuestring : "<none>";
}
double number(const cJSON* record, const char* key) {
  return cJSON_GetObjectItemCaseSensitive(record, key)->valuedouble;
}
std::string keys(const cJSON* record) {
  std::string out;
  const cJSON* item = nullptr;
  cJSON_ArrayForEach(item, record) out += std::string(out.empty() ? "" : ",") + item->string;
  return out;
}

const std::string kOld0 = "uploads/img/2023/1/2/2/01000.webp";
const std::string kOld1 = "uploads/img/2023/1/2/2/11000.webp";
const std::string kOldAvatar = "uploads/avatar/2023/1/2/31000.webp";

class PostRoutesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testsupport::useConfiguration(
        testsupport::minimalConfig(8080, 10000, "\"admin\": [1, 4]")));
    ASSERT_TRUE(adoptDatabaseText(kDatabase));
    writeFile(dir.file(kOld0), "old image 0");
    writeFile(dir.file(kOld1), "old image 1");
    writeFile(dir.file(kOldAvatar), "old avatar");
    writeFile(dir.file("config.json"), "{}");
    chdir = std::make_unique<testsupport::ScopedChdir>(dir.path);
  }
  void TearDown() override { chdir.reset(); }

  // One save of the database, after which the files that the changes up to
  // it stopped naming are removed.
  void save() {
    ASSERT_TRUE(testsupport::runCommand("mkdir -p data") == "");
    ASSERT_TRUE(saveDatabaseNow(kDatabasePath));
  }

  testsupport::TempDir dir;
  std::unique_ptr<testsupport::ScopedChdir> chdir;
};

// ---- dispatch ----

TEST_F(PostRoutesTest, RefusalsWithoutReplyAndWith404) {
  const std::string signinBody = multipartBody({{"uid", "0"}, {"sid", "new"}});
  const std::string mp = std::string("multipart/form-data; boundary=") + kMultipartBoundary;
  struct {
    const char* desc;
    std::string path;
    std::string text;
    int status;  // 0: no reply
  } cases[] = {
      {"no Content-Type", "/v1/like", "POST /v1/like HTTP/1.1\r\nContent-Length: 4\r\n\r\nid=2", 0},
      {"no Content-Length", "/v1/like",
       "POST /v1/like HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\nid=2", 0},
      {"body shorter than announced", "/v1/like",
       "POST /v1/like HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
       "Content-Length: 9\r\n\r\nid=2",
       0},
      {"length beyond int", "/v1/like",
       "POST /v1/like HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
       "Content-Length: 99999999999\r\n\r\nid=2",
       0},
      {"body is the text failed", "/v1/like", formRequest("/v1/like", "failed"), 0},
      {"root path", "/", formRequest("/", "id=2"), 404},
      {"V1 in other case", "/V1/signin", postRequest("/V1/signin", mp, signinBody), 404},
      {"other api root", "/api/signin", postRequest("/api/signin", mp, signinBody), 404},
      {"no action segment", "/v1", postRequest("/v1", mp, signinBody), 0},
      {"query in the action", "/v1/signin?x=1", postRequest("/v1/signin?x=1", mp, signinBody), 0},
      {"multipart without boundary", "/v1/signin",
       postRequest("/v1/signin", "multipart/form-data", signinBody), 0},
      {"boundary failed", "/v1/signin",
       postRequest("/v1/signin", "multipart/form-data; boundary=failed",
                   multipartBody({{"uid", "0"}})),
       0},
      {"type in other case", "/v1/signin",
       postRequest("/v1/signin", std::string("Multipart/Form-Data; boundary=") + kMultipartBoundary,
                   signinBody),
       404},
      {"text/plain", "/v1/like", postRequest("/v1/like", "text/plain", "id=2"), 404},
      {"signin as a form", "/v1/signin", formRequest("/v1/signin", "uid=0&sid=x"), 0},
      {"like as multipart", "/v1/like", postRequest("/v1/like", mp, multipartBody({{"id", "2"}})),
       0},
      {"unknown action", "/v1/postx", formRequest("/v1/postx", "id=2"), 0},
      {"nickname uid not a number", "/v1/postnickname",
       formRequest("/v1/postnickname", "uid=abc&sid=s1&nickname=x"), 0},
      {"delnews id not a number", "/v1/delnews", formRequest("/v1/delnews", "uid=1&sid=s1&id="), 0},
      {"signin uid beyond int", "/v1/signin",
       multipartRequest("/v1/signin", {{"uid", "2147483648"}, {"sid", "s1"}}), 0},
      {"postavatar uid not a number", "/v1/postavatar",
       multipartRequest("/v1/postavatar",
                        {{"uid", "x"}, {"sid", "s3"}, {"avatar", "A", "a", true}, {"hash", "h"}}),
       0},
      {"charset after the form type", "/v1/like",
       postRequest("/v1/like", "application/x-www-form-urlencoded; charset=UTF-8",
                   "id=99&uid=1&sid=s1"),
       404},
      {"segments after the action", "/v1/signin/extra",
       postRequest("/v1/signin/extra", mp, multipartBody({{"uid", "1"}, {"sid", "s1"}})), 200},
  };
  for (const auto& c : cases) {
    Reply r = post(c.path, c.text);
    EXPECT_EQ(r.sent, c.status != 0) << c.desc;
    EXPECT_EQ(r.status, c.status) << c.desc;
  }
  EXPECT_EQ(user_maxid, 4);  // nothing above created a user
  EXPECT_EQ(cJSON_GetArraySize(userArray), 4);
}

// A form of more parts or fields than the node reads is closed without a
// reply before it is parsed; one at the bound is answered as usual.
TEST_F(PostRoutesTest, FormsBeyondThePartBoundGetNoReply) {
  const size_t kBound = 65536;
  auto parts = [](size_t count) {
    std::vector<MultipartField> many;
    for (size_t i = 0; i + 1 < count; ++i) many.push_back({"f", ""});
    many.push_back({"uid", "1"});
    return many;
  };
  auto fields = [](size_t count) {
    std::string body;
    for (size_t i = 0; i + 1 < count; ++i) body += "f=&";
    return body + "uid=1";
  };
  struct {
    const char* desc;
    std::string path;
    std::string text;
    bool answered;
  } cases[] = {
      {"multipart at the bound", "/v1/signin", multipartRequest("/v1/signin", parts(kBound)), true},
      {"multipart above it", "/v1/signin", multipartRequest("/v1/signin", parts(kBound + 1)),
       false},
      {"fields at the bound", "/v1/postnickname", formRequest("/v1/postnickname", fields(kBound)),
       true},
      {"fields above it", "/v1/postnickname", formRequest("/v1/postnickname", fields(kBound + 1)),
       false},
      {"a small form after them", "/v1/postnickname",
       formRequest("/v1/postnickname", "uid=1&sid=wrong&nickname=x"), true},
  };
  for (const auto& c : cases) EXPECT_EQ(post(c.path, c.text).sent, c.answered) << c.desc;
}

TEST_F(PostRoutesTest, AnsweredRepliesAreJsonWithTheirStatus) {
  Reply r = post("/", formRequest("/", "a=b"));
  ASSERT_TRUE(r.sent);
  EXPECT_EQ(r.header.substr(0, r.header.find("\r\n")), "HTTP/1.1 404 Not Found");
  EXPECT_NE(r.header.find("\r\nContent-Type: application/json\r\n"), std::string::npos);
  EXPECT_EQ(r.body, "{\"r\":404}");

  // Header names in another case are found too.
  std::string lower =
      "POST /v1/like HTTP/1.1\r\ncontent-type: application/x-www-form-urlencoded\r\n"
      "content-length: 4\r\n\r\nid=9";
  r = post("/v1/like", lower);
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, "{\"r\":404}");
}

// ---- signin ----

TEST_F(PostRoutesTest, SigninFindsAcceptsRefusesOrCreates) {
  struct {
    const char* desc;
    std::vector<MultipartField> parts;
    std::string reply;
    int userMaxId;  // after the request
  } cases[] = {
      {"no parts", {}, "{\"id\":0}", 4},
      {"no uid", {{"sid", "s1"}}, "{\"id\":0}", 4},
      {"negative uid", {{"uid", "-1"}, {"sid", "s1"}}, "{\"id\":0}", 4},
      {"uid 0 finds by session", {{"uid", "0"}, {"sid", "s2\r\n"}}, "{\"id\":2}", 4},
      {"uid 0 without sid finds the empty session", {{"uid", "0"}}, "{\"id\":4}", 4},
      {"known uid, right sid", {{"uid", "3"}, {"sid", "s3"}}, "{\"id\":3}", 4},
      {"known uid, wrong sid, right hash",
       {{"uid", "1"}, {"sid", "x"}, {"hash", "h1"}},
       "{\"id\":1}",
       4},
      {"known uid, neither", {{"uid", "1"}, {"sid", "x"}, {"hash", "h3"}}, "{\"id\":0}", 4},
      {"empty stored hash, no hash part", {{"uid", "2"}, {"sid", "x"}}, "{\"id\":2}", 4},
      {"unknown uid creates the next id", {{"uid", "9"}, {"sid", "n9"}}, "{\"id\":5}", 5},
      {"unknown session creates",
       {{"uid", "0"}, {"sid", "fresh"}, {"nickname", "Fred \r\n\r\n"}},
       "{\"id\":6}",
       6},
      {"same session again", {{"uid", "0"}, {"sid", "fresh"}}, "{\"id\":6}", 6},
  };
  for (const auto& c : cases) {
    Reply r = post("/v1/signin", multipartRequest("/v1/signin", c.parts));
    EXPECT_EQ(r.status, 200) << c.desc;
    EXPECT_EQ(r.body, c.reply) << c.desc;
    EXPECT_EQ(user_maxid, c.userMaxId) << c.desc;
  }
  ASSERT_EQ(cJSON_GetArraySize(userArray), 6);
  EXPECT_EQ(printedJson(user(5)),
            "{\"id\":6,\"user_sid\":\"fresh\",\"nickname\":\"Fred\",\"nickname_uptm\":0,"
            "\"avatar\":\"\",\"avatar_uptm\":0,\"avatar_hash\":\"\"}");
  EXPECT_EQ(text(user(4), "user_sid"), "n9");
}

TEST_F(PostRoutesTest, SigninStoresTheAvatarOnlyWithAHash) {
  const std::string bytes("RIFF\x00\x01\r\n \t\r\n", 12);
  Reply r = post(
      "/v1/signin",
      multipartRequest("/v1/signin",
                       {{"uid", "0"}, {"sid", "a"}, {"avatar", bytes, "a.webp"}, {"hash", "hh"}}));
  EXPECT_EQ(r.body, "{\"id\":5}");
  const std::string avatar = text(user(4), "avatar");
  const DateParts d = toDateParts(std::time(nullptr));
  const std::string dated = "uploads/avatar/" + std::to_string(d.year) + "/" +
                            std::to_string(d.month) + "/" + std::to_string(d.day) + "/5";
  EXPECT_EQ(avatar.substr(0, dated.size()), dated) << avatar;
  EXPECT_EQ(avatar.substr(avatar.size() - 5), ".webp");
  EXPECT_EQ(readFile(avatar), bytes);  // stored exactly as sent
  EXPECT_EQ(text(user(4), "avatar_hash"), "hh");

  r = post("/v1/signin",
           multipartRequest("/v1/signin", {{"uid", "0"}, {"sid", "b"}, {"avatar", "x", "a.webp"}}));
  EXPECT_EQ(r.body, "{\"id\":6}");
  EXPECT_EQ(text(user(5), "avatar"), "");
  EXPECT_EQ(text(user(5), "avatar_hash"), "");
  r = post("/v1/signin",
           multipartRequest("/v1/signin", {{"uid", "0"}, {"sid", "c"}, {"hash", "only"}}));
  EXPECT_EQ(r.body, "{\"id\":7}");
  EXPECT_EQ(text(user(6), "avatar"), "");
  EXPECT_EQ(text(user(6), "avatar_hash"), "only");
}

TEST_F(PostRoutesTest, SigninFailures) {
  // The avatar file cannot be created: a regular file stands where uploads/ should be.
  std::filesystem::remove_all("uploads");
  writeFile("uploads", "not a directory");
  Reply r = post(
      "/v1/signin",
      multipartRequest("/v1/signin",
                       {{"uid", "0"}, {"sid", "a"}, {"avatar", "x", "a.webp"}, {"hash", "h"}}));
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.body, "{\"r\":500}");
  EXPECT_EQ(user_maxid, 5);  // raised all the same
  EXPECT_EQ(cJSON_GetArraySize(userArray), 4);

  // No user id left.
  user_maxid = 2147483647;
  r = post("/v1/signin", multipartRequest("/v1/signin", {{"uid", "0"}, {"sid", "b"}}));
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.body, "{\"r\":500}");
  EXPECT_EQ(cJSON_GetArraySize(userArray), 4);
}

// ---- postavatar ----

TEST_F(PostRoutesTest, PostavatarReplacesTheFileAndCleansTheOldDirectories) {
  const std::string bytes("\x00webp\r\n\r\n", 9);
  struct {
    const char* desc;
    std::vector<MultipartField> parts;
    std::string reply;
  } refused[] = {
      {"no parts", {}, "{\"r\":0}"},
      {"no hash part", {{"uid", "3"}, {"sid", "s3"}, {"avatar", "x", "a"}}, "{\"r\":0}"},
      {"no avatar part", {{"uid", "3"}, {"sid", "s3"}, {"hash", "h"}}, "{\"r\":0}"},
      {"uid 0", {{"uid", "0"}, {"sid", "s3"}, {"avatar", "x", "a"}, {"hash", "h"}}, "{\"id\":0}"},
      {"no such user",
       {{"uid", "8"}, {"sid", "s3"}, {"avatar", "x", "a"}, {"hash", "h"}},
       "{\"r\":0}"},
      {"hash is no credential",
       {{"uid", "3"}, {"sid", "x"}, {"avatar", "x", "a"}, {"hash", "h3"}},
       "{\"id\":0}"},
      {"session differs in length",
       {{"uid", "3"}, {"sid", "s3 x"}, {"avatar", "x", "a"}, {"hash", "h"}},
       "{\"id\":0}"},
  };
  for (const auto& c : refused) {
    Reply r = post("/v1/postavatar", multipartRequest("/v1/postavatar", c.parts));
    EXPECT_EQ(r.body, c.reply) << c.desc;
  }
  EXPECT_EQ(text(user(2), "avatar"), kOldAvatar);
  EXPECT_TRUE(pathExists(kOldAvatar));

  Reply r =
      post("/v1/postavatar",
           multipartRequest(
               "/v1/postavatar",
               {{"uid", "3"}, {"sid", "s3\r\n"}, {"avatar", bytes, "a.webp"}, {"hash", "h9"}}));
  EXPECT_EQ(r.body, "{\"r\":1}");
  const std::string avatar = text(user(2), "avatar");
  EXPECT_NE(avatar, kOldAvatar);
  EXPECT_EQ(readFile(avatar), bytes);
  EXPECT_EQ(text(user(2), "avatar_hash"), "h9");
  EXPECT_GT(number(user(2), "avatar_uptm"), 1e9);
  EXPECT_EQ(keys(user(2)), "id,user_sid,nickname,nickname_uptm,avatar,avatar_uptm,avatar_hash");
  EXPECT_EQ(readFile(kOldAvatar), "old avatar") << "removed before a save without it";
  save();
  EXPECT_FALSE(pathExists(kOldAvatar));
  EXPECT_FALSE(pathExists("uploads/avatar/2023"));
  EXPECT_TRUE(pathExists("uploads/avatar"));

  // Too early for another change.
  r = post(
      "/v1/postavatar",
      multipartRequest("/v1/postavatar",
                       {{"uid", "3"}, {"sid", "s3"}, {"avatar", "y", "a.webp"}, {"hash", "h10"}}));
  EXPECT_EQ(r.body, "{\"r\":0}");
  EXPECT_EQ(text(user(2), "avatar"), avatar);
}

TEST_F(PostRoutesTest, PostavatarNeverRemovesOutsideTheUploads) {
  writeFile("precious.txt", "keep");
  cJSON_ReplaceItemInObject(user(2), "avatar",
                            cJSON_CreateString("uploads/avatar/../../precious.txt"));
  Reply r = post(
      "/v1/postavatar",
      multipartRequest("/v1/postavatar",
                       {{"uid", "3"}, {"sid", "s3"}, {"avatar", "n", "a.webp"}, {"hash", "h"}}));
  EXPECT_EQ(r.body, "{\"r\":1}");
  EXPECT_EQ(readFile("precious.txt"), "keep");
}

// A signin with an avatar and a postavatar in the same second store the
// same path: the replacement keeps the file it has just written there.
TEST_F(PostRoutesTest, PostavatarAtTheOldAvatarsPathKeepsTheNewFile) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    const std::time_t start = std::time(nullptr);
    const std::string sid = "same-second-" + std::to_string(attempt);
    Reply in =
        post("/v1/signin",
             multipartRequest(
                 "/v1/signin",
                 {{"uid", "0"}, {"sid", sid}, {"avatar", "first", "a.webp"}, {"hash", "h-a"}}));
    const std::string id = std::to_string(user_maxid);
    ASSERT_EQ(in.body, "{\"id\":" + id + "}");
    Reply r =
        post("/v1/postavatar",
             multipartRequest(
                 "/v1/postavatar",
                 {{"uid", id}, {"sid", sid}, {"avatar", "second", "a.webp"}, {"hash", "h-b"}}));
    EXPECT_EQ(r.body, "{\"r\":1}");
    if (std::time(nullptr) != start) continue;  // a new second began in between
    const cJSON* record = user(cJSON_GetArraySize(userArray) - 1);
    EXPECT_EQ(readFile(text(record, "avatar")), "second");
    return;
  }
  GTEST_SKIP() << "no attempt stayed within one second";
}

// ---- postnickname ----

TEST_F(PostRoutesTest, PostnicknameTable) {
  cJSON_ReplaceItemInObject(user(1), "nickname_uptm",
                            cJSON_CreateNumber(static_cast<double>(std::time(nullptr) - 86400)));
  struct {
    const char* desc;
    std::string body;
    std::string reply;
  } cases[] = {
      {"empty form", "", "{\"id\":0}"},
      {"no uid", "sid=s1&nickname=x", "{\"id\":0}"},
      {"uid 0", "uid=0&sid=s1&nickname=x", "{\"id\":0}"},
      {"no such user", "uid=9&sid=s1&nickname=x", "{\"r\":0}"},
      {"wrong sid", "uid=1&sid=s2&nickname=x", "{\"id\":0}"},
      {"changed a day ago", "uid=2&sid=s2&nickname=x", "{\"r\":0}"},
      {"new user may change", "uid=1&sid=s1%0D%0A&nickname=Ann+B%0D%0A", "{\"r\":1}"},
      {"then too early", "uid=1&sid=s1&nickname=again", "{\"r\":0}"},
      {"without nickname", "uid=3&sid=s3", "{\"r\":1}"},
  };
  for (const auto& c : cases) {
    Reply r = post("/v1/postnickname", formRequest("/v1/postnickname", c.body));
    EXPECT_EQ(r.status, 200) << c.desc;
    EXPECT_EQ(r.body, c.reply) << c.desc;
  }
  EXPECT_EQ(text(user(0), "nickname"), "Ann B");
  EXPECT_GT(number(user(0), "nickname_uptm"), 1e9);
  EXPECT_EQ(text(user(1), "nickname"), "bob");
  EXPECT_EQ(text(user(2), "nickname"), "");
  EXPECT_EQ(keys(user(0)), "id,user_sid,nickname,nickname_uptm,avatar,avatar_uptm,avatar_hash");
}

// ---- bounded fields ----

// A session id, nickname or avatar hash longer than kMaxUserFieldBytes is
// refused as a bad field and stores nothing; one of exactly that length is
// taken. Every action runs on a fresh user record so no change comes first.
TEST_F(PostRoutesTest, OverlongUserFieldsAreRefusedAndStoreNothing) {
  const std::string fits(kMaxUserFieldBytes, 'f');
  const std::string over(kMaxUserFieldBytes + 1, 'o');
  struct {
    const char* desc;
    std::string path;
    std::string request;
    std::string reply;
  } cases[] = {
      {"signin sid", "/v1/signin", multipartRequest("/v1/signin", {{"uid", "0"}, {"sid", over}}),
       "{\"id\":0}"},
      {"signin nickname", "/v1/signin",
       multipartRequest("/v1/signin", {{"uid", "0"}, {"sid", "n1"}, {"nickname", over}}),
       "{\"id\":0}"},
      {"signin hash", "/v1/signin",
       multipartRequest("/v1/signin",
                        {{"uid", "0"}, {"sid", "n2"}, {"avatar", "x", "a.webp"}, {"hash", over}}),
       "{\"id\":0}"},
      {"postavatar sid", "/v1/postavatar",
       multipartRequest("/v1/postavatar",
                        {{"uid", "3"}, {"sid", over}, {"avatar", "x", "a.webp"}, {"hash", "h"}}),
       "{\"id\":0}"},
      {"postavatar hash", "/v1/postavatar",
       multipartRequest("/v1/postavatar",
                        {{"uid", "3"}, {"sid", "s3"}, {"avatar", "x", "a.webp"}, {"hash", over}}),
       "{\"id\":0}"},
      {"postnickname sid", "/v1/postnickname",
       formRequest("/v1/postnickname", "uid=3&sid=" + over + "&nickname=x"), "{\"r\":0}"},
      {"postnickname nickname", "/v1/postnickname",
       formRequest("/v1/postnickname", "uid=3&sid=s3&nickname=" + over), "{\"r\":0}"},
  };
  const std::string before = printedJson(userArray);
  for (const auto& c : cases) {
    Reply r = post(c.path, c.request);
    EXPECT_EQ(r.status, 200) << c.desc;
    EXPECT_EQ(r.body, c.reply) << c.desc;
  }
  EXPECT_EQ(printedJson(userArray), before) << "a refused request changed a user";
  EXPECT_EQ(user_maxid, 4) << "a refused signin used an id";
  EXPECT_EQ(readFile(kOldAvatar), "old avatar");
  EXPECT_TRUE(testsupport::storedFiles(".", "uploads/avatar").size() == 1u);

  // Exactly kMaxUserFieldBytes is taken.
  EXPECT_EQ(post("/v1/signin", multipartRequest("/v1/signin", {{"uid", "0"},
                                                               {"sid", fits},
                                                               {"nickname", fits},
                                                               {"avatar", "x", "a.webp"},
                                                               {"hash", fits}}))
                .body,
            "{\"id\":5}");
  EXPECT_EQ(post("/v1/postavatar",
                 multipartRequest(
                     "/v1/postavatar",
                     {{"uid", "5"}, {"sid", fits}, {"avatar", "y", "a.webp"}, {"hash", fits}}))
                .body,
            "{\"r\":1}");
  EXPECT_EQ(post("/v1/postnickname",
                 formRequest("/v1/postnickname", "uid=5&sid=" + fits + "&nickname=" + fits))
                .body,
            "{\"r\":1}");
  EXPECT_EQ(text(user(4), "nickname"), fits);
}

// ---- like ----

TEST_F(PostRoutesTest, LikeTogglesAndRefuses) {
  struct {
    const char* desc;
    std::string body;
    int status;
    std::string reply;
  } cases[] = {
      {"id not a number", "id=abc&uid=1&sid=s1", 404, "{\"r\":404}"},
      {"uid not a number", "id=2&uid=abc&sid=s1", 404, "{\"r\":404}"},
      {"no such news", "id=7&uid=1&sid=s1", 404, "{\"r\":404}"},
      {"added", "id=2&uid=1&sid=s1", 200, "{\"r\":1}"},
      {"removed", "id=2&uid=1&sid=s1", 200, "{\"r\":0}"},
      {"session kept with its CR", "id=2&uid=1&sid=s1%0D", 200, "{\"r\":-1}"},
      {"added again", "id=+2&uid=1&sid=s1", 200, "{\"r\":1}"},
  };
  for (const auto& c : cases) {
    Reply r = post("/v1/like", formRequest("/v1/like", c.body));
    EXPECT_EQ(r.status, c.status) << c.desc;
    EXPECT_EQ(r.body, c.reply) << c.desc;
  }
  EXPECT_EQ(number(cJSON_GetArrayItem(newsArray, 0), "likes"), 1);
  EXPECT_EQ(cJSON_GetArraySize(likeArray), 1);
}

// ---- postnews ----

TEST_F(PostRoutesTest, PostnewsCreatesAnItemWithItsImages) {
  const std::string image0("\x89PNG\r\n\x1a\n \t\r\n", 13);
  Reply r = post("/v1/postnews", multipartRequest("/v1/postnews", {{"uid", "1"},
                                                                   {"sid", "s1"},
                                                                   {"id", "0"},
                                                                   {"title", "Hello \r\n"},
                                                                   {"content", "Body"},
                                                                   {"img", image0, "0"},
                                                                   {"img", "second", "1"}}));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "{\"id\":4}");
  EXPECT_EQ(news_maxid, 4);
  ASSERT_EQ(cJSON_GetArraySize(newsArray), 3);
  ASSERT_EQ(cJSON_GetArraySize(newsDetailArray), 3);
  const cJSON* news = cJSON_GetArrayItem(newsArray, 2);
  const cJSON* detail = cJSON_GetArrayItem(newsDetailArray, 2);
  EXPECT_EQ(keys(news), "id,title,timestamp,views,comments,likes,user_id,cover");
  EXPECT_EQ(keys(detail), "id,content,images");
  EXPECT_EQ(text(news, "title"), "Hello");
  EXPECT_EQ(number(news, "user_id"), 1);
  EXPECT_EQ(text(detail, "content"), "Body");
  const cJSON* images = cJSON_GetObjectItem(detail, "images");
  ASSERT_EQ(cJSON_GetArraySize(images), 2);
  const std::string first = cJSON_GetArrayItem(images, 0)->valuestring;
  EXPECT_EQ(text(news, "cover"), first);
  EXPECT_EQ(readFile(first), image0);
  EXPECT_EQ(readFile(cJSON_GetArrayItem(images, 1)->valuestring), "second");
  const DateParts d = toDateParts(std::time(nullptr));
  EXPECT_EQ(first.rfind("uploads/img/" + std::to_string(d.year) + "/" + std::to_string(d.month) +
                            "/" + std::to_string(d.day) + "/4/0",
                        0),
            0u)
      << first;

  // No image part: empty images and cover.
  r = post("/v1/postnews",
           multipartRequest("/v1/postnews", {{"uid", "4"}, {"id", "0"}, {"title", "t"}}));
  EXPECT_EQ(r.body, "{\"id\":5}");
  EXPECT_EQ(text(cJSON_GetArrayItem(newsArray, 3), "cover"), "");
  EXPECT_EQ(printedJson(cJSON_GetObjectItem(cJSON_GetArrayItem(newsDetailArray, 3), "images")),
            "[]");
}

// Only a request past the user, session and administrator checks uses an id.
TEST_F(PostRoutesTest, PostnewsRefusedBeforeItsChecksPassUsesNoId) {
  struct {
    const char* desc;
    std::vector<MultipartField> parts;
    int status;
    bool replied;
  } cases[] = {
      {"no parts", {}, 404, true},
      {"no uid", {{"sid", "s1"}, {"id", "0"}}, 404, true},
      {"negative id", {{"uid", "1"}, {"sid", "s1"}, {"id", "-2"}}, 404, true},
      {"no such user", {{"uid", "9"}, {"sid", "s1"}, {"id", "0"}}, 404, true},
      {"wrong sid", {{"uid", "1"}, {"sid", "s2"}, {"id", "0"}}, 404, true},
      {"not an administrator", {{"uid", "2"}, {"sid", "s2"}, {"id", "0"}}, 403, true},
      {"no such item", {{"uid", "1"}, {"sid", "s1"}, {"id", "77"}, {"title", "x"}}, 404, true},
      {"id not a number", {{"uid", "1"}, {"sid", "s1"}, {"id", "x"}}, 0, false},
  };
  for (const auto& c : cases) {
    Reply r = post("/v1/postnews", multipartRequest("/v1/postnews", c.parts));
    EXPECT_EQ(r.sent, c.replied) << c.desc;
    EXPECT_EQ(r.status, c.status) << c.desc;
    if (c.replied) {
      EXPECT_EQ(r.body, "{\"r\":" + std::to_string(c.status) + "}") << c.desc;
    }
  }
  EXPECT_EQ(news_maxid, 3 + 1) << "only the edit of a missing item passed the checks";
  EXPECT_EQ(cJSON_GetArraySize(newsArray), 2);
  EXPECT_EQ(text(cJSON_GetArrayItem(newsArray, 1), "title"), "three");
  Reply r = post("/v1/postnews",
                 multipartRequest("/v1/postnews", {{"uid", "1"}, {"sid", "s1"}, {"id", "0"}}));
  EXPECT_EQ(r.body, "{\"id\":5}");

  news_maxid = 2147483647;
  r = post("/v1/postnews",
           multipartRequest("/v1/postnews", {{"uid", "1"}, {"sid", "s1"}, {"id", "0"}}));
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(cJSON_GetArraySize(newsArray), 3);
}

TEST_F(PostRoutesTest, PostnewsEditKeepsRemovesAndAddsImages) {
  // One image part keeping old image 1 by its URL-encoded path: old image 0 goes.
  Reply r = post("/v1/postnews",
                 multipartRequest("/v1/postnews",
                                  {{"uid", "4"},
                                   {"id", "2"},
                                   {"title", ""},
                                   {"img", "", "uploads%2Fimg%2F2023/1/2/2/11000.webp", true}}));
  EXPECT_EQ(r.body, "{\"id\":4}");
  const cJSON* news = cJSON_GetArrayItem(newsArray, 0);
  const cJSON* detail = cJSON_GetArrayItem(newsDetailArray, 0);
  EXPECT_EQ(text(news, "title"), "two");
  EXPECT_EQ(text(detail, "content"), "c2");
  EXPECT_EQ(number(news, "user_id"), 4);
  EXPECT_GT(number(news, "timestamp"), 1e9);
  EXPECT_EQ(number(news, "views"), 5);
  EXPECT_EQ(printedJson(cJSON_GetObjectItem(detail, "images")), "[\"" + kOld1 + "\"]");
  EXPECT_EQ(text(news, "cover"), kOld1);
  EXPECT_TRUE(pathExists(kOld0)) << "removed before a save without it";
  save();
  EXPECT_FALSE(pathExists(kOld0));
  EXPECT_TRUE(pathExists(kOld1));

  // A new image 0 and a name outside the uploads, which is dropped.
  r = post("/v1/postnews",
           multipartRequest("/v1/postnews", {{"uid", "1"},
                                             {"sid", "s1"},
                                             {"id", "2"},
                                             {"title", "new title"},
                                             {"content", "new content"},
                                             {"img", "fresh", "0"},
                                             {"img", "", "..%2Fconfig.json", true}}));
  EXPECT_EQ(r.body, "{\"id\":5}");
  const cJSON* images = cJSON_GetObjectItem(detail, "images");
  ASSERT_EQ(cJSON_GetArraySize(images), 1);
  const std::string fresh = cJSON_GetArrayItem(images, 0)->valuestring;
  EXPECT_EQ(readFile(fresh), "fresh");
  EXPECT_EQ(text(news, "cover"), fresh);
  EXPECT_EQ(text(news, "title"), "new title");
  EXPECT_EQ(text(detail, "content"), "new content");
  EXPECT_EQ(keys(news), "id,title,timestamp,views,comments,likes,user_id,cover");
  EXPECT_EQ(keys(detail), "id,content,images");

  // No image part: every image is removed, with its emptied directories.
  r = post("/v1/postnews",
           multipartRequest("/v1/postnews", {{"uid", "1"}, {"sid", "s1"}, {"id", "2"}}));
  EXPECT_EQ(r.body, "{\"id\":6}");
  EXPECT_EQ(printedJson(cJSON_GetObjectItem(detail, "images")), "[]");
  EXPECT_EQ(text(news, "cover"), "");
  save();
  EXPECT_FALSE(pathExists(fresh));
  EXPECT_TRUE(pathExists("uploads/img"));
  EXPECT_EQ(readFile("config.json"), "{}");
}

// ---- delnews ----

TEST_F(PostRoutesTest, DelnewsRemovesTheItemAndItsFiles) {
  struct {
    const char* desc;
    std::string body;
    std::string reply;
  } cases[] = {
      {"empty form", "", "{\"r\":0}"},
      {"uid 0", "uid=0&sid=s1&id=2", "{\"r\":0}"},
      {"id 0", "uid=1&sid=s1&id=0", "{\"r\":0}"},
      {"no such user", "uid=9&sid=s1&id=2", "{\"r\":0}"},
      {"wrong sid", "uid=1&sid=s2&id=2", "{\"r\":0}"},
      {"not an administrator", "uid=2&sid=s2&id=2", "{\"r\":0}"},
      {"no such item", "uid=1&sid=s1&id=5", "{\"r\":0}"},
      {"deleted", "uid=1&sid=s1%0D%0A&id=2", "{\"r\":1}"},
      {"deleted twice", "uid=1&sid=s1&id=2", "{\"r\":0}"},
  };
  for (const auto& c : cases) {
    Reply r = post("/v1/delnews", formRequest("/v1/delnews", c.body));
    EXPECT_EQ(r.status, 200) << c.desc;
    EXPECT_EQ(r.body, c.reply) << c.desc;
  }
  ASSERT_EQ(cJSON_GetArraySize(newsArray), 1);
  ASSERT_EQ(cJSON_GetArraySize(newsDetailArray), 1);
  EXPECT_EQ(number(cJSON_GetArrayItem(newsArray, 0), "id"), 3);
  EXPECT_EQ(number(cJSON_GetArrayItem(newsDetailArray, 0), "id"), 3);
  EXPECT_TRUE(pathExists(kOld0)) << "removed before a save without it";
  save();
  EXPECT_FALSE(pathExists(kOld0));
  EXPECT_FALSE(pathExists(kOld1));
  EXPECT_FALSE(pathExists("uploads/img/2023"));
  EXPECT_TRUE(pathExists("uploads/img"));
}

TEST_F(PostRoutesTest, DelnewsSkipsPathsOutsideTheUploads) {
  writeFile("precious.txt", "keep");
  cJSON* detail = cJSON_GetArrayItem(newsDetailArray, 1);
  cJSON_ReplaceItemInObject(detail, "images",
                            cJSON_Parse("[\"precious.txt\", \"uploads/img/../../precious.txt\"]"));
  cJSON_ReplaceItemInObject(cJSON_GetArrayItem(newsArray, 1), "cover",
                            cJSON_CreateString("/work/precious.txt"));
  Reply r = post("/v1/delnews", formRequest("/v1/delnews", "uid=1&sid=s1&id=3"));
  EXPECT_EQ(r.body, "{\"r\":1}");
  EXPECT_EQ(readFile("precious.txt"), "keep");
  EXPECT_EQ(cJSON_GetArraySize(newsArray), 1);
}

// ---- the GET side sees every change ----

std::string listIds() {
  std::string raw = testsupport::captureReply([](int fd) { handleGet(fd, "/v1/list/1"); });
  JsonTree list(cJSON_Parse(testsupport::splitReply(raw).second.c_str()));
  std::string ids;
  const cJSON* item = nullptr;
  cJSON_ArrayForEach(item, list.get()) {
    ids += (ids.empty() ? "" : ",") + std::to_string(cJSON_GetObjectItem(item, "id")->valueint);
  }
  return ids;
}

TEST_F(PostRoutesTest, ListFollowsPostingEditingAndDeleting) {
  EXPECT_EQ(listIds(), "3,2");
  EXPECT_EQ(post("/v1/postnews",
                 multipartRequest("/v1/postnews",
                                  {{"uid", "1"}, {"sid", "s1"}, {"id", "0"}, {"title", "n"}}))
                .body,
            "{\"id\":4}");
  EXPECT_EQ(listIds(), "4,3,2");
  // The edit gives item 3 the newest time; it stands before 4 in the array.
  EXPECT_EQ(post("/v1/postnews",
                 multipartRequest("/v1/postnews", {{"uid", "1"}, {"sid", "s1"}, {"id", "3"}}))
                .body,
            "{\"id\":5}");
  EXPECT_EQ(listIds(), "3,4,2");
  EXPECT_EQ(post("/v1/delnews", formRequest("/v1/delnews", "uid=1&sid=s1&id=2")).body, "{\"r\":1}");
  EXPECT_EQ(listIds(), "3,4");
}

}  // namespace
