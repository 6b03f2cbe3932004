// news_index_test.cpp -- the kept list order and id lookups give what the
// plain searches give: findObjectByField over the arrays and a stable sort
// under compareByTimestamp, before and after the arrays change.
#include "storage/news_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "storage/database.h"
#include "storage/json_search.h"
#include "storage/record_changes.h"
#include "tests/support/database_fixture.h"
#include "tests/support/test_support.h"

namespace {

using InstalledDatabase = testsupport::TestDatabase;

std::vector<cJSON*> plainListOrder() {
  std::vector<cJSON*> ordered;
  for (cJSON* record = newsArray->child; record != nullptr; record = record->next) {
    ordered.push_back(record);
  }
  std::stable_sort(ordered.begin(), ordered.end(), compareByTimestamp);
  return ordered;
}

// Every id the test arrays hold, its neighbours and the int limits.
std::vector<int> probeIds() {
  std::vector<int> ids = {INT_MIN, INT_MAX, 1000000, 2147483, 10};
  for (int id = -5; id <= 12; ++id) ids.push_back(id);
  return ids;
}

void expectSameAsPlainSearches() {
  DatabaseLock lock(databaseMutex);
  for (int id : probeIds()) {
    std::string text = std::to_string(id);
    int plainIndex = -7, indexed = -7;
    cJSON* plain = findObjectByField(newsArray, "id", text.c_str(), &plainIndex);
    EXPECT_EQ(findNewsById(id, &indexed), plain) << "news id " << id;
    EXPECT_EQ(indexed, plainIndex) << "news id " << id;
    plain = findObjectByField(newsDetailArray, "id", text.c_str(), &plainIndex);
    EXPECT_EQ(findNewsDetailById(id, &indexed), plain) << "detail id " << id;
    EXPECT_EQ(indexed, plainIndex) << "detail id " << id;
  }
  EXPECT_EQ(newsInListOrder(), plainListOrder());
  int count = cJSON_GetArraySize(newsArray);
  EXPECT_EQ(newsCount(), count);
  for (int i = -1; i <= count; ++i) {
    EXPECT_EQ(newsRecordAt(i), cJSON_GetArrayItem(newsArray, i)) << "index " << i;
  }
}

// Ids the way damaged or hand-made files may hold them: texts, fractions,
// wrong-case keys, duplicates, non-objects; timestamps equal, missing or texts.
const char* kOddDatabase = R"({
  "news_maxid": 9, "user_maxid": 0, "like_maxid": 0,
  "news": [5, {"title": "no id", "timestamp": 50}, {"ID": 3, "timestamp": 40},
           {"id": "4", "timestamp": 40}, {"id": "007", "timestamp": 60}, {"id": 4, "timestamp": 40},
           {"id": 2.5}, {"id": 1e10, "timestamp": "70"}, {"id": -3, "timestamp": 10},
           {"id": 0, "timestamp": 40}, {"id": 7, "timestamp": 80}, {"id": 7, "timestamp": 80},
           {"id": true, "timestamp": 5}, {"id": null}, {"id": "-0"}, {"id": 10, "timestamp": 90.5}],
  "news_detail": [{"id": 7}, {"id": "10"}, {"id": 4}, 3, {"id": 10}, {"id": -3}],
  "user": [], "like": []
})";

TEST(NewsIndex, LookupsAndOrderMatchThePlainSearches) {
  InstalledDatabase db(kOddDatabase);
  auto printed = [] {
    char* text = cJSON_Print(databaseRoot);
    std::string copy = text;
    cJSON_free(text);
    return copy;
  };
  std::string before = printed();
  expectSameAsPlainSearches();
  // The index leaves the saved text of the database as it was.
  EXPECT_EQ(printed(), before);
}

TEST(NewsIndex, EmptyArraysFindNothing) {
  InstalledDatabase db(
      R"({"news_maxid": 0, "user_maxid": 0, "like_maxid": 0, "news": [], "news_detail": [],
          "user": [], "like": []})");
  expectSameAsPlainSearches();
  DatabaseLock lock(databaseMutex);
  EXPECT_TRUE(newsInListOrder().empty());
  int index = 5;
  EXPECT_EQ(findNewsById(0, &index), nullptr);
  EXPECT_EQ(index, -1);
  EXPECT_EQ(findNewsById(0, nullptr), nullptr);
}

TEST(NewsIndex, FollowsPostsEditsAndDeletions) {
  InstalledDatabase db(kOddDatabase);
  expectSameAsPlainSearches();

  {
    DatabaseLock lock(databaseMutex);
    ASSERT_TRUE(appendNewsItem(cJSON_Parse(R"({"id": 11, "timestamp": 85})"),
                               cJSON_Parse(R"({"id": 11})")));
  }
  expectSameAsPlainSearches();
  {
    // The arrays are out of step in this database: the detail at the same
    // index goes with the record.
    DatabaseLock lock(databaseMutex);
    deleteNewsItem(5);
  }
  expectSameAsPlainSearches();
  {
    DatabaseLock lock(databaseMutex);
    deleteNewsItem(0);  // the first element
    ASSERT_TRUE(setNewsMember(newsRecordAt(7), "timestamp", cJSON_CreateNumber(1000)));
  }
  expectSameAsPlainSearches();
  {
    // Views and likes move nothing.
    DatabaseLock lock(databaseMutex);
    cJSON* record = findNewsById(10, nullptr);
    ASSERT_NE(record, nullptr);
    ASSERT_TRUE(setRecordMember(record, "views", cJSON_CreateNumber(99)));
  }
  expectSameAsPlainSearches();
  {
    DatabaseLock lock(databaseMutex);
    while (newsCount() > 0) deleteNewsItem(0);
  }
  expectSameAsPlainSearches();
}

TEST(NewsIndex, ANewTreeIsNeverTakenForTheOldOne) {
  // Trees of one shape, freed and parsed again, tend to land on the same
  // addresses; only their timestamps and ids differ from round to round.
  auto text = [](int round) {
    std::string news, details;
    for (int i = 1; i <= 6; ++i) {
      int id = i + round;
      news += (i > 1 ? "," : "") + std::string("{\"id\":") + std::to_string(id) +
              ",\"timestamp\":" + std::to_string((i * (round + 3)) % 7) + "}";
      details += (i > 1 ? "," : "") + std::string("{\"id\":") + std::to_string(id) + "}";
    }
    return "{\"news_maxid\":0,\"user_maxid\":0,\"like_maxid\":0,\"news\":[" + news +
           "],\"news_detail\":[" + details + "],\"user\":[],\"like\":[]}";
  };
  InstalledDatabase db(text(0));
  for (int round = 0; round < 12; ++round) {
    db.install(text(round));
    expectSameAsPlainSearches();
  }
  {
    DatabaseLock lock(databaseMutex);
    ASSERT_TRUE(setNewsMember(newsRecordAt(1), "timestamp", cJSON_CreateNumber(100)));
  }
  expectSameAsPlainSearches();
}

}  // namespace

namespace {

// The database text as it stands (for a reload in place).
std::string databaseTextNow() {
  DatabaseLock lock(databaseMutex);
  return testsupport::printedJson(databaseRoot);
}

TEST(NewsIndex, KeptOrderFollowsMixedChangesAsTheStableSort) {
  // Few distinct timestamps, so that ties (decided by array order) abound;
  // some records carry none or a text in its place.
  InstalledDatabase db(kOddDatabase);
  std::mt19937 random(12);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  auto timestamp = [&]() -> cJSON* {
    switch (pick(8)) {
      case 0:
        return cJSON_CreateString("70");
      case 1:
        return cJSON_CreateNull();
      default:
        return cJSON_CreateNumber(10 * pick(6));
    }
  };
  int nextId = 100;
  for (int step = 0; step < 400; ++step) {
    std::string what;
    {
      DatabaseLock lock(databaseMutex);
      const int count = newsCount();
      const int choice = pick(10);
      if (choice < 4 || count == 0) {
        what = "post";
        cJSON* news = cJSON_CreateObject();
        cJSON_AddNumberToObject(news, "id", nextId);
        if (pick(6) != 0) cJSON_AddItemToObject(news, "timestamp", timestamp());
        cJSON* detail = cJSON_CreateObject();
        cJSON_AddNumberToObject(detail, "id", nextId++);
        ASSERT_TRUE(appendNewsItem(news, detail));
      } else if (choice < 8) {
        what = "edit";
        // An edit finds the item by id (the first record with it) and moves
        // it by its new timestamp, as postnews does.
        int index = -1;
        cJSON* news = findNewsById(100 + pick(nextId - 100 + 1), &index);
        if (news == nullptr) news = newsRecordAt(pick(count));
        setNewsMember(news, "timestamp", timestamp());
      } else {
        what = "delete";
        deleteNewsItem(pick(count));
      }
    }
    if (step % 50 == 49) {
      what = "reload";
      db.install(databaseTextNow());
    }
    SCOPED_TRACE("step " + std::to_string(step) + ": " + what);
    DatabaseLock lock(databaseMutex);
    ASSERT_EQ(newsInListOrder(), plainListOrder());
  }
  expectSameAsPlainSearches();
}

}  // namespace
