// bench_database.cpp -- generated databases and node directories for the benchmarks.
#include "bench/bench_database.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "storage/database_file.h"
#include "storage/json_tree.h"
#include "storage/zlib_codec.h"

namespace {

constexpr int kBaseTime = 1600000000;  // posting time of news id 0
constexpr int kPostingGap = 3600;      // one item an hour
constexpr int kMinUsers = 100;
constexpr int kAdmins = 3;
constexpr int kLikerStride = 7;  // spreads the likers over the users

int userCountFor(int newsCount) { return newsCount / 10 > kMinUsers ? newsCount / 10 : kMinUsers; }

// The users who like item id: one for every item, a second for even ids.
int firstLiker(int id, int users) {
  return static_cast<int>((1LL * id * kLikerStride) % users) + 1;
}
int secondLiker(int id, int users) { return static_cast<int>((1LL * id * 13 + 5) % users) + 1; }
int likesOf(int id) { return id % 2 == 0 ? 2 : 1; }

std::string coverPath(int id) {
  return "uploads/img/2020/9/13/" + std::to_string(id) + "/0" + std::to_string(kBaseTime + id) +
         ".webp";
}

std::string secondImagePath(int id) {
  return "uploads/img/2020/9/13/" + std::to_string(id) + "/1" + std::to_string(kBaseTime + id) +
         ".webp";
}

std::string contentOf(int id) {
  std::string text =
      "News item " + std::to_string(id) + ": the node's operators report on the week's events. ";
  // About 300 bytes of body text per item, varying with the id.
  static const char* kWords[] = {"harbour", "market",  "weather", "council", "festival",
                                 "railway", "library", "bridge",  "school",  "garden"};
  for (int w = 0; text.size() < 300; ++w) {
    text += kWords[(id + w * 3) % 10];
    text += (w % 9 == 8) ? ". " : " ";
  }
  return text;
}

void addNumber(cJSON* object, const char* key, double value) {
  cJSON_AddItemToObject(object, key, cJSON_CreateNumber(value));
}

void addText(cJSON* object, const char* key, const std::string& value) {
  cJSON_AddItemToObject(object, key, cJSON_CreateString(value.c_str()));
}

bool writeBytes(const std::string& path, const std::string& bytes) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    std::fprintf(stderr, "cannot open %s for writing\n", path.c_str());
    return false;
  }
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

BenchShape benchShape(int newsCount, int userCount) {
  BenchShape shape;
  shape.newsCount = newsCount;
  shape.userCount = userCount > 0 ? userCount : userCountFor(newsCount);
  shape.adminCount = kAdmins;
  shape.oldestNewsId = 1;
  shape.newestNewsId = newsCount;
  for (int id = 1; id <= newsCount; ++id) shape.likeCount += likesOf(id);
  shape.uploadPath = coverPath(1);
  // A user who has not liked item 1 (item 1 is odd: one like only).
  shape.likerId = kAdmins + 1;
  if (shape.likerId == firstLiker(1, shape.userCount)) ++shape.likerId;
  shape.likerSid = "sid-" + std::to_string(shape.likerId);
  return shape;
}

cJSON* buildBenchDatabase(int newsCount, int userCount) {
  BenchShape shape = benchShape(newsCount, userCount);
  JsonTree root(cJSON_CreateObject());
  addNumber(root.get(), "news_maxid", newsCount);
  addNumber(root.get(), "user_maxid", shape.userCount);
  addNumber(root.get(), "like_maxid", shape.likeCount);
  cJSON* news = cJSON_AddArrayToObject(root.get(), "news");
  cJSON* details = cJSON_AddArrayToObject(root.get(), "news_detail");
  cJSON* users = cJSON_AddArrayToObject(root.get(), "user");
  cJSON* likes = cJSON_AddArrayToObject(root.get(), "like");

  int likeId = 0;
  for (int id = 1; id <= newsCount; ++id) {
    cJSON* record = cJSON_CreateObject();
    addNumber(record, "id", id);
    addText(record, "title", "Week " + std::to_string(id) + " on the node");
    addNumber(record, "timestamp", kBaseTime + 1.0 * id * kPostingGap);
    addNumber(record, "views", (id * 37) % 1000);
    addNumber(record, "comments", 0);
    addNumber(record, "likes", likesOf(id));
    addNumber(record, "user_id", (id % kAdmins) + 1);
    addText(record, "cover", coverPath(id));
    cJSON_AddItemToArray(news, record);

    cJSON* detail = cJSON_CreateObject();
    addNumber(detail, "id", id);
    addText(detail, "content", contentOf(id));
    cJSON* images = cJSON_AddArrayToObject(detail, "images");
    cJSON_AddItemToArray(images, cJSON_CreateString(coverPath(id).c_str()));
    cJSON_AddItemToArray(images, cJSON_CreateString(secondImagePath(id).c_str()));
    cJSON_AddItemToArray(details, detail);

    int likers[2] = {firstLiker(id, shape.userCount), secondLiker(id, shape.userCount)};
    for (int k = 0; k < likesOf(id); ++k) {
      cJSON* like = cJSON_CreateObject();
      addNumber(like, "id", ++likeId);
      addNumber(like, "news_id", id);
      addNumber(like, "user_id", likers[k]);
      addNumber(like, "timestamp", kBaseTime + 1.0 * id * kPostingGap + 60 * (k + 1));
      cJSON_AddItemToArray(likes, like);
    }
  }

  for (int id = 1; id <= shape.userCount; ++id) {
    cJSON* user = cJSON_CreateObject();
    addNumber(user, "id", id);
    addText(user, "user_sid", "sid-" + std::to_string(id));
    addText(user, "nickname", "reader " + std::to_string(id));
    addNumber(user, "nickname_uptm", 0);
    addText(user, "avatar",
            "uploads/avatar/2020/9/13/" + std::to_string(id) + std::to_string(kBaseTime) + ".webp");
    addNumber(user, "avatar_uptm", 0);
    addText(user, "avatar_hash", "hash-" + std::to_string(id));
    cJSON_AddItemToArray(users, user);
  }
  return root.release();
}

std::string benchConfigText(int port) {
  return "{\n"
         "\t\"name\":\t\"Bench node\",\n"
         "\t\"icon\":\t\"img/icon.png\",\n"
         "\t\"cover\":\t\"img/cover.png\",\n"
         "\t\"port\":\t" +
         std::to_string(port) +
         ",\n"
         "\t\"page_size\":\t" +
         std::to_string(kBenchPageSize) +
         ",\n"
         "\t\"admin\":\t[1, 2, 3],\n"
         "\t\"write_interval\":\t10000,\n"
         "\t\"watermark\":\t{\n"
         "\t\t\"path\":\t\"img/watermark.png\",\n"
         "\t\t\"offsetX\":\t10,\n"
         "\t\t\"offsetY\":\t10,\n"
         "\t\t\"position\":\t\"bottom-right\"\n"
         "\t},\n"
         "\t\"sercut_key\":\t\"0000000000000000000000000000000000000000000000000000000000000000\","
         "\n"
         "\t\"edit_interval\":\t7776000\n"
         "}";
}

bool writeBenchNodeDirectory(const std::string& dir, int newsCount, int port, int userCount) {
  JsonTree root(buildBenchDatabase(newsCount, userCount));
  char* printed = cJSON_Print(root.get());
  if (printed == nullptr) {
    std::fprintf(stderr, "cannot print the generated database\n");
    return false;
  }
  std::string text(printed);
  cJSON_free(printed);
  std::string compressed;
  try {
    compressed = compressString(text, -1);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "compressing the generated database: %s\n", e.what());
    return false;
  }

  // A fixed, non-repeating byte pattern so compression on the way out would gain nothing.
  std::string upload(kBenchUploadBytes, '\0');
  unsigned state = 12345u;
  for (char& c : upload) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  BenchShape shape = benchShape(newsCount, userCount);
  return writeBytes(dir + "/config.json", benchConfigText(port)) &&
         writeBytes(dir + "/data/index.ndb", compressed) &&
         writeBytes(dir + "/img/icon.png", std::string(2048, 'i')) &&
         writeBytes(dir + "/img/cover.png", std::string(4096, 'c')) &&
         writeBytes(dir + "/img/watermark.png", std::string(1024, 'w')) &&
         writeBytes(dir + "/" + shape.uploadPath, upload);
}
