// get_routes_concurrency_test.cpp -- GET requests on many threads at once:
// every detail read counts its view exactly once, and list pages read the
// database while it is being counted.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "api/get_routes.h"
#include "storage/database.h"
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

TEST(GetRoutesConcurrency, DetailReadsCountEveryView) {
  testsupport::TempDir dir;
  testsupport::ScopedChdir inside(dir.path);
  testsupport::TestDatabase database(kDatabase);
  ASSERT_TRUE(testsupport::useConfiguration(testsupport::minimalConfig(8080)));

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

}  // namespace
