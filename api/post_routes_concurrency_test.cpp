// post_routes_concurrency_test.cpp -- POST actions on several threads at once:
// every new user and news item gets its own id, and the parallel news arrays
// stay aligned.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "api/post_routes.h"
#include "storage/database.h"
#include "storage/database_file.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::multipartRequest;

std::string replyBody(const std::string& path, const std::string& request) {
  std::string raw = testsupport::captureReply([&](int fd) { handlePost(fd, path, request); });
  return testsupport::splitReply(raw).second;
}

TEST(PostRoutesConcurrency, SigninsAndPostsOnManyThreads) {
  ASSERT_TRUE(
      testsupport::useConfiguration(testsupport::minimalConfig(8080, 10000, "\"admin\": [1]")));
  ASSERT_TRUE(adoptDatabaseText(emptyDatabaseText()));
  testsupport::TempDir dir;
  testsupport::ScopedChdir chdir(dir.path);
  ASSERT_EQ(
      replyBody("/v1/signin", multipartRequest("/v1/signin", {{"uid", "0"}, {"sid", "admin"}})),
      "{\"id\":1}");

  constexpr int kThreads = 6;
  constexpr int kRounds = 10;
  std::vector<std::vector<std::string>> replies(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &replies] {
      for (int i = 0; i < kRounds; ++i) {
        const std::string sid = "s" + std::to_string(t) + "-" + std::to_string(i);
        replies[t].push_back(
            replyBody("/v1/signin", multipartRequest("/v1/signin", {{"uid", "0"}, {"sid", sid}})));
        replies[t].push_back(replyBody(
            "/v1/postnews", multipartRequest("/v1/postnews", {{"uid", "1"},
                                                              {"sid", "admin"},
                                                              {"id", "0"},
                                                              {"title", sid},
                                                              {"img", "image " + sid, "0"}})));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::set<std::string> distinct;
  for (const auto& list : replies) distinct.insert(list.begin(), list.end());
  // kThreads * kRounds user ids 2.. and as many news ids 1.., each reply {"id":n}.
  EXPECT_EQ(user_maxid, 1 + kThreads * kRounds);
  EXPECT_EQ(news_maxid, kThreads * kRounds);
  EXPECT_EQ(cJSON_GetArraySize(userArray), 1 + kThreads * kRounds);
  ASSERT_EQ(cJSON_GetArraySize(newsArray), kThreads * kRounds);
  ASSERT_EQ(cJSON_GetArraySize(newsDetailArray), kThreads * kRounds);
  for (int i = 0; i < kThreads * kRounds; ++i) {
    EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetArrayItem(newsArray, i), "id")->valueint,
              cJSON_GetObjectItem(cJSON_GetArrayItem(newsDetailArray, i), "id")->valueint);
  }
  // Signins give ids 2..61 and posts 1..60, so the distinct replies are 1..61.
  EXPECT_EQ(distinct.size(), static_cast<std::size_t>(1 + kThreads * kRounds));
}

}  // namespace
