// news_replies_test.cpp -- list pages, news details and likes answer byte for
// byte what the plain algorithm gives (every record sorted newest first on
// each request, every id found by a walk over the array), before and after
// news are posted, edited, deleted, viewed and liked.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "api/get_routes.h"
#include "api/post_routes.h"
#include "api/settings.h"
#include "storage/database.h"
#include "storage/database_file.h"
#include "storage/json_search.h"
#include "storage/json_tree.h"
#include "storage/records.h"
#include "tests/support/test_support.h"

using testsupport::printedJson;

namespace {

constexpr int kItems = 60;

// Sixty items whose timestamps repeat (equal ones keep their array order),
// one without a timestamp, one whose author no longer exists.
std::string databaseText() {
  std::string news, details;
  for (int id = 1; id <= kItems; ++id) {
    std::string sep = id > 1 ? "," : "";
    std::string timestamp =
        id == 30 ? "" : "\"timestamp\": " + std::to_string(1000 + (id * 7) % 13) + ", ";
    int author = id == 45 ? 9 : 1 + id % 2;
    news += sep + "{\"id\": " + std::to_string(id) + ", \"title\": \"t" + std::to_string(id) +
            "\", " + timestamp + "\"views\": " + std::to_string(id % 4) +
            ", \"comments\": 0, \"likes\": 0, \"user_id\": " + std::to_string(author) +
            ", \"cover\": \"\"}";
    details += sep + "{\"id\": " + std::to_string(id) + ", \"content\": \"c" + std::to_string(id) +
               "\", \"images\": []}";
  }
  return R"({"news_maxid": 60, "user_maxid": 2, "like_maxid": 0, "news": [)" + news +
         R"(], "news_detail": [)" + details + R"(], "user": [
    {"id": 1, "user_sid": "s1", "nickname": "ann", "nickname_uptm": 0, "avatar": "a1.webp", "avatar_uptm": 0, "avatar_hash": ""},
    {"id": 2, "user_sid": "s2", "nickname": "bob", "nickname_uptm": 0, "avatar": "a2.webp", "avatar_uptm": 0, "avatar_hash": ""}],
    "like": []})";
}

struct Answer {
  int status = 0;
  std::string body;
  bool operator==(const Answer& other) const {
    return status == other.status && body == other.body;
  }
};

std::ostream& operator<<(std::ostream& out, const Answer& a) {
  return out << a.status << " " << a.body;
}

Answer answerOf(const std::string& raw) {
  auto [header, body] = testsupport::splitReply(raw);
  return {header.size() > 12 ? std::stoi(header.substr(9, 3)) : 0, body};
}

Answer get(const std::string& path) {
  return answerOf(testsupport::captureReply([&](int fd) { handleGet(fd, path); }));
}

Answer post(const std::string& path, const std::string& body, const std::string& type) {
  const std::string request = testsupport::postRequest(path, type, body);
  return answerOf(testsupport::captureReply([&](int fd) { handlePost(fd, path, request); }));
}

Answer postForm(const std::string& path, const std::string& body) {
  return post(path, body, "application/x-www-form-urlencoded");
}

Answer postNews(const std::string& id, const std::string& title) {
  return post("/v1/postnews",
              testsupport::multipartBody(
                  {{"uid", "1"}, {"sid", "s1"}, {"id", id}, {"title", title}, {"content", "new"}}),
              std::string("multipart/form-data; boundary=") + testsupport::kMultipartBoundary);
}

const Answer kNotFound{404, "{\"r\":404}"};

// One list page as the plain algorithm makes it: all records ordered, then
// the page copied. Caller holds the database lock.
Answer plainPage(int page) {
  const int count = cJSON_GetArraySize(newsArray);
  if (count == 0 || page < 1 || apiSettings.pageSize < 0) return {200, "[]"};
  std::vector<const cJSON*> ordered;
  for (const cJSON* r = newsArray->child; r != nullptr; r = r->next) ordered.push_back(r);
  std::stable_sort(ordered.begin(), ordered.end(), compareByTimestamp);
  const long long start = (page - 1LL) * apiSettings.pageSize;
  if (start > count) return {200, "[]"};
  const long long end = std::min<long long>(start + apiSettings.pageSize, count);
  JsonTree items(cJSON_CreateArray());
  for (long long i = start; i < end; ++i) {
    const cJSON* record = ordered[static_cast<size_t>(i)];
    int author = userIndexById(cJSON_GetObjectItem(record, "user_id")->valueint);
    if (author < 0) return {200, "[]"};
    cJSON* item = cJSON_Duplicate(record, 1);
    cJSON_DeleteItemFromObject(item, "user_id");
    cJSON_AddItemToObject(
        item, "nickname",
        cJSON_Duplicate(cJSON_GetObjectItem(cJSON_GetArrayItem(userArray, author), "nickname"), 1));
    cJSON_AddItemToArray(items.get(), item);
  }
  return {200, printedJson(items.get())};
}

// One news detail as the plain algorithm makes it, with the views record it
// raises. Caller holds the database lock.
Answer plainDetail(int id, const cJSON** viewed) {
  *viewed = nullptr;
  int index = -1;
  const cJSON* detail =
      findObjectByField(newsDetailArray, "id", std::to_string(id).c_str(), &index);
  if (detail == nullptr || cJSON_GetObjectItem(detail, "id")->valueint <= 0) return kNotFound;
  const cJSON* news = cJSON_GetArrayItem(newsArray, index);
  *viewed = news;
  int author = userIndexById(cJSON_GetObjectItem(news, "user_id")->valueint);
  if (author < 0) return kNotFound;
  JsonTree copy(cJSON_Duplicate(detail, 1));
  cJSON_AddItemToObject(
      copy.get(), "avatar",
      cJSON_Duplicate(cJSON_GetObjectItem(cJSON_GetArrayItem(userArray, author), "avatar"), 1));
  return {200, printedJson(copy.get())};
}

int views(const cJSON* news) { return cJSON_GetObjectItem(news, "views")->valueint; }

class NewsRepliesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(
        testsupport::useConfiguration(testsupport::minimalConfig(8080, 10000, "\"admin\": [1]")));
    ASSERT_TRUE(adoptDatabaseText(databaseText()));
    chdir = std::make_unique<testsupport::ScopedChdir>(dir.path);
  }
  void TearDown() override { chdir.reset(); }

  // Every page up to two past the last, and every id from -1 to two past the
  // highest, against the plain algorithm.
  void expectPlainAnswers(const std::string& when) {
    int pages = 0, maxId = 0;
    {
      DatabaseLock lock(databaseMutex);
      pages = cJSON_GetArraySize(newsArray) / apiSettings.pageSize + 3;
      maxId = news_maxid + 2;
    }
    for (int page = -1; page <= pages; ++page) {
      Answer expected;
      {
        DatabaseLock lock(databaseMutex);
        expected = plainPage(page);
      }
      ASSERT_EQ(get("/v1/list/" + std::to_string(page)), expected) << when << ", page " << page;
    }
    for (int id = -1; id <= maxId; ++id) {
      Answer expected;
      const cJSON* viewed = nullptr;
      int before = 0;
      {
        DatabaseLock lock(databaseMutex);
        expected = plainDetail(id, &viewed);
        if (viewed != nullptr) before = views(viewed);
      }
      ASSERT_EQ(get("/v1/news/" + std::to_string(id)), expected) << when << ", news " << id;
      if (viewed != nullptr) {
        DatabaseLock lock(databaseMutex);
        EXPECT_EQ(views(viewed), before + 1) << when << ", news " << id;
      }
    }
  }

  testsupport::TempDir dir;
  std::unique_ptr<testsupport::ScopedChdir> chdir;
};

TEST_F(NewsRepliesTest, ListAndDetailAnswerAsThePlainAlgorithmThroughEveryChange) {
  expectPlainAnswers("as loaded");

  ASSERT_EQ(postNews("0", "posted"), (Answer{200, "{\"id\":61}"}));
  expectPlainAnswers("after a post");

  // An edit gives the item the newest timestamp: it moves to the front.
  ASSERT_EQ(postNews("17", ""), (Answer{200, "{\"id\":62}"}));
  expectPlainAnswers("after an edit");

  ASSERT_EQ(postForm("/v1/delnews", "uid=1&sid=s1&id=23"), (Answer{200, "{\"r\":1}"}));
  ASSERT_EQ(postForm("/v1/delnews", "uid=1&sid=s1&id=1"), (Answer{200, "{\"r\":1}"}));
  ASSERT_EQ(postForm("/v1/delnews", "uid=1&sid=s1&id=61"), (Answer{200, "{\"r\":1}"}));
  expectPlainAnswers("after deletions at the start, middle and end");

  // Likes change the counts on the pages but not the order.
  ASSERT_EQ(postForm("/v1/like", "id=5&sid=s2&uid=2"), (Answer{200, "{\"r\":1}"}));
  ASSERT_EQ(postForm("/v1/like", "id=17&sid=s2&uid=2"), (Answer{200, "{\"r\":1}"}));
  ASSERT_EQ(postForm("/v1/like", "id=5&sid=s2&uid=2"), (Answer{200, "{\"r\":0}"}));
  ASSERT_EQ(postForm("/v1/like", "id=23&sid=s2&uid=2"), kNotFound);
  expectPlainAnswers("after likes");
}

TEST_F(NewsRepliesTest, AnotherDatabaseLoadedInPlaceIsAnsweredFromItsOwnRecords) {
  expectPlainAnswers("first database");
  ASSERT_TRUE(adoptDatabaseText(
      R"({"news_maxid": 3, "user_maxid": 1, "like_maxid": 0,
          "news": [{"id": 3, "title": "x", "timestamp": 5, "views": 0, "comments": 0, "likes": 0, "user_id": 1, "cover": ""},
                   {"id": 2, "title": "y", "timestamp": 9, "views": 0, "comments": 0, "likes": 0, "user_id": 1, "cover": ""}],
          "news_detail": [{"id": 3, "content": "x", "images": []}, {"id": 2, "content": "y", "images": []}],
          "user": [{"id": 1, "user_sid": "s1", "nickname": "ann", "nickname_uptm": 0, "avatar": "", "avatar_uptm": 0, "avatar_hash": ""}],
          "like": []})"));
  expectPlainAnswers("second database");
  ASSERT_TRUE(adoptDatabaseText(databaseText()));
  expectPlainAnswers("the first again");
}

}  // namespace
