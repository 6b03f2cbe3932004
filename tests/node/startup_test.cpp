// startup_test.cpp -- start-up run as the real node in temporary working
// directories: its messages, status codes and the database it creates.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "storage/database_file.h"
#include "storage/json_tree.h"
#include "storage/zlib_codec.h"
#include "tests/support/test_support.h"

using testsupport::connectTo;
using testsupport::freePort;
using testsupport::minimalConfig;
using testsupport::NodeProcess;
using testsupport::pathExists;
using testsupport::ProcessResult;
using testsupport::readFile;
using testsupport::runNodeToExit;
using testsupport::startNode;
using testsupport::stopNode;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

const char kCreationLine[] = "File \"index.ndb\" does not exist and will be created.\n";

// text with key removed (ignoring case) and, when jsonValue is given, added
// back at the end with that value.
std::string edited(const std::string& text, const char* key, const char* jsonValue) {
  JsonTree root(cJSON_Parse(text.c_str()));
  cJSON_DeleteItemFromObject(root.get(), key);
  if (jsonValue != nullptr) cJSON_AddItemToObject(root.get(), key, cJSON_Parse(jsonValue));
  char* printed = cJSON_Print(root.get());
  std::string s = printed;
  cJSON_free(printed);
  return s;
}

std::string configWith(const char* key, const std::string& jsonValue, int port = 1) {
  return edited(minimalConfig(port), key, jsonValue.c_str());
}

std::string configWithout(std::initializer_list<const char*> keys) {
  std::string text = minimalConfig(1);
  for (const char* key : keys) text = edited(text, key, nullptr);
  return text;
}

bool canConnect(int port) {
  int fd = connectTo(port);
  if (fd < 0) return false;
  close(fd);
  return true;
}

std::string inflatedDatabase(const std::string& dir) {
  return decompressString(readFile(dir + "/data/index.ndb"));
}

}  // namespace

TEST(StartupConfig, EachUnmetRequirementPrintsItsLineAndReturnsOne) {
  struct {
    const char* desc;
    std::string config;
    const char* line;
  } cases[] = {
      {"not JSON", "this is { not json", "No port!\n"},
      {"a JSON array", "[1, 2]", "No port!\n"},
      {"no port", configWithout({"port"}), "No port!\n"},
      {"neither port nor name", configWithout({"port", "name"}), "No port!\n"},
      {"no name", configWithout({"name"}), "No server name!\n"},
      {"no page size", configWithout({"page_size"}), "No page size!\n"},
      {"no write interval", configWithout({"write_interval"}), "No write interval!\n"},
      {"no write nor edit interval", configWithout({"write_interval", "edit_interval"}),
       "No write interval!\n"},
      {"no edit interval", configWithout({"edit_interval"}), "No edit interval!\n"},
      {"no icon", configWithout({"icon"}), "No icon!\n"},
      {"icon a number", configWith("icon", "7"), "No icon!\n"},
      {"icon and cover missing", configWithout({"icon", "cover"}), "No icon!\n"},
      {"cover null", configWith("cover", "null"), "No cover!\n"},
      {"no watermark", configWithout({"watermark"}), "No watermark!\n"},
      {"watermark a text", configWith("watermark", "\"img/w.png\""), "No watermark!\n"},
      {"watermark path a number", configWith("watermark", "{\"path\": 3}"), "No watermark!\n"},
      {"watermark without path", configWith("watermark", "{\"offsetX\": 0}"), "No watermark!\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    writeFile(dir.file("config.json"), c.config);
    ProcessResult r = runNodeToExit(dir.path);
    EXPECT_EQ(r.exitStatus, 1) << c.desc;
    EXPECT_EQ(r.out, c.line) << c.desc;
    EXPECT_EQ(r.err, "") << c.desc;
    EXPECT_FALSE(pathExists(dir.file("data"))) << c.desc << ": the database was looked at";
  }
}

TEST(StartupConfig, KeysIgnoreCaseAndThePortIsItsLow16Bits) {
  int port = freePort();
  std::string high = std::to_string(3 * 65536 + port);
  struct {
    const char* desc;
    std::string config;
    std::string line;
    int connectPort;  // 0: the system chose one
  } cases[] = {
      {"port spelled in capitals", configWith("PORT", std::to_string(port)),
       "Listening on 0.0.0.0:" + std::to_string(port) + "\n", port},
      {"port above 16 bits", configWith("port", high), "Listening on 0.0.0.0:" + high + "\n", port},
      {"port given as a text", configWith("port", "\"" + std::to_string(port) + "\""),
       "Listening on 0.0.0.0:0\n", 0},
  };
  for (const auto& c : cases) {
    TempDir dir;
    writeFile(dir.file("config.json"), c.config);
    NodeProcess node;
    ASSERT_TRUE(startNode(node, dir.path, port)) << c.desc << ": " << node.outSoFar;
    EXPECT_EQ(node.outSoFar.rfind(kCreationLine + c.line, 0), 0u)
        << c.desc << ": " << node.outSoFar;
    if (c.connectPort != 0) {
      EXPECT_TRUE(canConnect(c.connectPort)) << c.desc;
    }
    EXPECT_EQ(stopNode(node, SIGTERM), 0) << c.desc;
  }
}

TEST(StartupDatabase, CreatesTheEmptyDatabaseOnceAndLoadsIt) {
  TempDir dir;
  int port = freePort();
  writeFile(dir.file("config.json"), minimalConfig(port));
  {
    NodeProcess node;
    ASSERT_TRUE(startNode(node, dir.path, port)) << node.outSoFar;
    // Start-up's lines come first; the serving part may print after them.
    EXPECT_EQ(
        node.outSoFar.rfind(
            std::string(kCreationLine) + "Listening on 0.0.0.0:" + std::to_string(port) + "\n", 0),
        0u)
        << node.outSoFar;
    EXPECT_EQ(inflatedDatabase(dir.path), emptyDatabaseText());
    EXPECT_EQ(stopNode(node, SIGTERM), 0);
  }
  NodeProcess again;
  ASSERT_TRUE(startNode(again, dir.path, port)) << again.outSoFar;
  EXPECT_EQ(again.outSoFar.rfind("Listening on 0.0.0.0:" + std::to_string(port) + "\n", 0), 0u)
      << again.outSoFar;
  EXPECT_EQ(stopNode(again, SIGTERM), 0);
}

TEST(StartupDatabase, DamagedDatabaseEndsStartUpWithoutAMessage) {
  std::string good = compressString(emptyDatabaseText(), -1);
  std::string flipped = good;
  flipped[good.size() / 2] = static_cast<char>(flipped[good.size() / 2] ^ 0x40);
  std::string noLikes =
      "{\"news_maxid\":0,\"user_maxid\":0,\"like_maxid\":0,\"news\":[],\"news_detail\":[],"
      "\"user\":[]}";
  struct {
    const char* desc;
    std::string bytes;
  } cases[] = {
      {"empty file", ""},
      {"plain JSON text", emptyDatabaseText()},
      {"cut short", good.substr(0, good.size() - 3)},
      {"a byte flipped", flipped},
      {"not JSON inside", compressString("{\"news_maxid\": 0,", -1)},
      {"an array missing", compressString(noLikes, -1)},
  };
  for (const auto& c : cases) {
    TempDir dir;
    writeFile(dir.file("config.json"), minimalConfig(freePort()));
    writeFile(dir.file("data/index.ndb"), c.bytes);
    ProcessResult r = runNodeToExit(dir.path);
    EXPECT_EQ(r.exitStatus, 1) << c.desc;
    EXPECT_EQ(r.out, "") << c.desc;
    EXPECT_EQ(r.err, "") << c.desc;
    EXPECT_EQ(readFile(dir.file("data/index.ndb")), c.bytes) << c.desc << ": file changed";
  }
}

TEST(StartupDatabase, ADirectoryInTheDatabaseFilesPlaceEndsStartUpWithoutAMessage) {
  TempDir dir;
  writeFile(dir.file("config.json"), minimalConfig(freePort()));
  std::filesystem::create_directories(dir.file("data/index.ndb"));
  ProcessResult r = runNodeToExit(dir.path);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST(StartupDatabase, DataAsARegularFileFailsAfterTheCreationLine) {
  TempDir dir;
  writeFile(dir.file("config.json"), minimalConfig(freePort()));
  writeFile(dir.file("data"), "not a directory");
  ProcessResult r = runNodeToExit(dir.path);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, kCreationLine);
  EXPECT_EQ(readFile(dir.file("data")), "not a directory");
}

TEST(StartupDatabase, LeftoverSaveFilesAreRemovedAndNeverLoaded) {
  TempDir dir;
  int port = freePort();
  writeFile(dir.file("config.json"), minimalConfig(port));
  std::string stale = compressString(
      "{\"news_maxid\":9,\"user_maxid\":9,\"like_maxid\":9,\"news\":[],\"news_detail\":[],"
      "\"user\":[],\"like\":[]}",
      -1);
  writeFile(dir.file("data/index.ndb.tmp-Xy12Zw"), stale);
  NodeProcess node;
  ASSERT_TRUE(startNode(node, dir.path, port)) << node.outSoFar;
  EXPECT_EQ(node.outSoFar.rfind(kCreationLine, 0), 0u);
  EXPECT_FALSE(pathExists(dir.file("data/index.ndb.tmp-Xy12Zw")));
  EXPECT_EQ(stopNode(node, SIGTERM), 0);
  EXPECT_EQ(inflatedDatabase(dir.path), emptyDatabaseText());
}

TEST(StartupFileSystem, AnUnreadableStatusEndsStartUpWithOneLine) {
  // A symbolic link that points at itself cannot be followed: the test of
  // existence fails for another reason than absence.
  struct {
    const char* desc;
    const char* loop;
    const char* target;
    const char* linePrefix;
  } cases[] = {
      {"config.json", "config.json", "config.json", "Cannot test whether config.json exists: "},
      {"data/index.ndb", "data/index.ndb", "index.ndb",
       "Cannot test whether data/index.ndb exists: "},
  };
  for (const auto& c : cases) {
    TempDir dir;
    if (std::string(c.loop) != "config.json") {
      writeFile(dir.file("config.json"), minimalConfig(freePort()));
      std::filesystem::create_directories(dir.file("data"));
    }
    ASSERT_EQ(symlink(c.target, dir.file(c.loop).c_str()), 0) << c.desc;
    ProcessResult r = runNodeToExit(dir.path);
    EXPECT_EQ(r.exitStatus, 1) << c.desc;
    EXPECT_EQ(r.out.rfind(c.linePrefix, 0), 0u) << c.desc << ": " << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << c.desc << ": " << r.out;
  }
}

TEST(StartupSocket, APortInUseGivesBindFailed) {
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = 0;
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  socklen_t len = sizeof addr;
  getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len);
  TempDir dir;
  writeFile(dir.file("config.json"), minimalConfig(ntohs(addr.sin_port)));
  writeFile(dir.file("data/index.ndb"), compressString(emptyDatabaseText(), -1));
  ProcessResult r = runNodeToExit(dir.path);
  close(holder);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "Bind failed! \n");
}

TEST(StartupWriter, RewritesTheDatabaseOnItsInterval) {
  TempDir dir;
  int port = freePort();
  writeFile(dir.file("config.json"), minimalConfig(port, 200));
  // Unformatted and with a key in capitals: the first save rewrites it.
  std::string loaded =
      "{\"news_maxid\":3,\"user_maxid\":2,\"LIKE_MAXID\":1,\"news\":[],\"news_detail\":[],"
      "\"user\":[],\"like\":[]}";
  writeFile(dir.file("data/index.ndb"), compressString(loaded, 9));
  NodeProcess node;
  ASSERT_TRUE(startNode(node, dir.path, port)) << node.outSoFar;
  std::string expected =
      "{\n\t\"news_maxid\":\t3,\n\t\"user_maxid\":\t2,\n\t\"like_maxid\":\t1,\n"
      "\t\"news\":\t[],\n\t\"news_detail\":\t[],\n\t\"user\":\t[],\n\t\"like\":\t[]\n}";
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::string now;
  while (std::chrono::steady_clock::now() < deadline) {
    now = inflatedDatabase(dir.path);
    if (now != loaded) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(now, expected);
  EXPECT_EQ(stopNode(node, SIGKILL), 128 + SIGKILL);
}

namespace {

// The soft and hard "Max open files" of a running process, from /proc.
std::pair<std::string, std::string> openFileLimits(pid_t pid) {
  std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
  std::string line;
  while (std::getline(limits, line)) {
    if (line.rfind("Max open files", 0) != 0) continue;
    std::istringstream fields(line.substr(std::string("Max open files").size()));
    std::string soft, hard;
    fields >> soft >> hard;
    return {soft, hard};
  }
  return {"?", "?"};
}

}  // namespace

// Started with the soft limit of open files many services get, the node
// raises it to the hard limit, and says nothing when that works.
TEST(StartupLimits, SoftOpenFileLimitIsRaisedToTheHardOne) {
  rlimit own{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &own), 0);
  if (own.rlim_max != RLIM_INFINITY && own.rlim_max <= 1024) {
    GTEST_SKIP() << "the hard limit of open files is not above 1,024";
  }
  const unsigned long long hard =
      own.rlim_max == RLIM_INFINITY ? 20000 : static_cast<unsigned long long>(own.rlim_max);
  TempDir dir;
  const int port = freePort();
  writeFile(dir.file("config.json"), minimalConfig(port));
  NodeProcess node;
  ASSERT_TRUE(startNode(node, dir.path, port, 20000, {{RLIMIT_NOFILE, 1024, hard}}))
      << node.outSoFar;
  EXPECT_EQ(openFileLimits(node.pid), std::make_pair(std::to_string(hard), std::to_string(hard)));
  EXPECT_EQ(stopNode(node, SIGTERM), 0);

  // The same start, ended after the configuration: nothing on standard error.
  writeFile(dir.file("data/index.ndb"), "");
  ProcessResult run = runNodeToExit(dir.path, "", 20000, {{RLIMIT_NOFILE, 1024, hard}});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.err, "");
}
