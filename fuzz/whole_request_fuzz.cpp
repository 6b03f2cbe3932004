// whole_request_fuzz.cpp -- fuzz target for the whole request: the input is
// what a client sends on one connection of the node's fixture.
//
// After each input: the node closed the connection, the database holds its
// invariants (aligned news arrays, unique ids within their counters,
// counters never lowered, the array nodes not replaced), nothing outside
// uploads/ changed, and the reply carried no session id, no node key and no
// file that is not served. The database and uploads/ are then put back for the next input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "fuzz/fuzz_check.h"
#include "fuzz/node_fixture.h"
#include "storage/database.h"
#include "storage/database_file.h"

using namespace fuzzfixture;

namespace {

void resetDatabase() { FUZZ_CHECK(adoptDatabaseText(kDatabase)); }

// Ids of one array: positive, unique and within the counter.
void checkIds(const cJSON* array, int counter) {
  std::set<int> seen;
  const cJSON* record = nullptr;
  cJSON_ArrayForEach(record, array) {
    const cJSON* id = cJSON_GetObjectItemCaseSensitive(record, "id");
    FUZZ_CHECK(cJSON_IsNumber(id));
    FUZZ_CHECK(id->valueint > 0 && id->valueint <= counter);
    FUZZ_CHECK(seen.insert(id->valueint).second);
  }
}

void checkDatabase() {
  FUZZ_CHECK(cJSON_GetObjectItem(databaseRoot, "news") == newsArray);
  FUZZ_CHECK(cJSON_GetObjectItem(databaseRoot, "news_detail") == newsDetailArray);
  FUZZ_CHECK(cJSON_GetObjectItem(databaseRoot, "user") == userArray);
  FUZZ_CHECK(cJSON_GetObjectItem(databaseRoot, "like") == likeArray);
  FUZZ_CHECK(cJSON_IsArray(newsArray) && cJSON_IsArray(newsDetailArray));
  FUZZ_CHECK(cJSON_IsArray(userArray) && cJSON_IsArray(likeArray));

  const int count = cJSON_GetArraySize(newsArray);
  FUZZ_CHECK(count == cJSON_GetArraySize(newsDetailArray));
  for (int i = 0; i < count; ++i) {
    const cJSON* news = cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(newsArray, i), "id");
    const cJSON* detail =
        cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(newsDetailArray, i), "id");
    FUZZ_CHECK(cJSON_IsNumber(news) && cJSON_IsNumber(detail));
    FUZZ_CHECK(news->valueint == detail->valueint);
  }
  // The fixture starts at 2, 3 and 1; counters are never lowered.
  FUZZ_CHECK(news_maxid >= 2 && user_maxid >= 3 && like_maxid >= 1);
  checkIds(newsArray, news_maxid);
  checkIds(userArray, user_maxid);
  checkIds(likeArray, like_maxid);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setUp();
  resetDatabase();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string reply = serve(data, size);
  checkDatabase();
  FUZZ_CHECK(snapshotOutsideUploads() == filesOutsideUploads);
  for (const char* secret : kNeverSent) FUZZ_CHECK(reply.find(secret) == std::string::npos);
  FUZZ_CHECK(reply.find(savedDatabase.substr(0, 64)) == std::string::npos);
  // ONDRIX_FUZZ_SHOW_REPLIES=1 prints the start of each reply (to look over a
  // corpus by hand).
  if (std::getenv("ONDRIX_FUZZ_SHOW_REPLIES")) {
    std::string shown = reply.substr(0, 300);
    std::fprintf(stderr, "reply (%zu bytes): %s\n", reply.size(), shown.c_str());
  }

  resetDatabase();
  resetUploads();
  return 0;
}
