// user_index_test.cpp -- user lookups through the user index answer as the
// plain walks over the "user" array do (first match in array order), over
// records with repeated, odd and missing ids and session ids, through
// appends and databases loaded in place.
#include "storage/user_index.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "storage/database.h"
#include "storage/json_search.h"
#include "storage/json_tree.h"
#include "storage/record_changes.h"
#include "storage/records.h"
#include "tests/support/database_fixture.h"

namespace {

constexpr const char* kUsers = R"([
  {"id": 1, "user_sid": "s1"},
  {"id": 2, "user_sid": "s2"},
  {"id": 2, "user_sid": "second two"},
  {"id": 3},
  {"nickname": "no id", "user_sid": "s-noid"},
  {"id": 4, "user_sid": 44},
  {"ID": 5, "User_Sid": "s5"},
  {"id": 6, "user_sid": "s2"},
  {"id": "7", "user_sid": "TRUE"},
  {"id": 8.9, "user_sid": true},
  {"id": -1, "user_sid": null},
  {"id": 1e12, "user_sid": "big"},
  {"id": 9, "user_sid": 44},
  {"id": 10, "user_sid": ""},
  "not a record", 12, [1, 2],
  {"id": 11, "user_sid": "s11"}
])";

// The plain walks the index replaces.
cJSON* plainById(int userId) {
  for (cJSON* user = userArray->child; user != nullptr; user = user->next) {
    const cJSON* id = cJSON_GetObjectItem(user, "id");
    if (id != nullptr && jsonIntValue(id) == userId) return user;
  }
  return nullptr;
}

cJSON* plainBySession(const char* sid) {
  return findObjectByField(userArray, "user_sid", sid, nullptr);
}

// A database holding only the given "user" array.
struct InstalledUsers {
  testsupport::TestDatabase database;
  void install(const std::string& users) {
    database.install(R"({"news": [], "news_detail": [], "like": [], "user": )" + users + "}");
  }
};

void expectSameAsPlainWalks() {
  DatabaseLock lock(databaseMutex);
  std::vector<int> ids = {INT_MIN, INT_MAX, 0, 100};
  for (int id = -2; id <= 14; ++id) ids.push_back(id);
  for (int id : ids) {
    int index = -2;
    EXPECT_EQ(findUserById(id, &index), plainById(id)) << id;
    int plainIndex = -1, i = 0;
    for (cJSON* user = userArray->child; user != nullptr; user = user->next, ++i) {
      if (user == plainById(id)) plainIndex = i;
    }
    EXPECT_EQ(index, plainIndex) << id;
    EXPECT_EQ(userIndexById(id), plainIndex) << id;
  }
  const char* sessions[] = {"s1",   "s2",  "second two", "s5",   "S5",     "s-noid", "44",
                            "44.0", " 44", "true",       "TRUE", "null",   "",       "big",
                            "s11",  "s12", "nothing",    "2",    "4.4e1 ", "0x2c"};
  for (const char* sid : sessions) {
    EXPECT_EQ(findUserBySession(sid), plainBySession(sid)) << sid;
    const cJSON* plain = plainBySession(sid);
    EXPECT_EQ(userIdBySession(sid),
              plain != nullptr ? jsonIntValue(cJSON_GetObjectItem(plain, "id")) : -1)
        << sid;
  }
}

TEST(UserIndex, LookupsAnswerAsThePlainWalks) {
  InstalledUsers db;
  db.install(kUsers);
  expectSameAsPlainWalks();
  // A session id holding a NUL byte is looked up up to that byte.
  DatabaseLock lock(databaseMutex);
  EXPECT_EQ(userIdBySession(std::string("s1\0tail", 7)), 1);
}

TEST(UserIndex, FollowsAppendsAndReloads) {
  InstalledUsers db;
  db.install(kUsers);
  expectSameAsPlainWalks();
  {
    // Appends through the index: a repeated id and session stay second.
    DatabaseLock lock(databaseMutex);
    ASSERT_TRUE(appendUser(cJSON_Parse(R"({"id": 12, "user_sid": "s12"})")));
    ASSERT_TRUE(appendUser(cJSON_Parse(R"({"id": 1, "user_sid": "s2"})")));
    ASSERT_TRUE(appendUser(cJSON_Parse(R"({"id": 13, "user_sid": 2})")));
  }
  expectSameAsPlainWalks();
  for (int round = 0; round < 6; ++round) {
    // Trees of one shape land on the same addresses; only ids differ.
    db.install("[{\"id\": " + std::to_string(round) + ", \"user_sid\": \"s1\"}, {\"id\": " +
               std::to_string(round + 1) + ", \"user_sid\": \"s2\"}]");
    expectSameAsPlainWalks();
  }
  // No database installed: nothing to append to.
  DatabaseLock lock(databaseMutex);
  clearDatabase();
  JsonTree refused(cJSON_CreateObject());
  EXPECT_FALSE(appendUser(refused.get()));
  EXPECT_EQ(findUserById(0, nullptr), nullptr);
}

}  // namespace
