// memory_exhausted_test.cpp -- every storing action run in process with
// each of its cJSON allocations failing in turn: a change is answered as
// stored only when it is stored whole, and a failed one is answered as the
// action's failure, leaves its records as they were and its files gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api/form_fields.h"
#include "api/news_actions.h"
#include "api/user_actions.h"
#include "storage/database.h"
#include "tests/robustness/failing_allocator.h"
#include "tests/robustness/robustness_support.h"
#include "tests/support/database_fixture.h"
#include "tests/support/test_support.h"

namespace {

using robustness::Form;
using testsupport::printedJson;
using testsupport::readFile;
using testsupport::storedFiles;
using testsupport::writeFile;

const std::string kOldAvatar = "uploads/avatar/2023/1/2/31000.webp";
const std::string kOld0 = "uploads/img/2023/1/2/2/01000.webp";
const std::string kOld1 = "uploads/img/2023/1/2/2/11000.webp";

// User 1 is the administrator, user 3 has an avatar; news 2 has two images.
const std::string kDatabase = R"({
  "news_maxid": 3, "user_maxid": 4, "like_maxid": 0,
  "news": [
    {"id": 2, "title": "two", "timestamp": 100, "views": 5, "comments": 0, "likes": 0, "user_id": 1, "cover": ")" +
                              kOld0 + R"("}
  ],
  "news_detail": [{"id": 2, "content": "c2", "images": [")" +
                              kOld0 + R"(", ")" + kOld1 + R"("]}],
  "user": [
    {"id": 1, "user_sid": "s1", "nickname": "ann", "nickname_uptm": 0, "avatar": "", "avatar_uptm": 0, "avatar_hash": "h1"},
    {"id": 2, "user_sid": "s2", "nickname": "bob", "nickname_uptm": 0, "avatar": "", "avatar_uptm": 0, "avatar_hash": ""},
    {"id": 3, "user_sid": "s3", "nickname": "cy", "nickname_uptm": 0, "avatar": ")" +
                              kOldAvatar + R"(", "avatar_uptm": 0, "avatar_hash": "h3"},
    {"id": 4, "user_sid": "s4", "nickname": "dee", "nickname_uptm": 0, "avatar": "", "avatar_uptm": 0, "avatar_hash": ""}
  ],
  "like": []
})";

std::string text(const cJSON* record, const char* key) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(record, key);
  return cJSON_IsString(item) ? item->valuestring : "<none>";
}

double number(const cJSON* record, const char* key) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(record, key);
  return cJSON_IsNumber(item) ? item->valuedouble : -1;
}

std::string keys(const cJSON* record) {
  std::string out;
  const cJSON* item = nullptr;
  cJSON_ArrayForEach(item, record) out += std::string(out.empty() ? "" : ",") + item->string;
  return out;
}

std::vector<std::string> uploads() {
  std::vector<std::string> files = storedFiles(".", "uploads");
  std::sort(files.begin(), files.end());
  return files;
}

const std::vector<std::string> kSeedFiles = {kOldAvatar, kOld0, kOld1};

std::string records() {
  return printedJson(userArray) + printedJson(newsArray) + printedJson(newsDetailArray) +
         printedJson(likeArray);
}

std::uint64_t changes() {
  DatabaseLock lock(databaseMutex);
  return databaseChangeCount();
}

using Action = std::function<bool(ReplyTree&, std::string&, int&)>;

// One storing action: what it is sent, its replies, and what a stored change
// looks like. A reply of "{}" is one whose own member could not be made: the
// change itself may still be stored.
struct Case {
  const char* desc;
  Action run;
  std::string storedReply;
  std::string failedReply;
  std::function<bool()> stored;       // the change is in the records
  std::function<void()> checkStored;  // ... and whole, with its files
  bool usesAnId = false;              // a failure after the checks still raises a counter
};

class MemoryExhausted : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(
        testsupport::useConfiguration(testsupport::minimalConfig(8080, 10000, "\"admin\": [1]")));
  }
  static void TearDownTestSuite() { testsupport::useConfiguration(""); }

  // Runs c with its k-th allocation failing, k = 0, 1, ... until a run
  // reaches no failing allocation, each time from the fixture database.
  void sweep(const Case& c) {
    for (long k = 0;; ++k) {
      ASSERT_LT(k, 100000) << c.desc;
      testsupport::TempDir dir;
      testsupport::ScopedChdir chdir(dir.path);
      testsupport::TestDatabase database(kDatabase);
      for (const std::string& path : kSeedFiles) writeFile(path, "old " + path);
      const std::string before = records();
      const std::uint64_t changesBefore = changes();

      ReplyTree reply(cJSON_CreateObject(), &cJSON_Delete);
      std::string type;
      int status = 0;
      bool reached = false;
      {
        robustness::FailingAllocation failing(k);
        EXPECT_TRUE(c.run(reply, type, status)) << c.desc;
        reached = failing.reached();
      }
      const std::string answered = printedJson(reply.get());
      const std::string at = std::string(c.desc) + ", allocation " + std::to_string(k) + " failing";
      if (c.stored()) {
        EXPECT_TRUE(answered == c.storedReply || answered == "{}") << at << ": " << answered;
        c.checkStored();
        if (::testing::Test::HasFailure()) {
          ADD_FAILURE() << at;
          return;
        }
      } else {
        EXPECT_EQ(answered, c.failedReply) << at << ": a change not stored was answered";
        EXPECT_EQ(records(), before) << at << ": a record changed half way";
        if (!c.usesAnId) {
          EXPECT_EQ(changes(), changesBefore) << at << ": a change that was not made was counted";
        }
        EXPECT_EQ(uploads(), kSeedFiles) << at << ": a file of the failed change stayed";
        if (::testing::Test::HasFailure()) return;
      }
      if (!reached) return;
    }
  }
};

TEST_F(MemoryExhausted, SigninOfANewUserWithAnAvatar) {
  Form form;
  form.add("uid", "0").add("sid", "new").add("nickname", "Neo").add("avatar", "AVATAR", "a.webp");
  form.add("hash", "hn");
  sweep({"signin",
         [&](ReplyTree& reply, std::string& type, int& status) {
           return signin(reply, type, status, form.parts, static_cast<int>(form.parts.size()));
         },
         "{\"id\":5}", "{\"r\":500}", [] { return cJSON_GetArraySize(userArray) == 5; },
         [] {
           const cJSON* user = cJSON_GetArrayItem(userArray, 4);
           EXPECT_EQ(keys(user),
                     "id,user_sid,nickname,nickname_uptm,avatar,avatar_uptm,avatar_hash");
           EXPECT_EQ(number(user, "id"), 5);
           EXPECT_EQ(text(user, "user_sid"), "new");
           EXPECT_EQ(text(user, "nickname"), "Neo");
           EXPECT_EQ(text(user, "avatar_hash"), "hn");
           EXPECT_EQ(readFile(text(user, "avatar")), "AVATAR");
         },
         true});
}

TEST_F(MemoryExhausted, PostavatarReplacingAnAvatar) {
  Form form;
  form.add("uid", "3").add("sid", "s3").add("avatar", "NEW", "a.webp").add("hash", "h9");
  sweep({"postavatar",
         [&](ReplyTree& reply, std::string& type, int& status) {
           return postavatar(reply, type, status, form.parts, static_cast<int>(form.parts.size()));
         },
         "{\"r\":1}", "{\"r\":0}",
         [] { return text(cJSON_GetArrayItem(userArray, 2), "avatar") != kOldAvatar; },
         [] {
           const cJSON* user = cJSON_GetArrayItem(userArray, 2);
           EXPECT_EQ(keys(user),
                     "id,user_sid,nickname,nickname_uptm,avatar,avatar_uptm,avatar_hash");
           EXPECT_EQ(readFile(text(user, "avatar")), "NEW");
           EXPECT_EQ(text(user, "avatar_hash"), "h9");
           EXPECT_GT(number(user, "avatar_uptm"), 1e9);
           // Its removal waits for a save without it.
           EXPECT_EQ(readFile(kOldAvatar), "old " + kOldAvatar);
         }});
}

TEST_F(MemoryExhausted, PostnewsOfANewItem) {
  Form form;
  form.add("uid", "1").add("sid", "s1").add("id", "0").add("title", "T").add("content", "C");
  form.add("img", "IMAGE", "0");
  sweep({"postnews new",
         [&](ReplyTree& reply, std::string& type, int& status) {
           return postnews(reply, type, status, form.parts, static_cast<int>(form.parts.size()));
         },
         "{\"id\":4}", "{\"r\":404}", [] { return cJSON_GetArraySize(newsArray) == 2; },
         [] {
           ASSERT_EQ(cJSON_GetArraySize(newsDetailArray), 2);
           const cJSON* news = cJSON_GetArrayItem(newsArray, 1);
           const cJSON* detail = cJSON_GetArrayItem(newsDetailArray, 1);
           EXPECT_EQ(keys(news), "id,title,timestamp,views,comments,likes,user_id,cover");
           EXPECT_EQ(keys(detail), "id,content,images");
           EXPECT_EQ(text(news, "title"), "T");
           EXPECT_EQ(text(detail, "content"), "C");
           const cJSON* images = cJSON_GetObjectItem(detail, "images");
           ASSERT_EQ(cJSON_GetArraySize(images), 1);
           EXPECT_EQ(text(news, "cover"), cJSON_GetArrayItem(images, 0)->valuestring);
           EXPECT_EQ(readFile(text(news, "cover")), "IMAGE");
         },
         true});
}

TEST_F(MemoryExhausted, PostnewsEditReplacingImages) {
  Form form;
  form.add("uid", "1").add("sid", "s1").add("id", "2").add("title", "T2").add("content", "C2");
  form.add("img", "IMAGE", "0");
  sweep({"postnews edit",
         [&](ReplyTree& reply, std::string& type, int& status) {
           return postnews(reply, type, status, form.parts, static_cast<int>(form.parts.size()));
         },
         "{\"id\":4}", "{\"r\":404}",
         [] { return number(cJSON_GetArrayItem(newsArray, 0), "timestamp") != 100; },
         [] {
           const cJSON* news = cJSON_GetArrayItem(newsArray, 0);
           const cJSON* detail = cJSON_GetArrayItem(newsDetailArray, 0);
           EXPECT_EQ(text(news, "title"), "T2");
           EXPECT_EQ(text(detail, "content"), "C2");
           const cJSON* images = cJSON_GetObjectItem(detail, "images");
           ASSERT_EQ(cJSON_GetArraySize(images), 1);
           EXPECT_EQ(text(news, "cover"), cJSON_GetArrayItem(images, 0)->valuestring);
           EXPECT_EQ(readFile(text(news, "cover")), "IMAGE");
           EXPECT_EQ(uploads().size(), kSeedFiles.size() + 1) << "an old image went before a save";
         },
         true});
}

TEST_F(MemoryExhausted, PostnicknameAndLike) {
  UrlForm nickname{{"uid", "1"}, {"sid", "s1"}, {"nickname", "Neo"}};
  sweep({"postnickname",
         [&](ReplyTree& reply, std::string& type, int& status) {
           return postnickname(reply, type, status, nickname);
         },
         "{\"r\":1}", "{\"r\":0}",
         [] { return text(cJSON_GetArrayItem(userArray, 0), "nickname") != "ann"; },
         [] {
           EXPECT_EQ(text(cJSON_GetArrayItem(userArray, 0), "nickname"), "Neo");
           EXPECT_GT(number(cJSON_GetArrayItem(userArray, 0), "nickname_uptm"), 1e9);
         }});
  UrlForm liked{{"id", "2"}, {"uid", "1"}, {"sid", "s1"}};
  sweep({"like",
         [&](ReplyTree& reply, std::string& type, int& status) {
           return like(reply, type, status, liked);
         },
         "{\"r\":1}", "{\"r\":-1}", [] { return cJSON_GetArraySize(likeArray) == 1; },
         [] { EXPECT_EQ(number(cJSON_GetArrayItem(newsArray, 0), "likes"), 1); }});
}

}  // namespace
