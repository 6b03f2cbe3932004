// fault_test.cpp -- the real node under faults: SIGKILL at random moments of
// back-to-back saves, saves that cannot be written (a file-size limit), and
// an uploads/ where no file can be created.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <set>
#include <thread>

#include "storage/atomic_file.h"
#include "storage/database.h"
#include "storage/database_file.h"
#include "storage/zlib_codec.h"
#include "tests/robustness/robustness_support.h"
#include "tests/support/test_support.h"

using robustness::bodyOf;
using robustness::formRequest;
using robustness::nowMs;
using robustness::processAlive;
using robustness::savedDatabaseText;
using robustness::statusOf;
using testsupport::freePort;
using testsupport::getRequest;
using testsupport::minimalConfig;
using testsupport::multipartRequest;
using testsupport::NodeProcess;
using testsupport::printedJson;
using testsupport::SeedUser;
using testsupport::seedDatabaseText;
using testsupport::sendRaw;
using testsupport::startNode;
using testsupport::stopNode;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

constexpr int kNoSaveDuringTheTestMs = 100000000;

// User 1 is the administrator (sid-admin), user 2 an ordinary user
// (sid-user); `extraUsers` more users make each save take a while. News 1
// has no image.
std::string seedDatabase(int extraUsers) {
  std::vector<SeedUser> users = {{"sid-admin", "Admin"}, {"sid-user", "User"}};
  // Random session ids compress poorly, so the file write itself takes a
  // while too.
  std::mt19937 gen(11);
  const char* hex = "0123456789abcdef";
  for (int i = 3; i < 3 + extraUsers; ++i) {
    std::string sid;
    for (int k = 0; k < 64; ++k) sid += hex[gen() % 16];
    users.push_back({sid, "filler number " + std::to_string(i)});
  }
  return seedDatabaseText(users);
}

std::string signinRequest(const std::string& sid) {
  return multipartRequest("/v1/signin", {{"uid", "0", ""}, {"sid", sid, ""}});
}

bool connectTestAnswers(int port) {
  return bodyOf(sendRaw(port, getRequest("/v1/connect-test"))) == "{\"r\":\"ok\"}";
}

// Waits until the saved file holds needle; false after timeoutMs.
bool awaitSaved(const std::string& file, const std::string& needle, int timeoutMs) {
  long long deadline = nowMs() + timeoutMs;
  while (nowMs() < deadline) {
    if (savedDatabaseText(file).find(needle) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}


}  // namespace

// The writer saves back to back while clients sign in; the node is killed at a
// random moment, again and again. Every start loads what the last kill left,
// and every sign-in that had reached the file before a kill is still there.
// Saves are snapshots taken in order, so a later sign-in is never saved
// without the earlier ones of the same round.
TEST(KilledWhileSaving, EveryRestartLoadsAndKeepsWhatWasSaved) {
  constexpr int kKills = 100;
  TempDir dir;
  const int port = freePort();
  const std::string file = dir.file("data/index.ndb");
  writeFile(dir.file("config.json"), minimalConfig(port, 0));
  writeFile(file, compressString(seedDatabase(3000), -1));

  std::mt19937 gen(7);
  std::uniform_int_distribution<int> pauseMs(0, 25);
  std::vector<std::string> confirmed;  // sign-ins seen in the file before a kill
  int survived = 0;
  int cutShort = 0;  // kills that left a save's temporary file behind
  for (int round = 0; round < kKills; ++round) {
    NodeProcess node;
    ASSERT_TRUE(startNode(node, dir.path, port)) << "restart " << round << ": " << node.outSoFar;

    const std::string first = "kill-" + std::to_string(round) + "-a";
    ASSERT_NE(bodyOf(sendRaw(port, signinRequest(first))), "") << "round " << round;
    ASSERT_TRUE(awaitSaved(file, "\"" + first + "\"", 20000)) << "round " << round;
    confirmed.push_back(first);
    // Two more changes that the kill may or may not let reach the file.
    sendRaw(port, signinRequest("kill-" + std::to_string(round) + "-b"));
    sendRaw(port, signinRequest("kill-" + std::to_string(round) + "-c"));
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs(gen)));
    ASSERT_EQ(stopNode(node, SIGKILL), 128 + SIGKILL) << "round " << round;
    if (testsupport::runCommand("ls '" + dir.file("data") + "'").find(kSaveFileSuffix) !=
        std::string::npos) {
      ++cutShort;
    }

    const std::string text = savedDatabaseText(file);
    ASSERT_TRUE(adoptDatabaseText(text)) << "round " << round << ": the file does not load";
    for (const std::string& sid : confirmed) {
      ASSERT_NE(text.find("\"" + sid + "\""), std::string::npos)
          << "round " << round << ": " << sid << " was saved before a kill and is lost";
    }
    const bool b = text.find("\"kill-" + std::to_string(round) + "-b\"") != std::string::npos;
    const bool c = text.find("\"kill-" + std::to_string(round) + "-c\"") != std::string::npos;
    EXPECT_FALSE(c && !b) << "round " << round << ": a later change saved without an earlier one";
    std::set<int> ids;
    const cJSON* user = nullptr;
    cJSON_ArrayForEach(user, userArray) {
      int id = cJSON_GetObjectItem(user, "id")->valueint;
      EXPECT_TRUE(ids.insert(id).second) << "round " << round << ": user id " << id << " twice";
      EXPECT_LE(id, user_maxid) << "round " << round;
    }
    ++survived;
  }
  EXPECT_EQ(survived, kKills);
  std::printf(
      "faults injected: %d kills during back-to-back saves (%d cut a save short), %d restarts "
      "loaded\n",
      kKills, cutShort, survived);
}

namespace {

// A save that cannot be written: `apply` makes every save of the running
// node fail, `lift` ends that. Meanwhile the previous file stays loadable and
// unchanged and the node keeps serving and taking changes; after the lift
// the next save writes them.
void checkSavesThatCannotBeWritten(const std::function<bool(const NodeProcess&)>& apply,
                                   const std::function<bool(const NodeProcess&)>& lift) {
  TempDir dir;
  const int port = freePort();
  const std::string file = dir.file("data/index.ndb");
  writeFile(dir.file("config.json"), minimalConfig(port, 20));
  writeFile(file, compressString(seedDatabase(0), -1));
  NodeProcess node;
  ASSERT_TRUE(startNode(node, dir.path, port)) << node.outSoFar;
  ASSERT_TRUE(connectTestAnswers(port));

  ASSERT_TRUE(apply(node));
  // Whatever save is under way when the fault comes may still complete.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::string before = testsupport::readFile(file);
  ASSERT_NE(savedDatabaseText(file), "");

  EXPECT_EQ(bodyOf(sendRaw(port, signinRequest("while-full"))), "{\"id\":3}");
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // saves keep failing meanwhile
    ASSERT_TRUE(processAlive(node.pid)) << "a save that cannot be written ended the node (status "
                                        << stopNode(node, SIGKILL) << ")";
    EXPECT_TRUE(connectTestAnswers(port)) << "check " << i;
  }
  EXPECT_EQ(testsupport::readFile(file), before) << "a failed save changed the file";
  EXPECT_TRUE(adoptDatabaseText(savedDatabaseText(file)));

  ASSERT_TRUE(lift(node));
  EXPECT_TRUE(awaitSaved(file, "\"while-full\"", 20000)) << "the next save did not succeed";
  EXPECT_EQ(stopNode(node, SIGTERM), 0);
  EXPECT_TRUE(adoptDatabaseText(savedDatabaseText(file)));
  EXPECT_EQ(cJSON_GetArraySize(userArray), 3);
}

}  // namespace

// The file-size limit is set on the running node, far below one saved
// database. The node ignores SIGXFSZ, so a write beyond the limit fails with
// EFBIG instead of ending the process.
TEST(SaveCannotBeWritten, FileSizeLimitKeepsThePreviousFileAndServing) {
  checkSavesThatCannotBeWritten(
      [](const NodeProcess& node) {
        rlimit tiny{16, RLIM_INFINITY};
        return prlimit(node.pid, RLIMIT_FSIZE, &tiny, nullptr) == 0;
      },
      [](const NodeProcess& node) {
        rlimit lifted{RLIM_INFINITY, RLIM_INFINITY};
        return prlimit(node.pid, RLIMIT_FSIZE, &lifted, nullptr) == 0;
      });
}

TEST(SaveCannotBeWritten, ReadOnlyDataDirectoryKeepsThePreviousFileAndServing) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into a read-only directory";
  checkSavesThatCannotBeWritten(
      [](const NodeProcess& node) { return chmod((node.dir + "/data").c_str(), 0555) == 0; },
      [](const NodeProcess& node) { return chmod((node.dir + "/data").c_str(), 0755) == 0; });
}

// No file can be created under uploads/: the actions that store one give
// their failure replies and change no record; the node serves on.
TEST(UploadsNotWritable, StoringActionsFailAndChangeNothing) {
  struct {
    const char* desc;
    void (*breakUploads)(const TempDir&);
  } setups[] = {
      {"uploads is a regular file",
       [](const TempDir& d) { writeFile(d.file("uploads"), "not a directory"); }},
      {"uploads/avatar and uploads/img are regular files",
       [](const TempDir& d) {
         writeFile(d.file("uploads/avatar"), "not a directory");
         writeFile(d.file("uploads/img"), "not a directory");
       }},
      {"uploads is read-only (only effective when not root)",
       [](const TempDir& d) {
         testsupport::runCommand("mkdir -p '" + d.file("uploads") + "' && chmod 0555 '" +
                                 d.file("uploads") + "'");
       }},
  };
  const std::string image = std::string("RIFF\x10\0\0\0WEBPVP8 bytes", 20);
  for (const auto& s : setups) {
    if (std::string(s.desc).find("read-only") != std::string::npos && geteuid() == 0) {
      std::printf("skipped: %s\n", s.desc);  // root writes into a read-only directory
      continue;
    }
    TempDir dir;
    const int port = freePort();
    const std::string file = dir.file("data/index.ndb");
    writeFile(dir.file("config.json"),
              minimalConfig(port, kNoSaveDuringTheTestMs, "\"admin\": [1]"));
    writeFile(file, compressString(seedDatabase(0), -1));
    s.breakUploads(dir);
    ASSERT_TRUE(adoptDatabaseText(seedDatabase(0)));
    const std::string users = printedJson(userArray);
    const std::string news = printedJson(newsArray) + printedJson(newsDetailArray);

    NodeProcess node;
    ASSERT_TRUE(startNode(node, dir.path, port)) << s.desc << ": " << node.outSoFar;
    std::string reply = sendRaw(port, multipartRequest("/v1/signin", {{"uid", "0", ""},
                                                                      {"sid", "new-user", ""},
                                                                      {"avatar", image, "a.webp"},
                                                                      {"hash", "h-new", ""}}));
    EXPECT_EQ(statusOf(reply), 500) << s.desc;
    EXPECT_EQ(bodyOf(reply), "{\"r\":500}") << s.desc;

    reply = sendRaw(port, multipartRequest("/v1/postavatar", {{"uid", "2", ""},
                                                              {"sid", "sid-user", ""},
                                                              {"avatar", image, "a.webp"},
                                                              {"hash", "h-2", ""}}));
    EXPECT_EQ(statusOf(reply), 200) << s.desc;
    EXPECT_EQ(bodyOf(reply), "{\"r\":0}") << s.desc;

    reply = sendRaw(port, multipartRequest("/v1/postnews", {{"uid", "1", ""},
                                                            {"sid", "sid-admin", ""},
                                                            {"id", "0", ""},
                                                            {"title", "Title", ""},
                                                            {"content", "Text", ""},
                                                            {"0", image, "0"}}));
    EXPECT_EQ(statusOf(reply), 404) << s.desc;
    EXPECT_EQ(bodyOf(reply), "{\"r\":404}") << s.desc;

    EXPECT_TRUE(connectTestAnswers(port)) << s.desc;
    EXPECT_EQ(stopNode(node, SIGTERM), 0) << s.desc;
    ASSERT_TRUE(adoptDatabaseText(savedDatabaseText(file))) << s.desc;
    EXPECT_EQ(printedJson(userArray), users) << s.desc << ": a user record changed";
    EXPECT_EQ(printedJson(newsArray) + printedJson(newsDetailArray), news)
        << s.desc << ": a news record changed";
    testsupport::runCommand("chmod -R u+w '" + dir.path + "'");
  }
}
