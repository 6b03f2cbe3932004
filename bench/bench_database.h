// bench_database.h -- generated databases and node directories for the
// benchmarks: N news items with their details, users and likes.
#pragma once

#include <cjson/cJSON.h>

#include <string>

// The shape of a generated database, so benchmarks and scripts know which
// ids and paths exist.
struct BenchShape {
  int newsCount = 0;
  int userCount = 0;
  int likeCount = 0;
  int adminCount = 0;      // users 1..adminCount are the administrators and authors
  int oldestNewsId = 1;    // the first posted item (index 0, oldest timestamp)
  int newestNewsId = 0;    // the last posted item
  std::string uploadPath;  // the 200 KB cover image of the oldest item
  std::string likerSid;    // session id of user likerId
  int likerId = 0;         // a user who has not liked the oldest item
};

// The shape of the database of newsCount items. userCount 0 gives the
// default number of users (a tenth of the items, at least 100); users 1..U
// have the session ids "sid-1".."sid-U" in array order.
BenchShape benchShape(int newsCount, int userCount = 0);

// A new database tree of newsCount items and userCount users (0: the
// default), owned by the caller (free with cJSON_Delete), with the members
// and record shapes the node writes. Ids run 1..N in posting order and
// timestamps grow with the id, so the newest item is the last of the array.
cJSON* buildBenchDatabase(int newsCount, int userCount = 0);

// Size of the generated upload file in bytes.
constexpr int kBenchUploadBytes = 200 * 1024;

// Page size of the generated config.json.
constexpr int kBenchPageSize = 20;

// Writes a working directory for the node under dir: config.json listening on
// port, data/index.ndb (compressed with the node's compressString) of
// newsCount items and userCount users (0: the default), the node pictures and
// the 200 KB upload. Returns false with a message on standard error when a
// file cannot be written.
bool writeBenchNodeDirectory(const std::string& dir, int newsCount, int port, int userCount = 0);

// The config.json text of a generated node directory.
std::string benchConfigText(int port);
