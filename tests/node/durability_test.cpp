// durability_test.cpp -- data/index.ndb survives the ends of the real node:
// SIGKILL in the middle of back-to-back saves, and the orderly stop on
// SIGTERM, SIGINT and SIGHUP that saves the last change.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <random>
#include <thread>

#include "storage/atomic_file.h"
#include "storage/database.h"
#include "storage/database_file.h"
#include "storage/zlib_codec.h"
#include "tests/support/test_support.h"

using testsupport::directoryEntries;
using testsupport::freePort;
using testsupport::getRequest;
using testsupport::minimalConfig;
using testsupport::NodeProcess;
using testsupport::readFile;
using testsupport::seedDatabaseText;
using testsupport::SeedUser;
using testsupport::sendRaw;
using testsupport::startNode;
using testsupport::stopNode;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

constexpr int kNoSaveDuringTheTestMs = 100000000;

// A database with one news item (id 1, never viewed) by user 1 and
// userCount users in all, as unformatted JSON text.
std::string seedDatabase(int userCount) {
  std::vector<SeedUser> users;
  for (int i = 1; i <= userCount; ++i) {
    users.push_back(
        {"session-" + std::to_string(i) + "-0123456789abcdef", "user number " + std::to_string(i)});
  }
  return seedDatabaseText(users);
}

std::vector<std::string> saveFilesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const std::string& name : directoryEntries(dir)) {
    if (name.rfind(std::string("index.ndb") + kSaveFileSuffix, 0) == 0) names.push_back(name);
  }
  return names;
}

int viewsOfFirstNews() {
  return cJSON_GetObjectItem(cJSON_GetArrayItem(newsArray, 0), "views")->valueint;
}

}  // namespace

TEST(OrderlyStop, StopSignalsSaveTheLastChangeAndExitZero) {
  struct {
    const char* desc;
    int signal;
    int writeIntervalMs;
  } cases[] = {
      {"SIGTERM, no save due", SIGTERM, kNoSaveDuringTheTestMs},
      {"SIGINT, no save due", SIGINT, kNoSaveDuringTheTestMs},
      {"SIGHUP (the terminal closed), no save due", SIGHUP, kNoSaveDuringTheTestMs},
      {"SIGTERM while saving back to back", SIGTERM, 0},
  };
  for (const auto& c : cases) {
    TempDir dir;
    int port = freePort();
    writeFile(dir.file("config.json"), minimalConfig(port, c.writeIntervalMs));
    std::string seed = compressString(seedDatabase(3), -1);
    writeFile(dir.file("data/index.ndb"), seed);
    NodeProcess node;
    ASSERT_TRUE(startNode(node, dir.path, port)) << c.desc << ": " << node.outSoFar;

    // Reading the detail counts a view: a change in memory only.
    EXPECT_NE(sendRaw(port, getRequest("/v1/news/1")), "") << c.desc;
    if (c.writeIntervalMs == kNoSaveDuringTheTestMs) {
      EXPECT_EQ(readFile(dir.file("data/index.ndb")), seed) << c.desc << ": saved early";
    }
    EXPECT_EQ(stopNode(node, c.signal), 0) << c.desc;

    ASSERT_TRUE(loadDatabaseFile(dir.file("data/index.ndb"))) << c.desc;
    EXPECT_EQ(viewsOfFirstNews(), 1) << c.desc << ": the last change was lost";
    EXPECT_EQ(cJSON_GetArraySize(userArray), 3) << c.desc;
    EXPECT_TRUE(saveFilesIn(dir.file("data")).empty()) << c.desc;
  }
}

// Ignores SIGHUP in this process while it lives, so that a node started
// meanwhile begins with SIGHUP ignored, as nohup starts it.
struct HangUpIgnored {
  HangUpIgnored() { previous = signal(SIGHUP, SIG_IGN); }
  ~HangUpIgnored() { signal(SIGHUP, previous); }
  HangUpIgnored(const HangUpIgnored&) = delete;
  HangUpIgnored& operator=(const HangUpIgnored&) = delete;
  sighandler_t previous;
};

TEST(OrderlyStop, ANodeStartedWithHangUpIgnoredOutlivesItsTerminal) {
  TempDir dir;
  int port = freePort();
  writeFile(dir.file("config.json"), minimalConfig(port, kNoSaveDuringTheTestMs));
  writeFile(dir.file("data/index.ndb"), compressString(seedDatabase(1), -1));
  NodeProcess node;
  {
    HangUpIgnored nohup;
    ASSERT_TRUE(startNode(node, dir.path, port)) << node.outSoFar;
  }
  ASSERT_EQ(kill(node.pid, SIGHUP), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_NE(sendRaw(port, getRequest("/v1/connect-test")).find(R"({"r":"ok"})"), std::string::npos)
      << "the node did not outlive SIGHUP";
  EXPECT_EQ(stopNode(node, SIGTERM), 0);
}

TEST(KilledNode, AlwaysStartsAgainWithALoadableDatabase) {
  TempDir dir;
  int port = freePort();
  const int users = 20000;  // a few MiB of text: a save takes a while
  writeFile(dir.file("config.json"), minimalConfig(port, 0));
  writeFile(dir.file("data/index.ndb"), compressString(seedDatabase(users), -1));
  std::mt19937 gen(20261210);
  std::uniform_int_distribution<int> pauseMs(0, 60);
  for (int round = 0; round < 30; ++round) {
    NodeProcess node;
    ASSERT_TRUE(startNode(node, dir.path, port)) << "round " << round << ": " << node.outSoFar;
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs(gen)));
    EXPECT_EQ(stopNode(node, SIGKILL), 128 + SIGKILL);
    ASSERT_TRUE(loadDatabaseFile(dir.file("data/index.ndb"))) << "round " << round;
    ASSERT_EQ(cJSON_GetArraySize(userArray), users) << "round " << round;
  }
  // The next start clears what the killed saves left behind.
  writeFile(dir.file("config.json"), minimalConfig(port, kNoSaveDuringTheTestMs));
  NodeProcess node;
  ASSERT_TRUE(startNode(node, dir.path, port)) << node.outSoFar;
  EXPECT_TRUE(saveFilesIn(dir.file("data")).empty());
  EXPECT_EQ(stopNode(node, SIGTERM), 0);
}
