// database_print_test.cpp -- the database text made from kept record prints
// is byte for byte cJSON_Print of the tree, over odd and generated databases
// and through every kind of change; a save with nothing changed writes
// nothing.
#include "storage/database_print.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "storage/database_file.h"
#include "storage/like_index.h"
#include "storage/news_index.h"
#include "storage/record_changes.h"
#include "storage/records.h"
#include "storage/user_index.h"
#include "storage/zlib_codec.h"
#include "tests/support/database_fixture.h"
#include "tests/support/test_support.h"

namespace {

// Where two long texts first differ, and a little of each from there ("" when
// equal): a failure shows that instead of a diff of the whole database.
std::string difference(const std::string& got, const std::string& expected) {
  if (got == expected) return "";
  size_t at = 0;
  while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
  return "differ at byte " + std::to_string(at) + ": got \"" + got.substr(at, 60) +
         "\", expected \"" + expected.substr(at, 60) + "\"";
}

std::string cjsonPrint() {
  char* text = cJSON_Print(databaseRoot);
  std::string copy = text != nullptr ? text : "";
  cJSON_free(text);
  return copy;
}

// The snapshot's text against cJSON_Print of the tree as it stands.
void expectSnapshotIsPrint(const std::string& where) {
  DatabaseLock lock(databaseMutex);
  DatabaseSnapshot snapshot;
  ASSERT_TRUE(snapshotDatabase(snapshot)) << where;
  EXPECT_EQ(difference(databaseText(snapshot), cjsonPrint()), "") << where;
}

TEST(DatabasePrint, OddDatabasesPrintAsCJsonPrintsThem) {
  const char* cases[] = {
      // The empty database, and arrays empty among full ones.
      R"({"news_maxid":0,"user_maxid":0,"like_maxid":0,"news":[],"news_detail":[],"user":[],"like":[]})",
      // Members in another order and case, extra members of every kind
      // before, between and after, counters missing or texts.
      R"({"extra":{"a":[1,{"b":{}}],"c":"x"},"LIKE":[{"id":1}],"user_maxid":"7","News":[{}],
          "more":[[],[{}],{}],"news_detail":[[1,2],[]],"user":[{"id":1,"nested":{"k":[{"x":null}]}}],
          "last":null})",
      // Non-object elements: numbers of every form, texts, literals, arrays.
      R"({"news":[5,-0,0.1,1e300,-1.5e-7,123456789012345678,true,false,null,"t",[],[[]],{}],
          "news_detail":[{"id":1}],"user":["a","b"],"like":[0]})",
      // Keys and texts that need escapes: line breaks, tabs, quotes,
      // backslashes, control bytes, UTF-8, an empty key.
      "{\"news\":[{\"ti\\ntle\":\"a\\nb\\tc\\\"d\\\\e\\u0001\\u001f\",\"\":\"\",\"\\u00e9\":"
      "\"\\u4e2d\"}],"
      "\"news_detail\":[],\"user\":[{\"user_sid\":\"\\r\\n\\b\\f/\"}],\"like\":[],"
      "\"k\\ney\":\"v\\nal\"}",
      // Duplicate keys: the first array of a name is the handle, the second
      // is printed as an extra member.
      R"({"news":[{"id":1}],"news":[{"id":2}],"news_detail":[],"user":[],"like":[],"user":[{"id":3}]})",
  };
  for (const char* text : cases) {
    testsupport::TestDatabase db(text);
    expectSnapshotIsPrint(text);
    expectSnapshotIsPrint(std::string("again: ") + text);
  }
}

// A database of n news items and n users, their ids from 1.
std::string generatedDatabase(int n) {
  std::string news, details, users;
  for (int id = 1; id <= n; ++id) {
    const std::string i = std::to_string(id);
    const std::string comma = id > 1 ? ", " : "";
    news += comma + R"({"id": )" + i + R"(, "title": "t)" + i + R"(", "timestamp": )" +
            std::to_string(id % 7) + R"(, "views": 0, "likes": 0, "user_id": )" + i + "}";
    details += comma + R"({"id": )" + i + R"(, "content": "c
)" + i + R"(", "images": []})";
    users += comma + R"({"id": )" + i + R"(, "user_sid": "s)" + i + R"(", "nickname": "n"})";
  }
  const std::string count = std::to_string(n);
  return R"({"news_maxid": )" + count + R"(, "user_maxid": )" + count +
         R"(, "like_maxid": 0, "news": [)" + news + R"(], "news_detail": [)" + details +
         R"(], "user": [)" + users + R"(], "like": []})";
}

// A generated database changed through every routine, checked after each
// change, with reloads in place between rounds. Each snapshot is checked
// again after the changes that follow it: it must keep the text it had.
TEST(DatabasePrint, GeneratedDatabasesFollowEveryChange) {
  testsupport::TestDatabase db(generatedDatabase(1500));
  DatabaseSnapshot earlier;
  std::string earlierText;
  std::mt19937 random(7);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  for (int step = 0; step < 600; ++step) {
    std::string what;
    {
      DatabaseLock lock(databaseMutex);
      const int users = cJSON_GetArraySize(userArray);
      const int news = newsCount();
      switch (pick(8)) {
        case 0: {
          what = "signin";
          ASSERT_TRUE(raiseCounter(user_maxid));
          cJSON* user = cJSON_CreateObject();
          cJSON_AddNumberToObject(user, "id", user_maxid);
          cJSON_AddStringToObject(user, "user_sid", ("s\n" + std::to_string(user_maxid)).c_str());
          cJSON_AddStringToObject(user, "nickname", "n");
          ASSERT_TRUE(appendUser(user));
          break;
        }
        case 1: {
          what = "postnews";
          ASSERT_TRUE(raiseCounter(news_maxid));
          cJSON* item = cJSON_CreateObject();
          cJSON_AddNumberToObject(item, "id", news_maxid);
          cJSON_AddNumberToObject(item, "timestamp", pick(5));
          cJSON_AddNumberToObject(item, "views", 0);
          cJSON_AddNumberToObject(item, "likes", 0);
          cJSON_AddNumberToObject(item, "user_id", 1 + pick(users + 1));
          cJSON* detail = cJSON_CreateObject();
          cJSON_AddNumberToObject(detail, "id", news_maxid);
          cJSON_AddItemToObject(detail, "images", cJSON_CreateArray());
          ASSERT_TRUE(appendNewsItem(item, detail));
          break;
        }
        case 2:
          what = "edit";
          if (news == 0) break;
          setNewsMember(newsRecordAt(pick(news)), "title", cJSON_CreateString("t\t"));
          setNewsMember(newsRecordAt(pick(news)), "timestamp", cJSON_CreateNumber(9));
          setRecordMember(newsDetailAt(pick(news)), "images", cJSON_CreateStringArray(nullptr, 0));
          break;
        case 3:
          what = "delnews";
          if (news > 0) deleteNewsItem(pick(news));
          break;
        case 4:
        case 5: {
          what = "like";
          const int userId = 1 + pick(users + 1);
          const cJSON* user = userById(userId);
          const cJSON* sid = cJSON_GetObjectItem(user, "user_sid");
          toggleLike(1 + pick(news_maxid + 1), userId,
                     cJSON_IsString(sid) ? sid->valuestring : "none");
          break;
        }
        case 6:
          what = "view";
          if (news > 0) countNewsView(newsRecordAt(pick(news)));
          break;
        default:
          what = "nickname";
          if (users > 0) {
            setRecordMember(cJSON_GetArrayItem(userArray, pick(users)), "nickname",
                            cJSON_CreateString(std::to_string(step).c_str()));
          }
      }
    }
    if (step % 4 == 0) {
      const std::string where = "step " + std::to_string(step) + ": " + what;
      ASSERT_EQ(difference(databaseText(earlier), earlierText), "") << where;
      DatabaseLock lock(databaseMutex);
      ASSERT_TRUE(snapshotDatabase(earlier)) << where;
      earlierText = cjsonPrint();
      ASSERT_EQ(difference(databaseText(earlier), earlierText), "") << where;
    }
    if (step % 150 == 149) {
      // The saved file is the zlib stream compressString makes of the print.
      testsupport::TempDir dir;
      ASSERT_TRUE(saveDatabaseNow(dir.file("index.ndb")));
      std::string text;
      {
        DatabaseLock lock(databaseMutex);
        text = cjsonPrint();
      }
      EXPECT_TRUE(testsupport::readFile(dir.file("index.ndb")) == compressString(text, -1));
      db.install(text);
      expectSnapshotIsPrint("reloaded at step " + std::to_string(step));
    }
  }
  expectSnapshotIsPrint("the end");
}

// Likes added and removed through toggleLike by the users of a generated
// database (user u's session is "s<u>").
void toggle(int newsId, int userId) {
  DatabaseLock lock(databaseMutex);
  ASSERT_GE(toggleLike(newsId, userId, "s" + std::to_string(userId)), 0);
}

// A snapshot taken and dropped, as a save does: the chunks it was given are
// copied on their next change.
void takeSnapshot() {
  DatabaseLock lock(databaseMutex);
  DatabaseSnapshot snapshot;
  ASSERT_TRUE(snapshotDatabase(snapshot));
}

// One like toggled on and off by one user, with a save's snapshot between
// every hundred toggles.
void toggleOneLike(int newsId, int times) {
  for (int i = 0; i < times; ++i) {
    toggle(newsId, 1);
    if (i % 100 == 0) takeSnapshot();
  }
}

// Every user of generatedDatabase(100) likes every item, then the likes are
// removed in a random order but for the first keep of that order, with a
// snapshot between every snapshotEvery removals.
void likeAllThenRemove(std::mt19937& random, std::size_t keep, std::size_t snapshotEvery) {
  std::vector<std::pair<int, int>> likes;
  for (int user = 1; user <= 100; ++user) {
    for (int news = 1; news <= 100; ++news) {
      toggle(news, user);
      likes.emplace_back(news, user);
    }
  }
  std::shuffle(likes.begin(), likes.end(), random);
  for (std::size_t i = keep; i < likes.size(); ++i) {
    toggle(likes[i].first, likes[i].second);
    if (i % snapshotEvery == 0) takeSnapshot();
  }
}

// The kept prints' bookkeeping follows the live elements, wherever the
// removals fall: after many likes added and removed, their slots, chunks and
// buckets are those of the likes left, and the text is still cJSON's.
TEST(KeptPrints, BookkeepingFollowsTheLiveElements) {
  struct {
    const char* desc;
    std::size_t chunkSlots;
    int likesLeft;
    void (*run)(std::mt19937& random);
  } cases[] = {
      {"one like toggled on and off", 1024, 0, [](std::mt19937&) { toggleOneLike(1, 100000); }},
      {"a like kept in front of one toggled", 1024, 1,
       [](std::mt19937&) {
         toggle(1, 2);
         toggleOneLike(2, 100000);
       }},
      {"many likes, most removed anywhere, then the rest", 1024, 0,
       [](std::mt19937& random) { likeAllThenRemove(random, 0, 1000); }},
      {"many likes, most removed anywhere, in chunks of 4", 4, 500,
       [](std::mt19937& random) { likeAllThenRemove(random, 500, 97); }},
  };
  // The chunk size a case sets, back to the node's when it ends.
  struct ChunkSlots {
    explicit ChunkSlots(std::size_t slots) {
      DatabaseLock lock(databaseMutex);
      databaseprint_detail::setChunkSlots(slots);
    }
    ~ChunkSlots() {
      DatabaseLock lock(databaseMutex);
      databaseprint_detail::setChunkSlots(1024);
    }
  };
  for (const auto& c : cases) {
    testsupport::TestDatabase db(generatedDatabase(100));
    ChunkSlots slots(c.chunkSlots);
    std::mt19937 random(11);
    c.run(random);
    expectSnapshotIsPrint(c.desc);
    DatabaseLock lock(databaseMutex);
    const std::size_t live = static_cast<std::size_t>(c.likesLeft);
    ASSERT_EQ(static_cast<std::size_t>(cJSON_GetArraySize(likeArray)), live) << c.desc;
    const KeptPrintsFootprint kept = keptPrintsFootprint(likeArray);
    EXPECT_EQ(kept.elements, live) << c.desc;
    // No two chunks side by side are both a quarter full or less: at most a
    // chunk per eighth of chunkSlots live elements, and two more.
    EXPECT_LE(kept.chunks, 2 + live * 8 / c.chunkSlots) << c.desc;
    EXPECT_LE(kept.slots, 4 * live + 64 * kept.chunks) << c.desc;
    EXPECT_LE(kept.buckets, 8 * live + 256) << c.desc;
  }
}

TEST(DatabaseSave, NothingChangedNothingWritten) {
  testsupport::TempDir dir;
  const std::string path = dir.file("index.ndb");
  testsupport::TestDatabase db(
      R"({"news_maxid":0,"user_maxid":0,"like_maxid":0,"news":[],"news_detail":[],"user":[],"like":[]})");
  ASSERT_TRUE(saveDatabaseNow(path));
  const std::string first = testsupport::readFile(path);
  EXPECT_EQ(decompressString(first), emptyDatabaseText());
  // With nothing changed a save neither prints nor writes: a removed file
  // stays removed.
  ASSERT_EQ(std::remove(path.c_str()), 0);
  ASSERT_TRUE(saveDatabaseNow(path));
  EXPECT_FALSE(testsupport::pathExists(path));

  struct {
    const char* change;
    void (*apply)();
  } changes[] = {
      {"a counter raised", [] { raiseCounter(like_maxid); }},
      {"a counter set without a routine", [] { news_maxid = 9; }},
      {"a user added", [] { appendUser(cJSON_Parse(R"({"id":1,"user_sid":"s"})")); }},
      {"a member changed",
       [] { setRecordMember(userById(1), "nickname", cJSON_CreateString("n")); }},
  };
  for (const auto& c : changes) {
    {
      DatabaseLock lock(databaseMutex);
      c.apply();
    }
    ASSERT_TRUE(saveDatabaseNow(path)) << c.change;
    std::string expected;
    {
      DatabaseLock lock(databaseMutex);
      expected = cjsonPrint();
    }
    EXPECT_TRUE(testsupport::readFile(path) == compressString(expected, -1)) << c.change;
    ASSERT_EQ(std::remove(path.c_str()), 0);
    ASSERT_TRUE(saveDatabaseNow(path));
    EXPECT_FALSE(testsupport::pathExists(path)) << c.change;
  }
}

}  // namespace
