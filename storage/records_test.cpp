// records_test.cpp -- user, administrator and like lookups and toggleLike
// over a small fixture database.
#include "storage/records.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>

#include "node/config.h"
#include "storage/database.h"
#include "storage/news_index.h"
#include "storage/record_changes.h"
#include "tests/support/database_fixture.h"
#include "tests/support/test_support.h"

namespace {

constexpr const char* kFixture = R"({
  "news_maxid": 3, "user_maxid": 4, "like_maxid": 10,
  "news": [
    {"id": 1, "title": "a", "timestamp": 100, "views": 0, "comments": 0, "likes": 1, "user_id": 1, "cover": ""},
    {"id": 2, "title": "b", "timestamp": 200, "views": 0, "comments": 0, "likes": 0, "user_id": 1, "cover": ""},
    {"id": 3, "title": "c", "timestamp": 300, "views": 0, "comments": 0, "user_id": 1, "cover": ""}
  ],
  "news_detail": [],
  "user": [
    {"id": 1, "user_sid": "sid-one", "nickname": "one"},
    {"id": 2, "user_sid": "sid-two", "nickname": "two"},
    {"id": 3, "nickname": "no sid"},
    {"nickname": "no id", "user_sid": "sid-noid"},
    {"id": 4, "user_sid": 44, "nickname": "number sid"},
    {"ID": 5, "User_Sid": "sid-five", "nickname": "upper keys"},
    {"id": 6, "user_sid": "sid-two", "nickname": "duplicate sid"}
  ],
  "like": [
    {"id": 10, "news_id": 1, "user_id": 1, "timestamp": 1},
    {"id": 7, "news_id": 2, "user_id": 99, "timestamp": 1}
  ]
})";

// Installs the fixture database and an "admin" list, restoring the globals
// afterwards.
class RecordsTest : public testing::Test {
 protected:
  void SetUp() override { load(kFixture, "{\"admin\": [2, 6, 2, 5]}"); }
  void TearDown() override { unload(); }

  testsupport::TestDatabase database;

  void load(const char* text, const char* config) {
    unload();
    database.install(text);
    configRoot = cJSON_Parse(config);
    ASSERT_NE(configRoot, nullptr);
    administratorList = cJSON_GetObjectItem(configRoot, "admin");
  }
  void unload() {
    cJSON_Delete(configRoot);
    configRoot = nullptr;
    administratorList = nullptr;
  }
  std::string likes() { return testsupport::printedJson(likeArray); }
  int newsLikes(int index) {
    const cJSON* n = cJSON_GetObjectItem(cJSON_GetArrayItem(newsArray, index), "likes");
    return n != nullptr ? n->valueint : -12345;
  }
};

TEST_F(RecordsTest, UserLookups) {
  struct {
    std::string sid;
    int id;
  } bySession[] = {
      {"sid-one", 1},
      {"sid-two", 2},  // first of two users with one sid
      {"44", 4},       // the search matches a number member by its decimal text
      {"SID-ONE", -1},
      {"sid-noid", 0},
      {std::string("sid-one\0tail", 12), 1},  // compared up to the NUL
      {"", -1},
  };
  for (const auto& c : bySession) EXPECT_EQ(userIdBySession(c.sid), c.id) << c.sid;

  struct {
    int id;
    int index;
  } byId[] = {{1, 0}, {2, 1}, {3, 2}, {4, 4}, {5, 5}, {6, 6}, {0, -1}, {7, -1}, {-1, -1}};
  for (const auto& c : byId) EXPECT_EQ(userIndexById(c.id), c.index) << c.id;
}

TEST_F(RecordsTest, Administrators) {
  struct {
    int id;
    int index;
  } plain[] = {{2, 0}, {6, 1}, {5, 3}, {1, -1}, {99, -1}};
  for (const auto& c : plain) EXPECT_EQ(adminIndex(c.id), c.index) << c.id;

  struct {
    std::string sid;
    int index;
  } bySession[] = {
      {"sid-two", 0}, {"sid-one", -1}, {"nobody", -2}, {std::string("sid-two\0x", 9), 0}};
  for (const auto& c : bySession) EXPECT_EQ(adminIndexBySession(c.sid), c.index) << c.sid;

  struct {
    int id;
    std::string sid;
    int index;
  } checked[] = {
      {2, "sid-two", 0},
      {6, "sid-two", 1},
      {5, "sid-five", 3},   // keys found ignoring case
      {2, "sid-one", -1},   // another user's session
      {1, "sid-one", -1},   // not an administrator
      {99, "sid-two", -1},  // no such user
      {4, "44", -1},        // "user_sid" not a text
      {3, "", -1},          // no "user_sid"
      {2, std::string("sid-two\0", 8), -1},
  };
  for (const auto& c : checked) EXPECT_EQ(adminIndexChecked(c.id, c.sid), c.index) << c.id;

  load(kFixture, "{\"name\": \"x\"}");
  EXPECT_EQ(adminIndex(2), -1);
  EXPECT_EQ(adminIndexChecked(2, "sid-two"), -1);
}

TEST_F(RecordsTest, FindLike) {
  struct {
    int news, user;
    std::string sid;
    int result;
  } cases[] = {
      {1, 1, "sid-one", 10}, {1, 1, "sid-two", -2}, {1, 2, "sid-two", -1},  {1, 99, "any", -1},
      {2, 99, "any", -2},    {3, 1, "sid-one", -1}, {-4, 1, "sid-one", -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(findLike(c.news, c.user, c.sid), c.result) << c.news << "/" << c.user << "/" << c.sid;
  }
}

TEST_F(RecordsTest, ToggleLike) {
  std::string before = likes();
  // Refused adds: no such user, another user's session, no sid, a sid with a
  // NUL. Nothing changes.
  struct {
    int news, user;
    std::string sid;
  } refused[] = {{2, 99, "any"},
                 {2, 1, "sid-two"},
                 {2, 3, ""},
                 {2, 1, std::string("sid-one\0", 8)},
                 {2, 99, "any"}};
  for (const auto& c : refused) {
    EXPECT_EQ(toggleLike(c.news, c.user, c.sid), -1) << c.user << "/" << c.sid;
  }
  EXPECT_EQ(likes(), before);
  EXPECT_EQ(like_maxid, 10);
  EXPECT_EQ(newsLikes(1), 0);

  // Removing needs the user's own session.
  EXPECT_EQ(toggleLike(1, 1, "sid-two"), -1);
  EXPECT_EQ(likes(), before);
  EXPECT_EQ(toggleLike(1, 1, "sid-one"), 0);
  EXPECT_EQ(newsLikes(0), 0);
  EXPECT_EQ(like_maxid, 10);
  EXPECT_EQ(likes(), "[{\"id\":7,\"news_id\":2,\"user_id\":99,\"timestamp\":1}]");

  // Adding appends a record in member order and raises counter and count.
  std::time_t now = std::time(nullptr);
  EXPECT_EQ(toggleLike(2, 2, "sid-two"), 1);
  EXPECT_EQ(like_maxid, 11);
  EXPECT_EQ(newsLikes(1), 1);
  const cJSON* added = cJSON_GetArrayItem(likeArray, 1);
  ASSERT_NE(added, nullptr);
  EXPECT_STREQ(added->child->string, "id");
  EXPECT_STREQ(added->child->next->string, "news_id");
  EXPECT_STREQ(added->child->next->next->string, "user_id");
  EXPECT_STREQ(added->child->next->next->next->string, "timestamp");
  EXPECT_EQ(cJSON_GetObjectItem(added, "id")->valueint, 11);
  EXPECT_GE(cJSON_GetObjectItem(added, "timestamp")->valuedouble, static_cast<double>(now));
  // The "likes" member keeps its place among the members.
  const cJSON* news = cJSON_GetArrayItem(newsArray, 1);
  EXPECT_STREQ(cJSON_GetArrayItem(news, 5)->string, "likes");

  // On then off leaves array and count as they were, the counter one higher.
  std::string mid = likes();
  EXPECT_EQ(toggleLike(1, 2, "sid-two"), 1);
  EXPECT_EQ(toggleLike(1, 2, "sid-two"), 0);
  EXPECT_EQ(likes(), mid);
  EXPECT_EQ(newsLikes(0), 0);
  EXPECT_EQ(like_maxid, 12);
  // Counts have no lower bound.
  EXPECT_EQ(toggleLike(2, 2, "sid-two"), 0);
  EXPECT_EQ(toggleLike(2, 1, "sid-one"), 1);
  EXPECT_EQ(toggleLike(2, 1, "sid-one"), 0);
  EXPECT_EQ(newsLikes(1), 0);
}

TEST_F(RecordsTest, ToggleLikeOddNewsRecords) {
  // No news record with the id: the like change stands, the answer is -1.
  EXPECT_EQ(toggleLike(50, 1, "sid-one"), -1);
  EXPECT_EQ(like_maxid, 11);
  EXPECT_EQ(findLike(50, 1, "sid-one"), 11);
  EXPECT_EQ(toggleLike(50, 1, "sid-one"), -1);
  EXPECT_EQ(findLike(50, 1, "sid-one"), -1);
  // A news record without "likes" keeps the like change and stays as it is.
  EXPECT_EQ(toggleLike(3, 1, "sid-one"), 1);
  EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetArrayItem(newsArray, 2), "likes"), nullptr);
  EXPECT_EQ(toggleLike(3, 1, "sid-one"), 0);
}

TEST_F(RecordsTest, ToggleLikeCountsOnTheFirstNewsRecordWithTheId) {
  // Ids as damaged files may hold them: a text that is not the id's own
  // decimal form, a fraction, the id as a text, then the id twice.
  load(R"({"news_maxid": 0, "user_maxid": 1, "like_maxid": 0,
    "news": [{"id": "02", "likes": 0}, {"id": 2.5, "likes": 0}, 7, {"id": "2", "likes": 3},
             {"id": 2, "likes": 5}, {"id": 2, "likes": 9}],
    "news_detail": [], "user": [{"id": 1, "user_sid": "s"}], "like": []})",
       "{}");
  EXPECT_EQ(toggleLike(2, 1, "s"), 1);
  EXPECT_EQ(newsLikes(3), 4);
  EXPECT_EQ(toggleLike(2, 1, "s"), 0);
  EXPECT_EQ(newsLikes(3), 3);
  // Once that record is gone the next one with the id counts.
  deleteNewsItem(3);
  EXPECT_EQ(toggleLike(2, 1, "s"), 1);
  EXPECT_EQ(newsLikes(3), 6);
  EXPECT_EQ(newsLikes(4), 9);
  // A record appended later is found too.
  ASSERT_TRUE(appendNewsItem(cJSON_Parse(R"({"id": 8, "likes": 1})"), cJSON_Parse(R"({"id": 8})")));
  EXPECT_EQ(toggleLike(8, 1, "s"), 1);
  EXPECT_EQ(newsLikes(5), 2);
}

TEST_F(RecordsTest, ToggleLikeRefusesWhenCounterIsExhausted) {
  like_maxid = kMaxCounterValue;
  std::string before = likes();
  EXPECT_EQ(toggleLike(2, 2, "sid-two"), -1);
  EXPECT_EQ(likes(), before);
  EXPECT_EQ(newsLikes(1), 0);
  EXPECT_EQ(like_maxid, kMaxCounterValue);
  // A removal still works.
  EXPECT_EQ(toggleLike(1, 1, "sid-one"), 0);
}

}  // namespace

// A member that cannot be made (its creation ran out of memory) changes
// nothing: the record, its stamp and the change count stay. One that is
// placed keeps its position and the spelling of the key it replaces.
TEST_F(RecordsTest, SetRecordMemberReportsAMemberThatCannotBePlaced) {
  DatabaseLock lock(databaseMutex);
  cJSON* user = userById(1);
  const std::string before = testsupport::printedJson(user);
  const double stamp = recordStamp(user);
  const std::uint64_t changes = databaseChangeCount();
  EXPECT_FALSE(setRecordMember(user, "nickname", nullptr));
  EXPECT_EQ(testsupport::printedJson(user), before);
  EXPECT_EQ(recordStamp(user), stamp);
  EXPECT_EQ(databaseChangeCount(), changes);

  EXPECT_TRUE(setRecordMember(user, "nickname", cJSON_CreateString("new")));
  EXPECT_EQ(testsupport::printedJson(user),
            "{\"id\":1,\"user_sid\":\"sid-one\",\"nickname\":\"new\"}");
  EXPECT_NE(recordStamp(user), stamp);
  EXPECT_GT(databaseChangeCount(), changes);
  cJSON* upper = userById(5);
  EXPECT_TRUE(setRecordMember(upper, "user_sid", cJSON_CreateString("s")));
  EXPECT_EQ(testsupport::printedJson(upper),
            "{\"ID\":5,\"user_sid\":\"s\",\"nickname\":\"upper keys\"}");
}
