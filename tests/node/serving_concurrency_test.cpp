// serving_concurrency_test.cpp -- many parallel clients mixing reads, likes
// and posts against the real node while its writer saves without pause;
// afterwards every count and record is exact, over the API and in the saved
// database file.
#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "storage/database_file.h"
#include "storage/json_tree.h"
#include "storage/zlib_codec.h"
#include "tests/support/test_support.h"

using namespace testsupport;

namespace {

JsonTree parse(const std::string& text) {
  return JsonTree(cJSON_Parse(text.c_str()));
}

int intMember(const cJSON* object, const char* key) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
  return cJSON_IsNumber(item) ? item->valueint : -1;
}

std::string formPost(const std::string& path, const std::string& body) {
  return "POST " + path +
         " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         "Content-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

constexpr int kUsers = 6;
constexpr int kFirstNews = 3;
constexpr int kThreads = 16;
constexpr int kRequestsPerThread = 100;

TEST(ServingConcurrency, ParallelClientsLeaveExactCountsAndASavedFileThatMatches) {
  // A data race or memory error in the node ends it at once instead of
  // only being printed.
  std::string tsan = std::getenv("TSAN_OPTIONS") ? std::getenv("TSAN_OPTIONS") : "";
  setenv("TSAN_OPTIONS", (tsan + " halt_on_error=1").c_str(), 1);

  TempDir dir;
  int port = freePort();
  writeFile(dir.file("config.json"), minimalConfig(port, 0, "\"admin\":\t[1]"));
  NodeProcess node;
  ASSERT_TRUE(startNode(node, dir.path, port)) << node.outSoFar;

  auto ask = [port](const std::string& request) {
    return splitReply(sendRaw(port, request, 60000)).second;
  };
  for (int u = 1; u <= kUsers; ++u) {
    ASSERT_EQ(ask(multipartRequest("/v1/signin", {{"uid", "0"}, {"sid", "s" + std::to_string(u)}})),
              "{\"id\":" + std::to_string(u) + "}");
  }
  auto postNews = [&ask](const std::string& title) {
    JsonTree reply = parse(ask(multipartRequest(
        "/v1/postnews",
        {{"uid", "1"}, {"sid", "s1"}, {"id", "0"}, {"title", title}, {"content", "text"}})));
    return reply ? intMember(reply.get(), "id") : -1;
  };
  std::vector<int> firstNews;
  for (int k = 0; k < kFirstNews; ++k) {
    firstNews.push_back(postNews("first " + std::to_string(k)));
    ASSERT_EQ(firstNews.back(), k + 1);
  }

  std::atomic<int> views[kFirstNews] = {};
  std::atomic<int> toggles[kUsers + 1][kFirstNews] = {};
  std::atomic<int> added[kUsers + 1][kFirstNews] = {};
  std::atomic<int> failures{0};
  std::mutex postedMutex;
  std::set<int> posted;
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < kRequestsPerThread; ++i) {
        int k = (t + i) % kFirstNews;
        int u = 1 + (t * 7 + i) % kUsers;
        switch ((t + 3 * i) % 5) {
          case 0:
          case 1: {
            std::string reply = ask(formPost("/v1/like", "id=" + std::to_string(firstNews[k]) +
                                                             "&uid=" + std::to_string(u) +
                                                             "&sid=s" + std::to_string(u)));
            ++toggles[u][k];
            if (reply == "{\"r\":1}") {
              ++added[u][k];
            } else if (reply != "{\"r\":0}") {
              ++failures;
            }
            break;
          }
          case 2: {
            JsonTree reply = parse(ask(getRequest("/v1/news/" + std::to_string(firstNews[k]))));
            if (reply && intMember(reply.get(), "id") == firstNews[k]) {
              ++views[k];
            } else {
              ++failures;
            }
            break;
          }
          case 3: {
            JsonTree reply = parse(ask(getRequest("/v1/list/" + std::to_string(1 + i % 3))));
            if (!cJSON_IsArray(reply.get())) ++failures;
            break;
          }
          case 4: {
            int id = postNews("t" + std::to_string(t) + " i" + std::to_string(i));
            std::lock_guard<std::mutex> lock(postedMutex);
            if (id <= 0 || !posted.insert(id).second) ++failures;
            break;
          }
        }
      }
    });
  }
  for (std::thread& c : clients) c.join();
  ASSERT_EQ(failures.load(), 0) << "requests failed or were answered wrongly";

  // What the counts must be now.
  int likeRecords = 0, likeIds = 0;
  int likesOf[kFirstNews] = {};
  for (int u = 1; u <= kUsers; ++u) {
    for (int k = 0; k < kFirstNews; ++k) {
      // Toggles of one pair alternate add and remove, starting with an add.
      EXPECT_EQ(added[u][k].load(), (toggles[u][k].load() + 1) / 2)
          << "user " << u << " news " << k;
      likeIds += added[u][k].load();
      if (toggles[u][k].load() % 2 == 1) {
        ++likeRecords;
        ++likesOf[k];
      }
    }
  }
  int newsCount = kFirstNews + static_cast<int>(posted.size());

  // Over the API: every page of the list, views and likes of the first items.
  std::map<int, JsonTree> listed;
  for (int page = 1;; ++page) {
    JsonTree items = parse(ask(getRequest("/v1/list/" + std::to_string(page))));
    ASSERT_TRUE(cJSON_IsArray(items.get()));
    if (cJSON_GetArraySize(items.get()) == 0) break;
    for (cJSON* item = items->child; item != nullptr; item = item->next) {
      listed.emplace(intMember(item, "id"), JsonTree(cJSON_Duplicate(item, 1)));
    }
  }
  EXPECT_EQ(static_cast<int>(listed.size()), newsCount);
  for (int k = 0; k < kFirstNews; ++k) {
    ASSERT_TRUE(listed.count(firstNews[k]));
    EXPECT_EQ(intMember(listed.at(firstNews[k]).get(), "views"), views[k].load());
    EXPECT_EQ(intMember(listed.at(firstNews[k]).get(), "likes"), likesOf[k]);
  }

  // The orderly stop saves once more; the saved file holds the same.
  ASSERT_EQ(stopNode(node, SIGTERM), 0);
  JsonTree saved = parse(decompressString(readFile(dir.file("data/index.ndb"))));
  ASSERT_TRUE(saved);
  EXPECT_EQ(intMember(saved.get(), "news_maxid"), newsCount);
  EXPECT_EQ(intMember(saved.get(), "user_maxid"), kUsers);
  EXPECT_EQ(intMember(saved.get(), "like_maxid"), likeIds);
  cJSON* news = cJSON_GetObjectItemCaseSensitive(saved.get(), "news");
  cJSON* details = cJSON_GetObjectItemCaseSensitive(saved.get(), "news_detail");
  ASSERT_EQ(cJSON_GetArraySize(news), newsCount);
  ASSERT_EQ(cJSON_GetArraySize(details), newsCount);
  EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItemCaseSensitive(saved.get(), "user")), kUsers);
  EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItemCaseSensitive(saved.get(), "like")), likeRecords);
  for (int i = 0; i < newsCount; ++i) {
    cJSON* record = cJSON_GetArrayItem(news, i);
    int id = intMember(record, "id");
    EXPECT_EQ(intMember(cJSON_GetArrayItem(details, i), "id"), id) << "arrays out of step at " << i;
    ASSERT_TRUE(listed.count(id)) << "saved news " << id << " was not listed";
    EXPECT_EQ(intMember(record, "views"), intMember(listed.at(id).get(), "views"));
    EXPECT_EQ(intMember(record, "likes"), intMember(listed.at(id).get(), "likes"));
  }
}

}  // namespace
