// like_index_test.cpp -- findLike and toggleLike, which go through the like
// index, answer and change the database exactly as the plain algorithm does
// (every like copied out by news id and searched by user id, the removed
// record searched by id over the whole array), over like records with
// repeated and odd ids, through toggles, appends, removals and databases
// loaded in place.
#include "storage/like_index.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "storage/database.h"
#include "storage/json_search.h"
#include "storage/json_tree.h"
#include "storage/news_index.h"
#include "storage/record_changes.h"
#include "storage/records.h"
#include "tests/support/database_fixture.h"
#include "tests/support/test_support.h"

using testsupport::printedJson;

namespace {

// Likes as damaged or hand-edited files may hold them; every record carries
// its own "timestamp", so two prints are equal only for the same record.
constexpr const char* kDatabase = R"({
  "news_maxid": 9, "user_maxid": 3, "like_maxid": 20,
  "news": [
    {"id": 1, "likes": 4}, {"id": 2, "likes": 1}, {"id": 3, "likes": 2}, {"id": 4, "likes": 1},
    {"id": 5, "likes": 1}, {"id": 6, "likes": 1}, {"id": 7, "likes": 1}, {"id": 8, "likes": 0},
    {"id": 9, "likes": 1}, {"id": -3, "likes": 1}, {"id": 0, "likes": 0}
  ],
  "news_detail": [],
  "user": [
    {"id": 1, "user_sid": "s1"}, {"id": 2, "user_sid": "s2"}, {"id": 3}
  ],
  "like": [
    {"id": 1, "news_id": 1, "user_id": 1, "timestamp": 101},
    {"id": 2, "news_id": 1, "user_id": 1, "timestamp": 102},
    {"id": "3", "news_id": "2", "user_id": "1", "timestamp": 103},
    {"id": 4, "news_id": "02", "user_id": 1, "timestamp": 104},
    {"id": 5, "news_id": 2.5, "user_id": 2, "timestamp": 105},
    {"id": 6.7, "news_id": 3, "user_id": 1, "timestamp": 106},
    {"id": 6, "news_id": 4, "user_id": 2, "timestamp": 107},
    {"news_id": 5, "user_id": 1, "timestamp": 108},
    {"id": 0, "news_id": 9, "user_id": 2, "timestamp": 109},
    {"ID": 8, "news_id": 6, "user_id": 1, "timestamp": 110},
    {"id": 8, "news_id": 7, "user_id": 2, "timestamp": 111},
    {"id": 9, "News_Id": 1, "user_id": 2, "timestamp": 112},
    {"id": 10, "news_id": 8, "news_id": 1, "user_id": 2, "timestamp": 113},
    7, "text", null, [1, 2], {},
    {"id": 11, "news_id": 3000000000, "user_id": 1, "timestamp": 114},
    {"id": 12, "news_id": -3, "user_id": 1, "timestamp": 115},
    {"id": 13, "news_id": true, "user_id": 1, "timestamp": 116},
    {"id": "14", "news_id": 3, "user_id": 2, "timestamp": 117},
    {"id": 1e10, "news_id": 1, "user_id": 3, "timestamp": 118},
    {"id": 15, "news_id": 1, "user_id": 99, "timestamp": 119},
    {"id": 2, "news_id": 2, "user_id": 2, "timestamp": 120},
    {"id": 16, "news_id": 0, "user_id": 1, "timestamp": 121},
    {"id": 17, "news_id": 2, "user_id": 1.0, "timestamp": 122}
  ]
})";

const std::vector<int>& probeNewsIds() {
  static const std::vector<int> ids = {-3, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 50, INT_MIN, INT_MAX};
  return ids;
}
const std::vector<int>& probeUserIds() {
  static const std::vector<int> ids = {1, 2, 3, 99, 0};
  return ids;
}
const std::vector<std::string>& probeSessions() {
  static const std::vector<std::string> sids = {"s1", "s2", "x"};
  return sids;
}

// The plain algorithm over the arrays of one tree.
struct PlainDatabase {
  JsonTree root;
  int likeCounter = 0;
  cJSON* likes() const { return cJSON_GetObjectItem(root.get(), "like"); }
  cJSON* users() const { return cJSON_GetObjectItem(root.get(), "user"); }
  cJSON* news() const { return cJSON_GetObjectItem(root.get(), "news"); }

  // The user's record when it exists and sessionId is its "user_sid" byte
  // for byte; userFound tells whether the user exists at all.
  bool sessionIsUsers(int userId, const std::string& sessionId, bool* userFound) const {
    *userFound = false;
    for (const cJSON* user = users()->child; user != nullptr; user = user->next) {
      const cJSON* id = cJSON_GetObjectItem(user, "id");
      if (id == nullptr || jsonIntValue(id) != userId) continue;
      *userFound = true;
      const cJSON* sid = cJSON_GetObjectItem(user, "user_sid");
      return cJSON_IsString(sid) && sessionId == sid->valuestring;
    }
    return false;
  }

  int findLike(int newsId, int userId, const std::string& sessionId) const {
    JsonTree copies(findAllObjectsByField(likes(), "news_id", std::to_string(newsId).c_str()));
    if (copies == nullptr) return -2;
    const cJSON* like =
        findObjectByField(copies.get(), "user_id", std::to_string(userId).c_str(), nullptr);
    if (like == nullptr) return -1;
    bool userFound = false;
    if (!sessionIsUsers(userId, sessionId, &userFound)) return -2;
    return jsonIntValue(cJSON_GetObjectItem(like, "id"));
  }

  // timestamp: what the toggle under test stamped on a like it added.
  int toggleLike(int newsId, int userId, const std::string& sessionId, double timestamp) {
    int result;
    int existing = findLike(newsId, userId, sessionId);
    if (existing == -1) {
      bool userFound = false;
      if (!sessionIsUsers(userId, sessionId, &userFound)) return -1;
      if (likeCounter >= kMaxCounterValue) return -1;
      cJSON* like = cJSON_CreateObject();
      cJSON_AddNumberToObject(like, "id", ++likeCounter);
      cJSON_AddNumberToObject(like, "news_id", newsId);
      cJSON_AddNumberToObject(like, "user_id", userId);
      cJSON_AddNumberToObject(like, "timestamp", timestamp);
      cJSON_AddItemToArray(likes(), like);
      result = 1;
    } else if (existing >= 0) {
      int index = -1;
      findObjectByField(likes(), "id", std::to_string(existing).c_str(), &index);
      if (index < 0) return -1;
      cJSON_DeleteItemFromArray(likes(), index);
      result = 0;
    } else {
      return -1;
    }
    cJSON* record = findObjectByField(news(), "id", std::to_string(newsId).c_str(), nullptr);
    if (record == nullptr) return -1;
    const cJSON* count = cJSON_GetObjectItem(record, "likes");
    if (count != nullptr) {
      cJSON_ReplaceItemInObject(
          record, "likes",
          cJSON_CreateNumber(static_cast<double>(jsonIntValue(count)) + (result == 1 ? 1 : -1)));
    }
    return result;
  }
};

// The node's database (served through the index) and its plain twin, loaded
// from one text.
class LikeIndexTest : public testing::Test {
 protected:
  testsupport::TestDatabase served;
  PlainDatabase plain;

  void SetUp() override { load(kDatabase); }

  // Replaces both databases by text, freeing the served one first so that
  // the new tree may land on the old addresses, as a reload in place does.
  void load(const std::string& text) {
    served.install(text);
    DatabaseLock lock(databaseMutex);
    plain.root.reset(cJSON_Parse(text.c_str()));
    plain.likeCounter = like_maxid;
  }

  // Saves the served database (counter included) and loads it again.
  void reload() {
    std::string text;
    {
      DatabaseLock lock(databaseMutex);
      cJSON_ReplaceItemInObject(databaseRoot, "like_maxid", cJSON_CreateNumber(like_maxid));
      text = printedJson(databaseRoot);
    }
    cJSON_ReplaceItemInObject(plain.root.get(), "like_maxid",
                              cJSON_CreateNumber(plain.likeCounter));
    EXPECT_EQ(text, printedJson(plain.root.get()));
    load(text);
  }

  void expectSameDatabases(const std::string& step) {
    DatabaseLock lock(databaseMutex);
    EXPECT_EQ(printedJson(likeArray), printedJson(plain.likes())) << step;
    EXPECT_EQ(printedJson(newsArray), printedJson(plain.news())) << step;
    EXPECT_EQ(like_maxid, plain.likeCounter) << step;
  }

  // Every probe of findLike, and the index's own lookups against the plain
  // searches they stand for.
  void expectSameLookups(const std::string& step) {
    DatabaseLock lock(databaseMutex);
    for (int newsId : probeNewsIds()) {
      for (int userId : probeUserIds()) {
        std::string where =
            step + ": news " + std::to_string(newsId) + " user " + std::to_string(userId);
        JsonTree copies(
            findAllObjectsByField(likeArray, "news_id", std::to_string(newsId).c_str()));
        const cJSON* copy =
            findObjectByField(copies.get(), "user_id", std::to_string(userId).c_str(), nullptr);
        EXPECT_EQ(printedJson(findLikeRecord(newsId, userId)), printedJson(copy)) << where;
        for (const std::string& sid : probeSessions()) {
          EXPECT_EQ(findLike(newsId, userId, sid), plain.findLike(newsId, userId, sid))
              << where << " sid " << sid;
        }
      }
      cJSON* byId = findObjectByField(likeArray, "id", std::to_string(newsId).c_str(), nullptr);
      EXPECT_EQ(findLikeById(newsId), byId) << step << ": like id " << newsId;
    }
    for (int id : {6, 10, 14, 15, 16, 17, 20, 21, 22, INT_MAX}) {
      EXPECT_EQ(findLikeById(id),
                findObjectByField(likeArray, "id", std::to_string(id).c_str(), nullptr))
          << step << ": like id " << id;
    }
  }

  // One toggle on both databases; the results and the databases must agree.
  void toggle(int newsId, int userId, const std::string& sid, const std::string& step) {
    int result;
    double timestamp = 0;
    {
      DatabaseLock lock(databaseMutex);
      const cJSON* lastBefore = likeArray->child != nullptr ? likeArray->child->prev : nullptr;
      result = toggleLike(newsId, userId, sid);
      const cJSON* last = likeArray->child != nullptr ? likeArray->child->prev : nullptr;
      if (last != lastBefore && last != nullptr) {
        timestamp = cJSON_GetObjectItem(last, "timestamp")->valuedouble;
      }
    }
    EXPECT_EQ(result, plain.toggleLike(newsId, userId, sid, timestamp)) << step;
    expectSameDatabases(step);
  }
};

TEST_F(LikeIndexTest, LookupsAnswerAsThePlainSearches) {
  expectSameLookups("loaded");
  // A few answers spelled out: the first of two likes of one item by one
  // user; a text id reads as 0; a fraction is cut; the upper-case "ID" is
  // the like's id; a user that does not exist has no removable like.
  DatabaseLock lock(databaseMutex);
  EXPECT_EQ(findLike(1, 1, "s1"), 1);
  EXPECT_EQ(findLike(2, 1, "s1"), 0);
  EXPECT_EQ(findLike(3, 1, "s1"), 6);
  EXPECT_EQ(findLike(6, 1, "s1"), 8);
  EXPECT_EQ(findLike(1, 99, "x"), -2);
  EXPECT_EQ(findLike(1, 3, "x"), -2);
  EXPECT_EQ(findLike(5, 2, "s2"), -1);
}

TEST_F(LikeIndexTest, EveryToggleChangesWhatThePlainAlgorithmChanges) {
  // Every probe once, in order: removals of odd records (the 6.7 like takes
  // the record with id 6, the text ids take the record with id 0), adds,
  // refusals.
  for (int newsId : probeNewsIds()) {
    for (int userId : probeUserIds()) {
      for (const std::string& sid : probeSessions()) {
        toggle(newsId, userId, sid,
               "toggle " + std::to_string(newsId) + "/" + std::to_string(userId) + "/" + sid);
      }
    }
  }
  expectSameLookups("after every probe");

  // A long run of toggles on a few items by the two users with sessions,
  // saved and loaded again now and then.
  unsigned state = 12345;
  for (int step = 0; step < 600; ++step) {
    state = state * 1103515245u + 12345u;
    int newsId = probeNewsIds()[(state >> 8) % 6];
    int userId = 1 + static_cast<int>((state >> 16) % 2);
    std::string sid = (state >> 20) % 8 == 0 ? "x" : "s" + std::to_string(userId);
    toggle(newsId, userId, sid, "run step " + std::to_string(step));
    if (step % 97 == 0) {
      reload();
      expectSameLookups("reloaded at step " + std::to_string(step));
    }
  }
  expectSameLookups("after the run");
}

TEST_F(LikeIndexTest, AppendsRemovalsAndReloadsAreSeen) {
  {
    DatabaseLock lock(databaseMutex);
    ASSERT_TRUE(appendLike(cJSON_Parse(R"({"id": 30, "news_id": 8, "user_id": 1})")));
    EXPECT_EQ(findLike(8, 1, "s1"), 30);
    deleteLike(likeArray->child);
    EXPECT_EQ(findLike(1, 1, "s1"), 2);
    EXPECT_EQ(findLikeById(1), nullptr);
    deleteLike(likeArray->child);
    deleteLike(likeArray->child);
  }
  // A database loaded in place whose records differ in the middle only: the
  // new tree tends to land on the old addresses.
  auto reloadWithMiddle = [&](const char* key, int value) {
    std::string text;
    {
      DatabaseLock lock(databaseMutex);
      cJSON_ReplaceItemInObject(cJSON_GetArrayItem(likeArray, 3), key, cJSON_CreateNumber(value));
      text = printedJson(databaseRoot);
    }
    load(text);
  };
  reloadWithMiddle("user_id", 7);
  {
    DatabaseLock lock(databaseMutex);
    EXPECT_EQ(findLikeRecord(4, 2), nullptr);
    EXPECT_EQ(findLikeRecord(4, 7), cJSON_GetArrayItem(likeArray, 3));
  }
  reloadWithMiddle("news_id", 5);
  DatabaseLock lock(databaseMutex);
  cJSON* middle = cJSON_GetArrayItem(likeArray, 3);
  EXPECT_EQ(findLikeRecord(4, 7), nullptr);
  EXPECT_EQ(findLikeRecord(5, 7), middle);
  // A like array emptied and filled again through the index.
  while (likeArray->child != nullptr) deleteLike(likeArray->child);
  EXPECT_EQ(findLikeRecord(5, 7), nullptr);
  EXPECT_EQ(findLikeById(6), nullptr);
  cJSON* like = cJSON_Parse(R"({"id": 40, "news_id": 1, "user_id": 2})");
  ASSERT_TRUE(appendLike(like));
  EXPECT_EQ(findLikeRecord(1, 2), like);
  EXPECT_EQ(findLikeById(40), like);
  EXPECT_EQ(printedJson(likeArray), R"([{"id":40,"news_id":1,"user_id":2}])");
}

TEST_F(LikeIndexTest, ADatabaseLoadedInPlaceIsAnsweredFromItsOwnLikes) {
  // Trees of one shape parsed again tend to reuse the old addresses: the
  // like array node, its first and last records. Only the ids differ.
  for (int round = 0; round < 10; ++round) {
    std::string likes;
    for (int i = 1; i <= 5; ++i) {
      likes += (i > 1 ? "," : "") + std::string("{\"id\":") + std::to_string(i + round) +
               ",\"news_id\":" + std::to_string((i + round) % 4) +
               ",\"user_id\":" + std::to_string(1 + (i + round) % 2) + "}";
    }
    load(R"({"news_maxid":0,"user_maxid":2,"like_maxid":50,"news":[{"id":1,"likes":0}],)"
         R"("news_detail":[],"user":[{"id":1,"user_sid":"s1"},{"id":2,"user_sid":"s2"}],)"
         R"("like":[)" +
         likes + "]}");
    expectSameLookups("round " + std::to_string(round));
    toggle(1, 1, "s1", "round " + std::to_string(round));
    toggle(1, 2, "s2", "round " + std::to_string(round));
  }
  // Nothing to search: no database installed.
  DatabaseLock lock(databaseMutex);
  clearDatabase();
  EXPECT_EQ(findLike(1, 1, "s1"), -2);
  EXPECT_EQ(toggleLike(1, 1, "s1"), -1);
  EXPECT_EQ(like_maxid, 0);
  JsonTree refused(cJSON_CreateObject());
  EXPECT_FALSE(appendLike(refused.get()));
}

}  // namespace
