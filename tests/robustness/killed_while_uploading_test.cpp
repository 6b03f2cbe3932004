// killed_while_uploading_test.cpp -- the real node killed after changes
// that replace or delete uploads: every restart finds on disk every file
// that its records name, since a replaced file goes only once a save that
// no longer names it is on disk.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "storage/database.h"
#include "storage/database_file.h"
#include "storage/zlib_codec.h"
#include "tests/robustness/robustness_support.h"
#include "tests/support/test_support.h"

using robustness::bodyOf;
using robustness::isRegularFile;
using robustness::kSeedUploads;
using testsupport::multipartRequest;
using testsupport::sendRaw;

namespace {

// Never saves while a test runs, only on its stop.
constexpr int kSavesOnlyOnStop = 100000000;

std::string signinRequest(const std::string& sid, const std::string& avatar) {
  return multipartRequest(
      "/v1/signin",
      {{"uid", "0", ""}, {"sid", sid, ""}, {"avatar", avatar, "a.webp"}, {"hash", "h-" + sid, ""}});
}

std::string avatarRequest(int uid, const std::string& sid, const std::string& avatar) {
  return multipartRequest("/v1/postavatar", {{"uid", std::to_string(uid), ""},
                                             {"sid", sid, ""},
                                             {"avatar", avatar, "a.webp"},
                                             {"hash", "h", ""}});
}

// A new item (id 0) or an edit with one image part: an item of two images
// loses the other one.
std::string newsRequest(int id, int images, const std::string& bytes) {
  std::vector<testsupport::MultipartField> fields = {
      {"uid", "1", ""}, {"sid", "s1", ""}, {"id", std::to_string(id), ""}, {"title", "T", ""}};
  for (int n = 0; n < images; ++n) fields.push_back({"img", bytes, std::to_string(n)});
  return multipartRequest("/v1/postnews", fields);
}

std::string deleteRequest(int id) {
  return robustness::formRequest("/v1/delnews", "uid=1&sid=s1&id=" + std::to_string(id));
}

// The number in a reply {"<key>":n}; -1 for any other reply.
int replied(const std::string& reply, const std::string& key) {
  std::smatch m;
  const std::string body = bodyOf(reply);
  if (!std::regex_match(body, m, std::regex("\\{\"" + key + "\":(-?[0-9]+)\\}"))) return -1;
  return std::stoi(m[1]);
}

// The upload paths that data/index.ndb in dir names and that are not a
// regular file there; "(no database)" when it does not load.
std::vector<std::string> missingNamedFiles(const testsupport::TempDir& dir) {
  if (!adoptDatabaseText(robustness::savedDatabaseText(dir.file("data/index.ndb")))) {
    return {"(no database)"};
  }
  std::vector<std::string> missing;
  for (const std::string& path : robustness::namedUploads()) {
    if (!isRegularFile(dir.file(path))) missing.push_back(path);
  }
  return missing;
}

// The ids of the saved database's news items.
std::vector<int> savedNewsIds() {
  std::vector<int> ids;
  DatabaseLock lock(databaseMutex);
  const cJSON* news = nullptr;
  cJSON_ArrayForEach(news, newsArray) ids.push_back(cJSON_GetObjectItem(news, "id")->valueint);
  return ids;
}

}  // namespace

// Each change that stops naming an upload, made after the last save and
// killed before the next: the restarted records name the old files, which
// are there. The next stop's save removes them.
TEST(KilledAfterAReplacement, TheRestartedRecordsFindTheirFiles) {
  struct {
    const char* desc;
    std::string change;
    std::string reply;
  } cases[] = {
      {"postavatar", avatarRequest(2, "s2", "new avatar"), "{\"r\":1}"},
      {"postnews edit dropping an image", newsRequest(1, 1, "new image"), "{\"id\":2}"},
      {"delnews", deleteRequest(1), "{\"r\":1}"},
  };
  for (const auto& c : cases) {
    testsupport::TempDir dir;
    const int port = testsupport::freePort();
    testsupport::writeFile(dir.file("config.json"),
                           robustness::settingsWithoutEditInterval(port, kSavesOnlyOnStop));
    testsupport::writeFile(dir.file("data/index.ndb"),
                           compressString(robustness::seededDatabase(), -1));
    robustness::writeSeedUploads(dir.path);
    testsupport::NodeProcess node;
    ASSERT_TRUE(testsupport::startNode(node, dir.path, port)) << node.outSoFar;
    EXPECT_EQ(bodyOf(sendRaw(port, c.change)), c.reply) << c.desc;
    ASSERT_EQ(testsupport::stopNode(node, SIGKILL), 128 + SIGKILL) << c.desc;
    EXPECT_EQ(missingNamedFiles(dir), std::vector<std::string>{}) << c.desc;

    // The next start serves them, and its stop removes what the change left.
    ASSERT_TRUE(testsupport::startNode(node, dir.path, port)) << node.outSoFar;
    EXPECT_EQ(bodyOf(sendRaw(port, testsupport::getRequest("/" + robustness::kSeedImage1))), "old")
        << c.desc;
    EXPECT_EQ(bodyOf(sendRaw(port, c.change)), c.reply) << c.desc << " again";
    ASSERT_EQ(testsupport::stopNode(node, SIGTERM), 0) << c.desc;
    EXPECT_EQ(missingNamedFiles(dir), std::vector<std::string>{}) << c.desc;
    const std::set<std::string> named = robustness::namedUploads();
    for (const std::string& path : kSeedUploads) {
      EXPECT_EQ(isRegularFile(dir.file(path)), named.count(path) == 1) << c.desc << ": " << path;
    }
  }
}

// Clients sign in with avatars, change avatars, post items with two images,
// edit them down to one new image and delete them, while the node saves every
// 100 to 200 ms and is killed at a random moment, again and again. After
// every kill each upload that the saved records name is a regular file.
TEST(KilledWhileUploading, EveryRestartFindsEveryFileItsRecordsName) {
  constexpr int kKills = 30;
  constexpr int kClients = 4;
  testsupport::TempDir dir;
  const int port = testsupport::freePort();
  std::mt19937 gen(17);
  std::uniform_int_distribution<int> intervalMs(100, 200);
  std::uniform_int_distribution<int> loadMs(150, 600);
  int requests = 0;
  int checked = 0;
  std::vector<int> existing;  // the items of the last saved database
  for (int round = 0; round < kKills; ++round) {
    testsupport::writeFile(dir.file("config.json"),
                           robustness::settingsWithoutEditInterval(port, intervalMs(gen)));
    testsupport::NodeProcess node;
    ASSERT_TRUE(testsupport::startNode(node, dir.path, port))
        << "round " << round << ": " << node.outSoFar;
    if (round == 0) {
      ASSERT_EQ(bodyOf(sendRaw(port, signinRequest("s1", "admin"))), "{\"id\":1}");
    }

    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
      std::vector<int> theirs;  // a share of the items saved before
      for (std::size_t k = c; k < existing.size(); k += kClients) theirs.push_back(existing[k]);
      clients.emplace_back([&, c, theirs]() mutable {
        std::mt19937 pick(static_cast<unsigned>(round * kClients + c));
        const std::string sid = "r" + std::to_string(round) + "c" + std::to_string(c);
        const std::string bytes = testsupport::randomBytes(4096 + pick() % 28672, pick());
        const int uid = replied(sendRaw(port, signinRequest(sid, bytes)), "id");
        while (!stop) {
          switch (pick() % 4) {
            case 0:
              if (uid <= 0) continue;
              sendRaw(port, avatarRequest(uid, sid, bytes));
              break;
            case 1: {
              const int id = replied(sendRaw(port, newsRequest(0, 2, bytes)), "id");
              if (id > 0) theirs.push_back(id);
              break;
            }
            case 2:
              if (theirs.empty()) continue;
              sendRaw(port, newsRequest(theirs[pick() % theirs.size()], 1, bytes));
              break;
            default: {
              if (theirs.size() <= 2) continue;
              const std::size_t at = pick() % theirs.size();
              sendRaw(port, deleteRequest(theirs[at]));
              theirs.erase(theirs.begin() + static_cast<long>(at));
              break;
            }
          }
          ++sent;
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(loadMs(gen)));
    ASSERT_EQ(testsupport::stopNode(node, SIGKILL), 128 + SIGKILL) << "round " << round;
    stop = true;
    for (std::thread& client : clients) client.join();
    requests += sent;

    const std::vector<std::string> missing = missingNamedFiles(dir);
    ASSERT_EQ(missing, std::vector<std::string>{})
        << "round " << round << ": " << missing.size() << " named files are gone";
    checked += static_cast<int>(robustness::namedUploads().size());
    existing = savedNewsIds();
  }
  std::printf("%d kills after %d requests: %d named files checked, none missing\n", kKills,
              requests, checked);
}
