// upload_writes_concurrency_test.cpp -- the storing actions in process on
// several threads: while an upload's file is written other requests get the
// database, and changes racing on the same users, items and file names
// leave every file a record names on disk and no file that none names.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api/form_fields.h"
#include "api/get_routes.h"
#include "api/news_actions.h"
#include "api/user_actions.h"
#include "storage/database.h"
#include "storage/database_file.h"
#include "storage/json_tree.h"
#include "tests/robustness/robustness_support.h"
#include "tests/support/database_fixture.h"
#include "tests/support/test_support.h"

namespace {

using robustness::Form;
using testsupport::storedFiles;

using Action = std::function<bool(JsonTree&, std::string&, int&)>;

std::string run(const Action& action) {
  JsonTree reply(cJSON_CreateObject());
  std::string type;
  int status = 0;
  action(reply, type, status);
  return testsupport::printedJson(reply.get());
}

bool hasTemporaryFile() {
  for (const std::string& file : storedFiles(".", "uploads")) {
    if (file.find(".tmp-") != std::string::npos) return true;
  }
  return false;
}

class UploadWrites : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(
        testsupport::useConfiguration(robustness::settingsWithoutEditInterval(8080, 10000)));
    database.install(robustness::seededDatabase());
    robustness::writeSeedUploads(".");
  }
  void TearDown() override { testsupport::useConfiguration(""); }

  testsupport::TempDir dir;
  testsupport::ScopedChdir chdir{dir.path};
  testsupport::TestDatabase database;
};

// While a large upload's temporary file is on disk, a request that needs
// the database is answered: the file is still there once it has its reply.
TEST_F(UploadWrites, OtherRequestsAreAnsweredWhileAnUploadIsWritten) {
  const std::string large(64 * 1024 * 1024, 'L');
  Form signinForm;
  signinForm.add("uid", "0").add("sid", "big").add("avatar", large, "a").add("hash", "h");
  Form avatarForm;
  avatarForm.add("uid", "2").add("sid", "s2").add("avatar", large, "a").add("hash", "h");
  Form newsForm;
  newsForm.add("uid", "1").add("sid", "s1").add("id", "0").add("img", large, "0");
  Form editForm;
  editForm.add("uid", "1").add("sid", "s1").add("id", "1").add("img", large, "0");
  struct {
    const char* desc;
    Form& form;
    bool (*action)(JsonTree&, std::string&, int&, const std::vector<FormPart>&, int);
  } cases[] = {
      {"signin", signinForm, signin},
      {"postavatar", avatarForm, postavatar},
      {"postnews of a new item", newsForm, postnews},
      {"postnews edit", editForm, postnews},
  };
  for (const auto& c : cases) {
    bool answeredMeanwhile = false;
    for (int attempt = 0; attempt < 5 && !answeredMeanwhile; ++attempt) {
      std::atomic<bool> done{false};
      std::thread upload([&] {
        run([&](JsonTree& r, std::string& t, int& s) {
          return c.action(r, t, s, c.form.parts, c.form.count());
        });
        done = true;
      });
      while (!done && !hasTemporaryFile()) std::this_thread::yield();
      if (!done) {
        const std::string reply =
            testsupport::captureReply([](int fd) { handleGet(fd, "/v1/isadmin/1/s1"); });
        answeredMeanwhile =
            testsupport::splitReply(reply).second == "{\"r\":1}" && hasTemporaryFile();
      }
      upload.join();
    }
    EXPECT_TRUE(answeredMeanwhile) << c.desc << ": no request was answered during the write";
  }
}

// Users, items and file names shared by racing requests: signins with one
// session id, avatar changes of one user (the same second gives one path),
// edits of one item (likewise) and its deletion and new posts. Afterwards,
// and after a save, every upload a record names is a regular file, no file
// stays that no record names, and a session id given to signin with "uid"
// 0 has one user.
TEST_F(UploadWrites, RacingChangesKeepEveryNamedFileAndNoOther) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 30;
  std::vector<std::thread> threads;
  std::atomic<int> unexpected{0};
  std::atomic<int> refused{0};  // a collision or a change that came too late
  std::vector<std::string> odd(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &unexpected, &refused, &odd] {
      std::mt19937 gen(static_cast<unsigned>(t) + 1);
      for (int i = 0; i < kRounds; ++i) {
        const std::string bytes = "t" + std::to_string(t) + "-" + std::to_string(i);
        Form form;
        std::string reply;
        std::set<std::string> allowed;
        switch (gen() % 5) {
          case 0:  // one of two session ids, new users
            form.add("uid", "0").add("sid", gen() % 2 ? "shared-a" : "shared-b");
            form.add("avatar", bytes, "a").add("hash", bytes);
            reply = run([&](JsonTree& r, std::string& ty, int& s) {
              return signin(r, ty, s, form.parts, form.count());
            });
            if (reply.rfind("{\"id\":", 0) != 0) odd[t] += reply + " ";
            continue;
          case 1:  // user 2's avatar
            form.add("uid", "2").add("sid", "s2").add("avatar", bytes, "a").add("hash", bytes);
            reply = run([&](JsonTree& r, std::string& ty, int& s) {
              return postavatar(r, ty, s, form.parts, form.count());
            });
            allowed = {"{\"r\":1}", "{\"r\":0}"};
            break;
          case 2:  // an edit of item 1, 2 or 3 replacing its images
            form.add("uid", "1").add("sid", "s1").add("id", std::to_string(1 + gen() % 3));
            form.add("img", bytes, "0");
            reply = run([&](JsonTree& r, std::string& ty, int& s) {
              return postnews(r, ty, s, form.parts, form.count());
            });
            allowed = {"{\"r\":404}"};
            break;
          case 3:  // a new item with two images
            form.add("uid", "1").add("sid", "s1").add("id", "0");
            form.add("img", bytes, "0").add("img", bytes, "1");
            reply = run([&](JsonTree& r, std::string& ty, int& s) {
              return postnews(r, ty, s, form.parts, form.count());
            });
            break;
          default: {  // the deletion of item 1, 2 or 3
            UrlForm fields{{"uid", "1"}, {"sid", "s1"}, {"id", std::to_string(1 + gen() % 3)}};
            reply = run(
                [&](JsonTree& r, std::string& ty, int& s) { return delnews(r, ty, s, fields); });
            allowed = {"{\"r\":1}", "{\"r\":0}"};
            break;
          }
        }
        if (reply == "{\"r\":0}" || reply == "{\"r\":404}") ++refused;
        if (allowed.count(reply) == 0 && reply.rfind("{\"id\":", 0) != 0) {
          ++unexpected;
          odd[t] += reply + " ";
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& replies : odd) EXPECT_EQ(replies, "");
  EXPECT_EQ(unexpected.load(), 0);
  std::printf("%d of %d changes refused\n", refused.load(), kThreads * kRounds);

  testsupport::runCommand("mkdir -p data");
  ASSERT_TRUE(saveDatabaseNow(kDatabasePath));
  const std::set<std::string> named = robustness::namedUploads();
  for (const std::string& path : named) {
    EXPECT_TRUE(robustness::isRegularFile(path)) << path << " is named and missing";
  }
  const std::vector<std::string> files = storedFiles(".", "uploads");
  for (const std::string& file : files) {
    EXPECT_EQ(named.count(file), 1u) << file << " is named by no record";
  }
  DatabaseLock lock(databaseMutex);
  std::multiset<std::string> sessions;
  const cJSON* user = nullptr;
  cJSON_ArrayForEach(user, userArray) {
    sessions.insert(cJSON_GetObjectItem(user, "user_sid")->valuestring);
  }
  EXPECT_LE(sessions.count("shared-a"), 1u);
  EXPECT_LE(sessions.count("shared-b"), 1u);
}

}  // namespace
