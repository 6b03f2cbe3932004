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
#include "storage/json_tree.h"
#include "tests/robustness/failing_allocator.h"
#include "tests/robustness/robustness_support.h"
#include "tests/support/database_fixture.h"
#include "tests/support/test_support.h"

namespace {

using robustness::Form;
using robustness::kSeedAvatar;
using robustness::kSeedUploads;

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
  std::vector<std::string> files = testsupport::storedFiles(".", "uploads");
  std::sort(files.begin(), files.end());
  return files;
}

std::string records() {
  using testsupport::printedJson;
  return printedJson(userArray) + printedJson(newsArray) + printedJson(newsDetailArray) +
         printedJson(likeArray);
}

std::uint64_t changes() {
  DatabaseLock lock(databaseMutex);
  return databaseChangeCount();
}

// The new item of a postnews, or the edited item 1, stored whole with its
// one image.
void checkItem(const cJSON* news, const cJSON* detail, const std::string& title) {
  EXPECT_EQ(keys(news), "id,title,timestamp,views,comments,likes,user_id,cover");
  EXPECT_EQ(keys(detail), "id,content,images");
  EXPECT_EQ(text(news, "title"), title);
  EXPECT_EQ(text(detail, "content"), "C");
  const cJSON* images = cJSON_GetObjectItem(detail, "images");
  ASSERT_EQ(cJSON_GetArraySize(images), 1);
  EXPECT_EQ(text(news, "cover"), cJSON_GetArrayItem(images, 0)->valuestring);
  EXPECT_EQ(testsupport::readFile(text(news, "cover")), "IMAGE");
}

using Action = std::function<bool(JsonTree&, std::string&, int&)>;
using MultipartAction = bool (*)(JsonTree&, std::string&, int&, const std::vector<FormPart>&, int);

Action multipart(MultipartAction action, const Form& form) {
  return [action, &form](JsonTree& reply, std::string& type, int& status) {
    return action(reply, type, status, form.parts, form.count());
  };
}

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
  bool usesAnId;                      // a failure after the checks has raised a counter
};

// Runs c with its k-th allocation failing, k = 0, 1, ... until a run reaches
// no failing allocation, each time from the seeded database.
void sweep(const Case& c) {
  for (long k = 0;; ++k) {
    ASSERT_LT(k, 100000) << c.desc;
    testsupport::TempDir dir;
    testsupport::ScopedChdir chdir(dir.path);
    testsupport::TestDatabase database(robustness::seededDatabase());
    robustness::writeSeedUploads(".");
    const std::string before = records();
    const std::uint64_t changesBefore = changes();

    JsonTree reply(cJSON_CreateObject());
    std::string type;
    int status = 0;
    bool reached = false;
    {
      robustness::FailingAllocation failing(k);
      EXPECT_TRUE(c.run(reply, type, status)) << c.desc;
      reached = failing.reached();
    }
    const std::string answered = testsupport::printedJson(reply.get());
    const std::string at = std::string(c.desc) + ", allocation " + std::to_string(k) + " failing";
    if (c.stored()) {
      EXPECT_TRUE(answered == c.storedReply || answered == "{}") << at << ": " << answered;
      c.checkStored();
    } else {
      EXPECT_EQ(answered, c.failedReply) << at << ": a change not stored was answered";
      EXPECT_EQ(records(), before) << at << ": a record changed half way";
      if (!c.usesAnId) {
        EXPECT_EQ(changes(), changesBefore) << at << ": a change that was not made was counted";
      }
      EXPECT_EQ(uploads(), kSeedUploads) << at << ": a file of the failed change stayed";
    }
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << at;
      return;
    }
    if (!reached) return;
  }
}

TEST(MemoryExhausted, EveryStoringActionIsAnsweredAsWhatItStored) {
  ASSERT_TRUE(testsupport::useConfiguration(robustness::settingsWithoutEditInterval(8080, 10000)));
  Form signinForm;
  signinForm.add("uid", "0").add("sid", "new").add("nickname", "Neo");
  signinForm.add("avatar", "AVATAR", "a.webp").add("hash", "hn");
  Form avatarForm;
  avatarForm.add("uid", "2").add("sid", "s2").add("avatar", "NEW", "a.webp").add("hash", "h9");
  Form newForm;
  newForm.add("uid", "1").add("sid", "s1").add("id", "0").add("title", "T").add("content", "C");
  newForm.add("img", "IMAGE", "0");
  Form editForm;
  editForm.add("uid", "1").add("sid", "s1").add("id", "1").add("title", "T2").add("content", "C");
  editForm.add("img", "IMAGE", "0");
  const UrlForm nickname{{"uid", "1"}, {"sid", "s1"}, {"nickname", "Neo"}};
  const UrlForm liked{{"id", "1"}, {"uid", "1"}, {"sid", "s1"}};
  auto user = [](int index) { return cJSON_GetArrayItem(userArray, index); };

  const Case cases[] = {
      {"signin", multipart(signin, signinForm), "{\"id\":3}", "{\"r\":500}",
       [] { return cJSON_GetArraySize(userArray) == 3; },
       [&] {
         EXPECT_EQ(keys(user(2)),
                   "id,user_sid,nickname,nickname_uptm,avatar,avatar_uptm,avatar_hash");
         EXPECT_EQ(number(user(2), "id"), 3);
         EXPECT_EQ(text(user(2), "user_sid") + text(user(2), "nickname"), "newNeo");
         EXPECT_EQ(text(user(2), "avatar_hash"), "hn");
         EXPECT_EQ(testsupport::readFile(text(user(2), "avatar")), "AVATAR");
       },
       true},
      {"postavatar", multipart(postavatar, avatarForm), "{\"r\":1}", "{\"r\":0}",
       [&] { return text(user(1), "avatar") != kSeedAvatar; },
       [&] {
         EXPECT_EQ(keys(user(1)),
                   "id,user_sid,nickname,nickname_uptm,avatar,avatar_uptm,avatar_hash");
         EXPECT_EQ(testsupport::readFile(text(user(1), "avatar")), "NEW");
         EXPECT_EQ(text(user(1), "avatar_hash"), "h9");
         EXPECT_GT(number(user(1), "avatar_uptm"), 1e9);
         // The old avatar's removal waits for a save without it.
         EXPECT_EQ(testsupport::readFile(kSeedAvatar), "old");
       },
       false},
      {"postnews of a new item", multipart(postnews, newForm), "{\"id\":2}", "{\"r\":404}",
       [] { return cJSON_GetArraySize(newsArray) == 2; },
       [] {
         ASSERT_EQ(cJSON_GetArraySize(newsDetailArray), 2);
         checkItem(cJSON_GetArrayItem(newsArray, 1), cJSON_GetArrayItem(newsDetailArray, 1), "T");
       },
       true},
      {"postnews edit replacing the images", multipart(postnews, editForm), "{\"id\":2}",
       "{\"r\":404}", [] { return text(cJSON_GetArrayItem(newsArray, 0), "title") == "T2"; },
       [] {
         checkItem(cJSON_GetArrayItem(newsArray, 0), cJSON_GetArrayItem(newsDetailArray, 0), "T2");
         EXPECT_EQ(uploads().size(), kSeedUploads.size() + 1) << "an old image went before a save";
       },
       true},
      {"postnickname",
       [&](JsonTree& r, std::string& t, int& s) { return postnickname(r, t, s, nickname); },
       "{\"r\":1}", "{\"r\":0}", [&] { return text(user(0), "nickname") == "Neo"; },
       [&] { EXPECT_GT(number(user(0), "nickname_uptm"), 1e9); }, false},
      {"like", [&](JsonTree& r, std::string& t, int& s) { return like(r, t, s, liked); },
       "{\"r\":1}", "{\"r\":-1}", [] { return cJSON_GetArraySize(likeArray) == 1; },
       [] { EXPECT_EQ(number(cJSON_GetArrayItem(newsArray, 0), "likes"), 1); }, false},
  };
  for (const Case& c : cases) sweep(c);
  testsupport::useConfiguration("");
}

}  // namespace
