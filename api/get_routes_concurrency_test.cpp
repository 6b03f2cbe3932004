// get_routes_concurrency_test.cpp -- GET requests on many threads at once:
// every detail read counts its view exactly once, list pages read the
// database while it is being counted, and detail reads during edits of the
// item each give the detail as it stood before or after an edit.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "api/get_routes.h"
#include "storage/database.h"
#include "storage/news_index.h"
#include "storage/record_changes.h"
#include "tests/support/database_fixture.h"
#include "tests/support/test_support.h"

namespace {

constexpr const char* kDatabase = R"({
  "news_maxid": 2, "user_maxid": 1, "like_maxid": 0,
  "news": [
    {"id": 1, "title": "a", "timestamp": 1, "views": 0, "comments": 0, "likes": 0, "user_id": 1, "cover": ""},
    {"id": 2, "title": "b", "timestamp": 2, "views": 0, "comments": 0, "likes": 0, "user_id": 1, "cover": ""}
  ],
  "news_detail": [
    {"id": 1, "content": "a", "images": []},
    {"id": 2, "content": "b", "images": []}
  ],
  "user": [{"id": 1, "user_sid": "s", "nickname": "n", "avatar": ""}],
  "like": []
})";

// The database above in a working directory of its own.
class GetRoutesConcurrency : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testsupport::useConfiguration(testsupport::minimalConfig(8080)));
  }

  testsupport::TempDir dir;
  testsupport::ScopedChdir inside{dir.path};
  testsupport::TestDatabase database{kDatabase};
};

TEST_F(GetRoutesConcurrency, DetailReadsCountEveryView) {
  constexpr int kThreads = 6;
  constexpr int kReads = 40;
  std::vector<std::thread> threads;
  std::vector<int> okReplies(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &okReplies] {
      for (int i = 0; i < kReads; ++i) {
        std::string path = i % 4 == 3 ? "/v1/list/1" : "/v1/news/" + std::to_string(1 + t % 2);
        std::string reply = testsupport::captureReply([&](int s) { handleGet(s, path); });
        if (reply.rfind("HTTP/1.1 200 OK\r\n", 0) == 0) ++okReplies[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();

  int total = 0;
  for (int ok : okReplies) total += ok;
  EXPECT_EQ(total, kThreads * kReads);
  const int detailReads = kThreads / 2 * (kReads - kReads / 4);
  for (int index = 0; index < 2; ++index) {
    EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetArrayItem(newsArray, index), "views")->valueint,
              detailReads);
  }
}

// Each read gives the detail as the last edit before it left it, or as a
// later edit that overlapped the read: never an older one kept from before.
TEST_F(GetRoutesConcurrency, DetailReadsDuringEditsGiveACurrentVersion) {
  constexpr int kReaders = 4;
  constexpr int kEdits = 100;
  // The reply body of each version (-1: before the first edit). Contents
  // long enough that a reader's print of one overlaps the next edit.
  auto body = [](const std::string& content) {
    return "{\"id\":1,\"content\":\"" + content + "\",\"images\":[],\"avatar\":\"\"}";
  };
  auto contentOf = [](int edit) { return std::to_string(edit) + std::string(256 * 1024, 'x'); };
  std::map<std::string, int> versionOf = {{body("a"), -1}};
  for (int e = 0; e < kEdits; ++e) versionOf[body(contentOf(e))] = e;

  std::atomic<bool> editing{true};
  std::atomic<int> edited{-1};  // the last edit made
  std::atomic<int> reads{0};
  std::vector<std::thread> readers;
  std::vector<int> wrong(kReaders, 0);
  for (int t = 0; t < kReaders; ++t) {
    readers.emplace_back([t, &editing, &edited, &reads, &versionOf, &wrong] {
      while (editing.load()) {
        const int before = edited.load();
        std::string reply = testsupport::captureReply([](int s) { handleGet(s, "/v1/news/1"); });
        const int after = edited.load();
        auto found = versionOf.find(testsupport::splitReply(reply).second);
        if (found == versionOf.end() || found->second < before || found->second > after) {
          ++wrong[t];
        }
        ++reads;
      }
    });
  }
  for (int e = 0; e < kEdits; ++e) {
    // A few reads between two edits.
    while (reads.load() < 2 * e) std::this_thread::yield();
    DatabaseLock lock(databaseMutex);
    setRecordMember(newsDetailAt(0), "content", cJSON_CreateString(contentOf(e).c_str()));
    edited = e;
  }
  editing = false;
  for (auto& reader : readers) reader.join();
  for (int t = 0; t < kReaders; ++t) EXPECT_EQ(wrong[t], 0) << "reader " << t;
}

}  // namespace
