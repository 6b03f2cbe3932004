// database_print_fuzz.cpp -- fuzz target for the saves' database text: the
// input's first byte sets the elements per chunk of the kept prints (1 to 8,
// so that a few records fill, empty and merge chunks), the next bytes pick
// changes made through the storage routines (appends, edits, removals
// anywhere, an element removed and appended again), the rest is the database
// text. Whatever the database holds, the text a snapshot gives must be byte
// for byte cJSON_Print of the tree, before and after each change, an earlier
// snapshot must keep its text, and the kept prints must know exactly the
// elements of their arrays.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "storage/database.h"
#include "storage/database_print.h"
#include "storage/like_index.h"
#include "storage/news_index.h"
#include "storage/record_changes.h"
#include "storage/records.h"
#include "storage/user_index.h"

namespace {

constexpr size_t kChunkByte = 1;
constexpr size_t kChangeBytes = 8;
constexpr size_t kMaxChunkSlots = 8;
constexpr int kChangeKinds = 9;

std::string printedTree() {
  char* text = cJSON_Print(databaseRoot);
  std::string copy = text != nullptr ? text : "";
  cJSON_free(text);
  return copy;
}

// The element at position of array removed and a copy appended at its end,
// through the routines of its array.
void moveToEnd(cJSON* array, int position) REQUIRES(databaseMutex) {
  const int size = cJSON_GetArraySize(array);
  if (size == 0) return;
  position %= size;
  if (array == likeArray) {
    cJSON* like = cJSON_GetArrayItem(likeArray, position);
    cJSON* copy = cJSON_Duplicate(like, true);
    deleteLike(like);
    if (!appendLike(copy)) cJSON_Delete(copy);
    return;
  }
  if (position >= newsCount()) return;
  cJSON* news = cJSON_Duplicate(newsRecordAt(position), true);
  cJSON* detail = cJSON_Duplicate(newsDetailAt(position), true);
  deleteNewsItem(position);
  if (!appendNewsItem(news, detail)) {
    cJSON_Delete(news);
    cJSON_Delete(detail);
  }
}

// One change picked by code, made through the routines.
void change(uint8_t code) REQUIRES(databaseMutex) {
  const int news = newsCount();
  const int pick = code / kChangeKinds;
  switch (code % kChangeKinds) {
    case 0:
      appendUser(cJSON_Parse(R"({"id": 7, "user_sid": "s\n7", "nickname": "n"})"));
      break;
    case 1:
      appendNewsItem(cJSON_Parse(R"({"id": 9, "timestamp": 5, "views": 0, "likes": 0})"),
                     cJSON_Parse(R"({"id": 9, "content": "c", "images": []})"));
      break;
    case 2:
      if (news > 0) setNewsMember(newsRecordAt(pick % news), "title", cJSON_CreateString("t"));
      break;
    case 3:
      if (news > 0) deleteNewsItem(pick % news);
      break;
    case 4:
      toggleLike(pick % 4, 7, "s\n7");
      break;
    case 5:
      moveToEnd(likeArray, pick);
      break;
    case 6:
      moveToEnd(newsArray, pick);
      break;
    case 7: {
      // A run of likes appended, then every other one of them removed.
      cJSON* added[kMaxChunkSlots * 2] = {};
      const int count = 2 + pick % (kMaxChunkSlots * 2 - 1);
      for (int i = 0; i < count; ++i) {
        cJSON* like = cJSON_CreateObject();
        cJSON_AddNumberToObject(like, "id", 100 + i);
        if (appendLike(like)) {
          added[i] = like;
        } else {
          cJSON_Delete(like);
        }
      }
      for (int i = pick % 2; i < count; i += 2) deleteLike(added[i]);
      break;
    }
    default:
      if (news > 0) countNewsView(newsRecordAt(pick % news));
  }
}

// The kept prints of each array know exactly its elements.
bool keptPrintsMatchArrays() REQUIRES(databaseMutex) {
  for (const cJSON* array : {newsArray, newsDetailArray, userArray, likeArray}) {
    const KeptPrintsFootprint kept = keptPrintsFootprint(array);
    if (kept.elements != static_cast<size_t>(cJSON_GetArraySize(array))) return false;
    if (kept.slots < kept.elements) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t head = kChunkByte + kChangeBytes;
  if (size < head) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + head, size - head);
  DatabaseLock lock(databaseMutex);
  cJSON* root = cJSON_ParseWithLength(text.data(), text.size());
  if (!installDatabase(root)) {
    cJSON_Delete(root);
    return 0;
  }
  databaseprint_detail::setChunkSlots(1 + data[0] % kMaxChunkSlots);
  DatabaseSnapshot earlier;
  FUZZ_CHECK(snapshotDatabase(earlier));
  std::string earlierText = printedTree();
  FUZZ_CHECK(databaseText(earlier) == earlierText);
  for (size_t i = kChunkByte; i < head; ++i) {
    change(data[i]);
    DatabaseSnapshot now;
    FUZZ_CHECK(snapshotDatabase(now));
    const std::string nowText = printedTree();
    FUZZ_CHECK(databaseText(now) == nowText);
    FUZZ_CHECK(databaseText(earlier) == earlierText);
    FUZZ_CHECK(keptPrintsMatchArrays());
    earlier = now;
    earlierText = nowText;
  }
  clearDatabase();
  return 0;
}
