// get_routes_test.cpp -- every GET route and error reply with the exact bytes
// a client receives, view counting, the list order and paging, the files a
// path names and a client that has gone.
#include "api/get_routes.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <regex>
#include <string>

#include "api/settings.h"
#include "storage/database.h"
#include "storage/news_index.h"
#include "storage/record_changes.h"
#include "storage/records.h"
#include "tests/support/database_fixture.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::bindLoopback;
using testsupport::captureReply;
using testsupport::connectTo;
using testsupport::splitReply;

constexpr const char* kConfig = R"({
  "name": "Test Node", "icon": "img/icon.png", "cover": "img/cover.jpg", "port": 8080,
  "page_size": 2, "admin": [2],  "write_interval": 10000,
  "watermark": {"path": "img/watermark.png", "offsetX": 5, "offsetY": 6, "position": 1},
  "sercut_key": "secret", "edit_interval": 600
})";

// Four news items (two with equal timestamps, one without a timestamp),
// aligned details, three users and one like.
constexpr const char* kDatabase = R"({
  "news_maxid": 5, "user_maxid": 3, "like_maxid": 1,
  "news": [
    {"id": 1, "title": "first", "timestamp": 100, "views": 0, "comments": 0, "likes": 0, "user_id": 1, "cover": "uploads/img/a.webp"},
    {"id": 2, "title": "second", "timestamp": 300, "views": 4, "comments": 0, "likes": 1, "user_id": 2, "cover": ""},
    {"id": 3, "title": "third", "views": 0, "comments": 0, "likes": 0, "user_id": 1, "cover": ""},
    {"id": 5, "title": "fifth", "timestamp": 300, "views": 2147483647, "comments": 0, "likes": 0, "user_id": 2, "cover": ""}
  ],
  "news_detail": [
    {"id": 1, "content": "one", "images": ["uploads/img/a.webp"]},
    {"id": 2, "content": "two", "images": [], "Avatar": "old"},
    {"id": 3, "content": "three", "images": []},
    {"id": 5, "content": "five", "images": []}
  ],
  "user": [
    {"id": 1, "user_sid": "s1", "nickname": "ann", "nickname_uptm": 0, "avatar": "uploads/avatar/1.webp", "avatar_uptm": 0, "avatar_hash": ""},
    {"id": 2, "user_sid": "s2", "nickname": "bob", "nickname_uptm": 0, "avatar": "", "avatar_uptm": 0, "avatar_hash": ""},
    {"id": 3, "user_sid": "s3", "nickname": "cy", "nickname_uptm": 0, "avatar": "", "avatar_uptm": 0, "avatar_hash": ""}
  ],
  "like": [
    {"id": 1, "news_id": 2, "user_id": 1, "timestamp": 1}
  ]
})";

constexpr const char* kJsonHeader =
    "Server: Ondrix Node Server 0.1.0 \r\nDate: *\r\nContent-Type: application/json\r\n"
    "Connection: close\r\n\r\n";
constexpr const char* kFileHeader =
    "HTTP/1.1 200 OK\r\nServer: Ondrix Node Server 0.1.0 \r\nDate: *\r\n"
    "Content-Type: image/webp\r\nConnection: close\r\n\r\n";

// The reply with its Date value (checked for its form) replaced by "*".
std::string masked(const std::string& reply) {
  static const std::regex date(
      "Date: [A-Z][a-z]{2}, \\d{2} [A-Z][a-z]{2} \\d{4} \\d{2}:\\d{2}:\\d{2} GMT\r\n");
  return std::regex_replace(reply, date, "Date: *\r\n", std::regex_constants::format_first_only);
}

std::string json(int status, const std::string& body) {
  const char* reason = status == 200 ? "OK" : status == 404 ? "Not Found" : "Unknown";
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n" + kJsonHeader + body;
}

class GetRoutesTest : public testing::Test {
 protected:
  testsupport::TempDir dir;
  std::unique_ptr<testsupport::ScopedChdir> chdir;

  void SetUp() override {
    loadDatabase(kDatabase);
    loadConfig(kConfig);
    testsupport::writeFile(dir.file("config.json"), kConfig);
    testsupport::writeFile(dir.file("data/index.ndb"), "session ids");
    testsupport::writeFile(dir.file("img/icon.png"), "ICON");
    testsupport::writeFile(dir.file("img/cover.jpg"), "COVER");
    testsupport::writeFile(dir.file("img/watermark.png"), "MARK");
    testsupport::writeFile(dir.file("uploads/avatar/1.webp"), "AVATAR");
    testsupport::writeFile(dir.file("uploads/empty.webp"), "");
    testsupport::writeFile(dir.file("uploads/a%20b.webp"), "PERCENT");
    testsupport::writeFile(dir.file("V1/list/1"), "not api");
    chdir = std::make_unique<testsupport::ScopedChdir>(dir.path);
  }
  void TearDown() override {
    chdir.reset();
    testsupport::useConfiguration("");
  }

  testsupport::TestDatabase installed;

  void loadDatabase(const std::string& text) { installed.install(text); }
  static void loadConfig(const std::string& text) {
    ASSERT_TRUE(testsupport::useConfiguration(text));
  }

  static std::string get(const std::string& path) {
    return masked(captureReply([&](int socket) { handleGet(socket, path); }));
  }
  static int views(int index) {
    return cJSON_GetObjectItem(cJSON_GetArrayItem(newsArray, index), "views")->valueint;
  }
};

constexpr const char* kDescription =
    "{\"ver\":\"v1\",\"name\":\"Test Node\",\"icon\":\"img/icon.png\",\"cover\":\"img/cover.jpg\","
    "\"pageSize\":2,\"watermark\":{\"path\":\"img/watermark.png\",\"offsetX\":5,\"offsetY\":6,"
    "\"position\":1},\"editInterval\":600}";

TEST_F(GetRoutesTest, NodeDescription) {
  for (const char* path : {"/", "//", ""}) EXPECT_EQ(get(path), json(200, kDescription)) << path;
  struct {
    const char* config;
    const char* description;
  } cases[] = {
      // A name that is not a text is left out; a page size that is not a number reads 0.
      {R"({"name": 5, "icon": "i", "cover": "c", "page_size": "2", "edit_interval": 1,
           "watermark": {"path": "w"}})",
       R"({"ver":"v1","icon":"i","cover":"c","pageSize":0,"watermark":{"path":"w"},"editInterval":1})"},
      // Keys in any case; texts with escapes; the watermark shown as configured, whatever
      // its members and their types.
      {R"({"NAME": "N\u00f1 \"q\"\n", "Icon": "i\u0000x", "COVER": "", "page_size": 3.9,
           "edit_interval": -1, "WaterMark": {"PATH": "w", "offsetX": 1.5, "big": 1e300,
           "neg": -0, "a": [true, null, "x", []], "o": {"k": {}}}})",
       R"({"ver":"v1","name":"Nñ \"q\"\n","icon":"i","cover":"","pageSize":3,)"
       R"("watermark":{"PATH":"w","offsetX":1.5,"big":1e+300,"neg":-0,"a":[true,null,"x",[]],)"
       R"("o":{"k":{}}},"editInterval":-1})"},
      // A watermark that is not an object, pictures that are not texts.
      {R"({"icon": 1, "cover": null, "watermark": "w"})",
       R"({"ver":"v1","pageSize":0,"watermark":"w","editInterval":0})"},
      {R"({"watermark": [1, {"path": "w"}]})",
       R"({"ver":"v1","pageSize":0,"watermark":[1,{"path":"w"}],"editInterval":0})"},
  };
  for (const auto& c : cases) {
    loadConfig(c.config);
    EXPECT_EQ(get("/"), json(200, c.description)) << c.config;
  }
  EXPECT_EQ(get("/v1/list/1"), json(200, "[]"));
}

// The integer settings read as cJSON's valueint does: true is 1.
TEST_F(GetRoutesTest, IntegerSettingsReadTrueAsOne) {
  struct {
    const char* value;
    int read;
  } cases[] = {{"true", 1}, {"false", 0}, {"\"7\"", 0}, {"null", 0}, {"7.9", 7}};
  for (const auto& c : cases) {
    const std::string v = c.value;
    loadConfig(
        "{\"icon\": \"i\", \"cover\": \"c\", \"watermark\": {\"path\": \"w\"}, \"page_size\": " +
        v + ", \"edit_interval\": " + v + ", \"admin\": [" + v + "]}");
    EXPECT_EQ(apiSettings.pageSize, c.read) << v;
    EXPECT_EQ(apiSettings.editInterval, c.read) << v;
    EXPECT_EQ(adminIndex(c.read), 0) << v;
    EXPECT_EQ(get("/"), json(200, "{\"ver\":\"v1\",\"icon\":\"i\",\"cover\":\"c\",\"pageSize\":" +
                                      std::to_string(c.read) +
                                      ",\"watermark\":{\"path\":\"w\"},\"editInterval\":" +
                                      std::to_string(c.read) + "}"))
        << v;
  }
}

TEST_F(GetRoutesTest, RoutingAndSegmentErrors) {
  struct {
    const char* path;
    int status;
    const char* body;
  } cases[] = {
      {"/v1", 404, "{\"r\":404}"},
      {"/v1/", 404, "{\"r\":404}"},
      {"/v1/helloworld", 404, "{\"r\":404}"},
      {"/v1/List/1", 404, "{\"r\":404}"},
      {"/v1/connect-test?x=1", 404, "{\"r\":404}"},
      {"/v1/list", 400, "{\"r\":400}"},
      {"/v1/news", 400, "{\"r\":400}"},
      {"/v1/isadmin/5", 400, "{\"r\":400}"},
      {"/v1/islike/5/abc", 400, "{\"r\":400}"},
      {"/v1/list/x", 403, "{\"r\":403}"},
      {"/v1/list/2147483648", 403, "{\"r\":403}"},
      {"/v1/news/-", 403, "{\"r\":403}"},
      {"/v1/isadmin/x/s2", 403, "{\"r\":403}"},
      {"/v1/islike/x/abc/3", 403, "{\"r\":403}"},
      {"/v1/islike/5/abc/x", 403, "{\"r\":403}"},
      {"/v1/connect-test", 200, "{\"r\":\"ok\"}"},
      {"/v1/connect-test/extra", 200, "{\"r\":\"ok\"}"},
      {"v1/connect-test", 200, "{\"r\":\"ok\"}"},
  };
  for (const auto& c : cases) EXPECT_EQ(get(c.path), json(c.status, c.body)) << c.path;
}

TEST_F(GetRoutesTest, ListPagesNewestFirst) {
  const std::string second =
      "{\"id\":2,\"title\":\"second\",\"timestamp\":300,\"views\":4,\"comments\":0,\"likes\":1,"
      "\"cover\":\"\",\"nickname\":\"bob\"}";
  const std::string fifth =
      "{\"id\":5,\"title\":\"fifth\",\"timestamp\":300,\"views\":2147483647,\"comments\":0,"
      "\"likes\":0,\"cover\":\"\",\"nickname\":\"bob\"}";
  const std::string first =
      "{\"id\":1,\"title\":\"first\",\"timestamp\":100,\"views\":0,\"comments\":0,\"likes\":0,"
      "\"cover\":\"uploads/img/a.webp\",\"nickname\":\"ann\"}";
  const std::string third =
      "{\"id\":3,\"title\":\"third\",\"views\":0,\"comments\":0,\"likes\":0,\"cover\":\"\","
      "\"nickname\":\"ann\"}";
  struct {
    const char* path;
    std::string body;
  } cases[] = {
      {"/v1/list/1", "[" + second + "," + fifth + "]"},
      {"/v1/list/2", "[" + first + "," + third + "]"},
      {"/v1/list/2x", "[" + first + "," + third + "]"},
      {"/v1/list/2?a=b", "[" + first + "," + third + "]"},
      {"/v1/list/+1/extra", "[" + second + "," + fifth + "]"},
      {"/v1/list/3", "[]"},
      {"/v1/list/4", "[]"},
      {"/v1/list/0", "[]"},
      {"/v1/list/-5", "[]"},
      {"/v1/list/2147483647", "[]"},
  };
  const std::string database = testsupport::printedJson(databaseRoot);
  for (const auto& c : cases) EXPECT_EQ(get(c.path), json(200, c.body)) << c.path;
  // The list never reorders or changes the database.
  EXPECT_EQ(database, testsupport::printedJson(databaseRoot));

  apiSettings.pageSize = 0;
  EXPECT_EQ(get("/v1/list/1"), json(200, "[]"));
  apiSettings.pageSize = -1;
  EXPECT_EQ(get("/v1/list/1"), json(200, "[]"));
}

TEST_F(GetRoutesTest, ListPageWithMissingAuthorOrMembersIsEmpty) {
  // "first" loses its author: page 2 is empty as a whole, page 1 unaffected.
  cJSON* first = cJSON_GetArrayItem(newsArray, 0);
  setNewsMember(first, "user_id", cJSON_CreateNumber(77));
  EXPECT_EQ(get("/v1/list/2"), json(200, "[]"));
  EXPECT_NE(get("/v1/list/1"), json(200, "[]"));
  // A record without "user_id", or an author without a nickname text.
  cJSON_DeleteItemFromObject(first, "user_id");
  recordChanged(first);
  EXPECT_EQ(get("/v1/list/2"), json(200, "[]"));
  setRecordMember(cJSON_GetArrayItem(userArray, 1), "nickname", cJSON_CreateNull());
  EXPECT_EQ(get("/v1/list/1"), json(200, "[]"));
}

TEST_F(GetRoutesTest, ListPagingOverManyRecords) {
  for (int total : {45, 40}) {
    std::string db = R"({"news_maxid": 0, "user_maxid": 1, "like_maxid": 0, "news": [)";
    for (int i = 1; i <= total; ++i) {
      db += (i > 1 ? "," : "") + std::string("{\"id\":") + std::to_string(i) +
            ",\"timestamp\":" + std::to_string(i) + ",\"user_id\":1}";
    }
    db += R"(], "news_detail": [], "user": [{"id": 1, "nickname": "n"}], "like": []})";
    loadDatabase(db);
    apiSettings.pageSize = 20;
    std::string page3 = splitReply(get("/v1/list/3")).second;
    if (total == 45) {
      EXPECT_EQ(
          page3,
          "[{\"id\":5,\"timestamp\":5,\"nickname\":\"n\"},{\"id\":4,\"timestamp\":4,"
          "\"nickname\":\"n\"},{\"id\":3,\"timestamp\":3,\"nickname\":\"n\"},{\"id\":2,"
          "\"timestamp\":2,\"nickname\":\"n\"},{\"id\":1,\"timestamp\":1,\"nickname\":\"n\"}]");
      EXPECT_EQ(splitReply(get("/v1/list/4")).second, "[]");
    } else {
      EXPECT_EQ(page3, "[]");
    }
  }
}

// Page 1 as built from the records now: copies in list order without
// "user_id", each with its author's nickname last.
std::string freshFirstPage() {
  std::vector<const cJSON*> records;
  for (const cJSON* r = newsArray->child; r != nullptr; r = r->next) records.push_back(r);
  auto time = [](const cJSON* r) {
    const cJSON* t = cJSON_GetObjectItem(r, "timestamp");
    return cJSON_IsNumber(t) ? t->valuedouble : -1e300;
  };
  std::stable_sort(records.begin(), records.end(),
                   [&](const cJSON* a, const cJSON* b) { return time(a) > time(b); });
  cJSON* page = cJSON_CreateArray();
  for (std::size_t i = 0; i < records.size() && i < static_cast<std::size_t>(apiSettings.pageSize);
       ++i) {
    cJSON* item = cJSON_Duplicate(records[i], 1);
    int author = cJSON_GetObjectItem(item, "user_id")->valueint;
    cJSON_DeleteItemFromObject(item, "user_id");
    for (const cJSON* u = userArray->child; u != nullptr; u = u->next) {
      if (cJSON_GetObjectItem(u, "id")->valueint == author) {
        cJSON_AddStringToObject(item, "nickname", cJSON_GetObjectItem(u, "nickname")->valuestring);
      }
    }
    cJSON_AddItemToArray(page, item);
  }
  std::string text = testsupport::printedJson(page);
  cJSON_Delete(page);
  return text;
}

TEST_F(GetRoutesTest, ListPagesFollowEveryChangeOfWhatTheyShow) {
  cJSON* second = cJSON_GetArrayItem(newsArray, 1);
  cJSON* fifth = cJSON_GetArrayItem(newsArray, 3);
  struct {
    const char* change;
    std::function<void()> apply;
  } changes[] = {
      {"a view of an item", [] { get("/v1/news/2"); }},
      {"a like count",
       [&] {
         cJSON_SetNumberValue(cJSON_GetObjectItem(second, "likes"), 2);
         recordChanged(second);
       }},
      {"the author's nickname",
       [] {
         setRecordMember(cJSON_GetArrayItem(userArray, 1), "nickname", cJSON_CreateString("bop"));
       }},
      {"another author", [&] { setNewsMember(fifth, "user_id", cJSON_CreateNumber(1)); }},
      {"a title of the same length",
       [&] { setNewsMember(second, "title", cJSON_CreateString("sekond")); }},
      {"zero to negative zero",
       [&] { setNewsMember(second, "comments", cJSON_CreateNumber(-0.0)); }},
      {"a number to false", [&] { setNewsMember(fifth, "comments", cJSON_CreateFalse()); }},
      {"a member added", [&] { setNewsMember(fifth, "extra", cJSON_CreateTrue()); }},
      {"a member removed",
       [&] {
         cJSON_DeleteItemFromObject(fifth, "cover");
         recordChanged(fifth);
       }},
      {"a newer item posted",
       [] {
         ASSERT_TRUE(appendNewsItem(cJSON_Parse(R"({"id": 6, "title": "sixth", "timestamp": 400,
                                                   "views": 0, "user_id": 3})"),
                                    cJSON_Parse(R"({"id": 6, "content": "six"})")));
       }},
  };
  std::string before = get("/v1/list/1");
  ASSERT_EQ(before, json(200, freshFirstPage()));
  EXPECT_EQ(get("/v1/list/1"), before);  // the kept text, byte for byte
  for (const auto& c : changes) {
    c.apply();
    std::string after = get("/v1/list/1");
    EXPECT_NE(after, before) << c.change;
    EXPECT_EQ(after, json(200, freshFirstPage())) << c.change;
    EXPECT_EQ(get("/v1/list/1"), after) << c.change;
    before = after;
  }
  // A reloaded database with other contents at the same places.
  loadDatabase(kDatabase);
  EXPECT_EQ(get("/v1/list/1"), json(200, freshFirstPage()));
}

TEST_F(GetRoutesTest, NewsDetailCountsViews) {
  const std::string one =
      "{\"id\":1,\"content\":\"one\",\"images\":[\"uploads/img/a.webp\"],"
      "\"avatar\":\"uploads/avatar/1.webp\"}";
  EXPECT_EQ(get("/v1/news/1"), json(200, one));
  EXPECT_EQ(get("/v1/news/001"), json(200, one));
  EXPECT_EQ(get("/v1/news/+1?x"), json(200, one));
  EXPECT_EQ(views(0), 3);
  // An "avatar" member of the record is replaced where it stands.
  EXPECT_EQ(get("/v1/news/2"),
            json(200, "{\"id\":2,\"content\":\"two\",\"images\":[],\"avatar\":\"\"}"));
  EXPECT_EQ(views(1), 5);
  // The database record itself keeps its own members.
  EXPECT_NE(cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(newsDetailArray, 1), "Avatar"),
            nullptr);
  // A count at the int limit goes on without overflow.
  EXPECT_EQ(get("/v1/news/5"),
            json(200, "{\"id\":5,\"content\":\"five\",\"images\":[],\"avatar\":\"\"}"));
  EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetArrayItem(newsArray, 3), "views")->valuedouble,
            2147483648.0);

  for (const char* path : {"/v1/news/0", "/v1/news/-3", "/v1/news/4", "/v1/news/99"}) {
    EXPECT_EQ(get(path), json(404, "{\"r\":404}")) << path;
  }

  // Author gone: 404, but the view still counts.
  cJSON_ReplaceItemInObject(cJSON_GetArrayItem(newsArray, 2), "user_id", cJSON_CreateNumber(77));
  EXPECT_EQ(get("/v1/news/3"), json(404, "{\"r\":404}"));
  EXPECT_EQ(views(2), 1);
  // No numeric "views": 404 and nothing changes.
  cJSON_ReplaceItemInObject(cJSON_GetArrayItem(newsArray, 0), "views", cJSON_CreateString("9"));
  EXPECT_EQ(get("/v1/news/1"), json(404, "{\"r\":404}"));
  EXPECT_TRUE(cJSON_IsString(cJSON_GetObjectItem(cJSON_GetArrayItem(newsArray, 0), "views")));
  // An author without an avatar text.
  cJSON_DeleteItemFromObject(cJSON_GetArrayItem(userArray, 1), "avatar");
  EXPECT_EQ(get("/v1/news/2"), json(404, "{\"r\":404}"));
}

// The detail reply as it has always been made: the record copied, the
// author's avatar put in place of its "avatar" member (or added last), the
// copy printed unformatted.
std::string copiedDetail(const cJSON* detail, const char* avatar) {
  cJSON* copy = cJSON_Duplicate(detail, 1);
  if (cJSON_GetObjectItem(copy, "avatar") != nullptr) {
    cJSON_ReplaceItemInObject(copy, "avatar", cJSON_CreateString(avatar));
  } else {
    cJSON_AddItemToObject(copy, "avatar", cJSON_CreateString(avatar));
  }
  std::string text = testsupport::printedJson(copy);
  cJSON_Delete(copy);
  return text;
}

// The reply for news id 1 as copiedDetail makes it from the records now.
std::string detailOfFirstItem() {
  int index = -1;
  const cJSON* detail = findNewsDetailById(1, &index);
  const cJSON* author = newsAuthor(findNewsById(1, &index));
  return json(200, copiedDetail(detail, cJSON_GetObjectItem(author, "avatar")->valuestring));
}

TEST_F(GetRoutesTest, DetailIsTheRecordWithTheAuthorsAvatar) {
  struct {
    const char* desc;
    const char* detail;
    const char* avatar;  // as a JSON text
  } cases[] = {
      {"no avatar member", R"({"id": 7, "content": "c", "images": ["a", "b"]})", R"("av")"},
      {"an avatar member in the middle", R"({"id": 7, "avatar": "x", "content": "c"})", R"("av")"},
      {"a key of another case", R"({"id": 7, "AVATAR": 1, "images": []})", R"("av")"},
      {"two avatar members", R"({"avatar": null, "id": 7, "Avatar": "y"})", R"("av")"},
      {"members in another order", R"({"images": [], "content": "c", "id": 7})", R"("")"},
      {"the id alone", R"({"id": 7})", R"("av")"},
      {"odd types",
       R"({"id": 7, "content": 5, "images": "x", "n": null, "t": true, "f": false,
           "o": {"a": [1, -0, 1e300, 0.1, -2.5e-7, {}]}, "e": {}, "ea": [], "id": 8})",
       R"("av")"},
      {"escapes and unicode",
       R"({"id": 7, "content": "q\"b\\s/\b\f\n\r\t\u0001\u001f\u007f é 中 \u2028 😀",
           "k\"\u00e9y": "", "": "empty key", "images": ["\u00fc/\"p\""]})",
       R"("a\"v\\é\n\u0002")"},
  };
  for (const auto& c : cases) {
    loadDatabase(std::string(R"({"news": [{"id": 7, "timestamp": 1, "views": 0, "user_id": 1}],
                                 "news_detail": [)") +
                 c.detail + R"(], "user": [{"id": 1, "avatar": )" + c.avatar +
                 R"(}], "like": []})");
    int index = -1;
    const cJSON* detail = findNewsDetailById(7, &index);
    ASSERT_NE(detail, nullptr) << c.desc;
    const std::string expected = json(
        200, copiedDetail(detail, cJSON_GetObjectItem(userArray->child, "avatar")->valuestring));
    EXPECT_EQ(get("/v1/news/7"), expected) << c.desc;
    EXPECT_EQ(get("/v1/news/7"), expected) << c.desc << ", kept";
  }
}

TEST_F(GetRoutesTest, DetailFollowsEveryChangeOfWhatItShows) {
  cJSON* first = cJSON_GetArrayItem(newsArray, 0);
  cJSON* firstDetail = cJSON_GetArrayItem(newsDetailArray, 0);
  cJSON* ann = cJSON_GetArrayItem(userArray, 0);
  struct {
    const char* change;
    std::function<void()> apply;
    bool shown;  // whether the reply changes
  } changes[] = {
      {"a view", [] { get("/v1/news/1"); }, false},
      {"a list page", [] { get("/v1/list/2"); }, false},
      {"another item's detail", [] { get("/v1/news/2"); }, false},
      {"the author's nickname",
       [&] { setRecordMember(ann, "nickname", cJSON_CreateString("anne")); }, false},
      {"the content", [&] { setRecordMember(firstDetail, "content", cJSON_CreateString("uno")); },
       true},
      {"content of the same length",
       [&] { setRecordMember(firstDetail, "content", cJSON_CreateString("eno")); }, true},
      {"the images", [&] { setRecordMember(firstDetail, "images", cJSON_CreateArray()); }, true},
      {"the author's avatar",
       [&] { setRecordMember(ann, "avatar", cJSON_CreateString("uploads/avatar/2.webp")); }, true},
      {"another author", [&] { setNewsMember(first, "user_id", cJSON_CreateNumber(2)); }, true},
      {"the first author again", [&] { setNewsMember(first, "user_id", cJSON_CreateNumber(1)); },
       true},
      {"deleted and posted again with the same id",
       [] {
         int index = -1;
         ASSERT_NE(findNewsById(1, &index), nullptr);
         deleteNewsItem(index);
         ASSERT_TRUE(appendNewsItem(cJSON_Parse(R"({"id": 1, "views": 0, "user_id": 1})"),
                                    cJSON_Parse(R"({"id": 1, "content": "new"})")));
       },
       true},
  };
  std::string before = get("/v1/news/1");
  ASSERT_EQ(before, detailOfFirstItem());
  for (const auto& c : changes) {
    c.apply();
    std::string after = get("/v1/news/1");
    EXPECT_EQ(after != before, c.shown) << c.change;
    EXPECT_EQ(after, detailOfFirstItem()) << c.change;
    EXPECT_EQ(get("/v1/news/1"), after) << c.change;
    before = after;
  }
  // A reloaded database with other contents at the same places.
  std::string reloaded = kDatabase;
  loadDatabase(reloaded.replace(reloaded.find("\"one\""), 5, "\"1!\""));
  EXPECT_EQ(get("/v1/news/1"), detailOfFirstItem());
  EXPECT_NE(get("/v1/news/1"), before);
}

// Bytes allocated through cJSON's hooks while they count.
std::size_t cjsonBytes = 0;
void* countingMalloc(std::size_t size) {
  cjsonBytes += size;
  return std::malloc(size);
}

// A detail read again while its record is unchanged is sent as kept: the
// record is neither copied nor printed again, so a large one does not hold
// the database lock for a copy on every read.
TEST_F(GetRoutesTest, UnchangedDetailIsNotCopiedAgain) {
  const std::string content(1 << 20, 'x');
  cJSON* detail = cJSON_GetArrayItem(newsDetailArray, 0);
  setRecordMember(detail, "content", cJSON_CreateString(content.c_str()));
  const std::string reply = detailOfFirstItem();
  struct {
    const char* read;
    std::function<void()> before;
    bool copies;
  } reads[] = {
      {"the first read", [] {}, true},
      {"a read again", [] {}, false},
      {"a read after a like", [] { ASSERT_EQ(toggleLike(1, 1, "s1"), 1); }, false},
      {"a read after an edit",
       [&] { setRecordMember(detail, "content", cJSON_CreateString(content.c_str())); }, true},
      {"a read again after the edit", [] {}, false},
  };
  for (const auto& r : reads) {
    r.before();
    cJSON_Hooks hooks{countingMalloc, std::free};
    cjsonBytes = 0;
    cJSON_InitHooks(&hooks);
    std::string got = get("/v1/news/1");
    cJSON_InitHooks(nullptr);
    EXPECT_EQ(got, reply) << r.read;
    EXPECT_EQ(cjsonBytes > content.size(), r.copies) << r.read << ": " << cjsonBytes << " bytes";
  }
}

TEST_F(GetRoutesTest, AdminAndLikeQuestions) {
  struct {
    const char* path;
    int status;
    const char* body;
  } cases[] = {
      {"/v1/isadmin/2/s2", 200, "{\"r\":1}"},        {"/v1/isadmin/2/s1", 200, "{\"r\":0}"},
      {"/v1/isadmin/1/s1", 200, "{\"r\":0}"},        {"/v1/isadmin/9/s9", 200, "{\"r\":0}"},
      {"/v1/isadmin/002/s2/more", 200, "{\"r\":1}"}, {"/v1/islike/1/s1/2", 200, "{\"r\":1}"},
      {"/v1/islike/1/s1/1", 200, "{\"r\":0}"},       {"/v1/islike/2/s2/2", 200, "{\"r\":0}"},
      {"/v1/islike/9/zz/2", 200, "{\"r\":0}"},       {"/v1/islike/1/s2/2", 500, "{\"r\":500}"},
  };
  for (const auto& c : cases) EXPECT_EQ(get(c.path), json(c.status, c.body)) << c.path;
  // Without an "admin" list nobody is an administrator.
  loadConfig("{}");
  EXPECT_EQ(get("/v1/isadmin/2/s2"), json(200, "{\"r\":0}"));
}

TEST_F(GetRoutesTest, CheckUpdate) {
  struct utimbuf times = {1700000000, 1700000123};
  ASSERT_EQ(utime("config.json", &times), 0);
  EXPECT_EQ(get("/v1/checkupdate"), json(200, "{\"timestamp\":1700000123}"));
  EXPECT_EQ(get("/v1/checkupdate/x"), json(200, "{\"timestamp\":1700000123}"));
  ASSERT_EQ(unlink("config.json"), 0);
  EXPECT_EQ(get("/v1/checkupdate"), json(404, "{\"r\":404}"));
}

TEST_F(GetRoutesTest, ServesPicturesAndUploads) {
  struct {
    const char* path;
    const char* content;
  } cases[] = {
      {"/img/icon.png", "ICON"},
      {"ximg/icon.png", "ICON"},  // the configured names match the path without its first byte
      {"/img/cover.jpg", "COVER"},
      {"/img/watermark.png", "MARK"},
      {"/uploads/avatar/1.webp", "AVATAR"},
      {"uploads/avatar/1.webp", "AVATAR"},
      {"/uploads/a%20b.webp", "PERCENT"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(get(c.path), std::string(kFileHeader) + c.content) << c.path;
  }
  EXPECT_EQ(get("/uploads/empty.webp"), kFileHeader);

  std::string big(8192, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 4096);
  testsupport::writeFile("uploads/big.webp", big);
  EXPECT_EQ(get("/uploads/big.webp"), kFileHeader + big);
  std::string odd = big + "tail";
  testsupport::writeFile("uploads/odd.webp", odd);
  EXPECT_EQ(get("/uploads/odd.webp"), kFileHeader + odd);
}

// Which names reach a file is file_serving_test's; here, that every refusal
// (by name, by a link that leads out, by a missing file) answers 404.
TEST_F(GetRoutesTest, FilesThatCannotBeServedAnswer404) {
  ASSERT_EQ(symlink("../config.json", "img/key.png"), 0);
  testsupport::writeFile("uploads/dir/x.webp", "X");
  for (const char* path :
       {"/config.json", "//etc/passwd", "/uploads/../config.json", "/img/key.png",
        "/uploads/missing.webp", "/uploads/dir", "/a%20b.webp", "/V1/list/1"}) {
    EXPECT_EQ(get(path), json(404, "{\"r\":404}")) << path;
  }
  EXPECT_EQ(get(std::string("/uploads/avatar/1.webp\0x", 24)), json(404, "{\"r\":404}"));

  // A configured picture that names a directory, or is empty, gives 404.
  loadConfig(R"({"icon": "uploads/dir", "cover": "", "watermark": {"path": "w"}})");
  EXPECT_EQ(get("/uploads/dir"), json(404, "{\"r\":404}"));
  EXPECT_EQ(get("x"), json(404, "{\"r\":404}"));
}

TEST_F(GetRoutesTest, ClientGoneBeforeReply) {
  std::string big(100000, 'b');
  testsupport::writeFile("uploads/big.webp", big);
  for (const char* path : {"/uploads/big.webp", "/", "/v1/list/1", "/v1/news/1", "/nothing"}) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    handleGet(sv[0], path);  // must return, not end the process with SIGPIPE
    close(sv[0]);
  }
  EXPECT_EQ(views(0), 1);
  EXPECT_EQ(get("/v1/connect-test"), json(200, "{\"r\":\"ok\"}"));
}

TEST_F(GetRoutesTest, AnswersOverLoopbackTcp) {
  int port = 0;
  int listener = bindLoopback(&port);
  ASSERT_GE(listener, 0);
  ASSERT_EQ(listen(listener, 1), 0);
  int client = connectTo(port);
  ASSERT_GE(client, 0);
  int served = accept(listener, nullptr, nullptr);
  ASSERT_GE(served, 0);
  handleGet(served, "/v1/news/1");
  close(served);
  std::string reply;
  char buffer[4096];
  ssize_t n;
  while ((n = recv(client, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, n);
  close(client);
  close(listener);
  EXPECT_EQ(masked(reply), json(200,
                                "{\"id\":1,\"content\":\"one\",\"images\":[\"uploads/img/a.webp\"],"
                                "\"avatar\":\"uploads/avatar/1.webp\"}"));
}

}  // namespace
