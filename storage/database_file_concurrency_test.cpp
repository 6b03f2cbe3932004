// database_file_concurrency_test.cpp -- saves racing handlers that change the
// database under the lock, saves racing each other, and the writer saving
// back to back that sleeps while nothing changes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "storage/database.h"
#include "storage/database_file.h"
#include "storage/database_writer.h"
#include "storage/record_changes.h"
#include "storage/user_index.h"
#include "storage/zlib_codec.h"
#include "tests/support/test_support.h"

using testsupport::readFile;
using testsupport::TempDir;

namespace {

// The user_maxid saved in the file at path, or -1 when there is no file yet.
int savedUserCounter(const std::string& path) {
  std::string bytes = readFile(path);
  if (bytes.empty()) return -1;
  cJSON* root = cJSON_Parse(decompressString(bytes).c_str());
  int value = cJSON_GetObjectItem(root, "user_maxid")->valueint;
  cJSON_Delete(root);
  return value;
}

// What a signin does to the database: raise the counter, append the record.
void addUser() {
  DatabaseLock lock(databaseMutex);
  ASSERT_TRUE(raiseCounter(user_maxid));
  cJSON* user = cJSON_CreateObject();
  cJSON_AddNumberToObject(user, "id", user_maxid);
  cJSON_AddStringToObject(user, "user_sid", std::string(200, 's').c_str());
  ASSERT_TRUE(appendUser(user));
}

}  // namespace

TEST(SaveConcurrency, SavesNeverGoBackAndTheLastHoldsEveryChange) {
  TempDir dir;
  std::string path = dir.file("index.ndb");
  ASSERT_TRUE(adoptDatabaseText(emptyDatabaseText()));
  std::atomic<bool> stop{false};
  std::atomic<bool> handlersDone{false};

  std::thread writer(persistDatabase, path, 0, std::ref(stop));
  // A second saver, as the orderly stop is beside the writer.
  std::thread saver([&] {
    while (!handlersDone) saveDatabaseNow(path);
  });
  std::vector<std::thread> handlers;
  for (int t = 0; t < 4; ++t) {
    handlers.emplace_back([] {
      for (int i = 0; i < 1000; ++i) {
        addUser();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }
  // Renames replace the file whole, and never with an older snapshot.
  int lastSeen = -1;
  bool wentBack = false;
  std::thread reader([&] {
    while (!handlersDone) {
      int now = savedUserCounter(path);
      if (now < lastSeen) wentBack = true;
      lastSeen = now;
    }
  });
  for (auto& h : handlers) h.join();
  handlersDone = true;
  saver.join();
  reader.join();
  stop = true;
  writer.join();
  EXPECT_FALSE(wentBack) << "an older snapshot replaced a newer one";

  ASSERT_TRUE(saveDatabaseNow(path));
  EXPECT_EQ(savedUserCounter(path), 4000);
  ASSERT_TRUE(loadDatabaseFile(path));
  EXPECT_EQ(cJSON_GetArraySize(userArray), 4000);
}

// Waits up to 20 s for done(); false when it never came.
template <typename Done>
bool eventually(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST(WriterConcurrency, BackToBackWriterSleepsUntilAChangeAndStopsPromptly) {
  TempDir dir;
  std::string path = dir.file("index.ndb");
  ASSERT_TRUE(adoptDatabaseText(emptyDatabaseText()));
  std::atomic<bool> stop{false};
  std::thread writer(persistDatabase, path, 0, std::ref(stop));
  auto savesBegun = databasefile_detail::savesBegunCount;
  auto expectNoSaveWhileIdle = [&](const char* when) {
    const std::uint64_t before = savesBegun();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(savesBegun() - before, 0u) << when << ": saving with nothing changed";
  };

  EXPECT_TRUE(eventually([&] { return savedUserCounter(path) == 0; })) << "no first save";
  expectNoSaveWhileIdle("after the first save");
  for (int user = 1; user <= 3; ++user) {
    addUser();
    EXPECT_TRUE(eventually([&] { return savedUserCounter(path) == user; }))
        << "user " << user << " not saved";
    expectNoSaveWhileIdle("after a change was saved");
  }

  const auto stopAt = std::chrono::steady_clock::now();
  stop = true;
  writer.join();
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(5));
}
