// database_print_fuzz.cpp -- fuzz target for the saves' database text: the
// input's first bytes pick a few changes made through the storage routines,
// the rest is the database text. Whatever the database holds, the text a
// snapshot gives must be byte for byte cJSON_Print of the tree, before and
// after each change, and an earlier snapshot must keep its text.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "storage/database.h"
#include "storage/database_print.h"
#include "storage/like_index.h"
#include "storage/news_index.h"
#include "storage/records.h"
#include "storage/user_index.h"

namespace {

constexpr size_t kChangeBytes = 4;

std::string printedTree() {
  char* text = cJSON_Print(databaseRoot);
  std::string copy = text != nullptr ? text : "";
  cJSON_free(text);
  return copy;
}

// One change picked by code, made through the routines.
void change(uint8_t code) REQUIRES(databaseMutex) {
  const int news = newsCount();
  switch (code % 6) {
    case 0:
      appendUser(cJSON_Parse(R"({"id": 7, "user_sid": "s\n7", "nickname": "n"})"));
      break;
    case 1:
      appendNewsItem(cJSON_Parse(R"({"id": 9, "timestamp": 5, "views": 0, "likes": 0})"),
                     cJSON_Parse(R"({"id": 9, "content": "c", "images": []})"));
      break;
    case 2:
      if (news > 0) setNewsMember(newsRecordAt(code / 6 % news), "title", cJSON_CreateString("t"));
      break;
    case 3:
      if (news > 0) deleteNewsItem(code / 6 % news);
      break;
    case 4:
      toggleLike(code / 6 % 4, 7, "s\n7");
      break;
    default:
      if (news > 0) countNewsView(newsRecordAt(code / 6 % news));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kChangeBytes) return 0;
  const std::string text(reinterpret_cast<const char*>(data) + kChangeBytes, size - kChangeBytes);
  DatabaseLock lock(databaseMutex);
  cJSON* root = cJSON_ParseWithLength(text.data(), text.size());
  if (!installDatabase(root)) {
    cJSON_Delete(root);
    return 0;
  }
  DatabaseSnapshot earlier;
  FUZZ_CHECK(snapshotDatabase(earlier));
  std::string earlierText = printedTree();
  FUZZ_CHECK(databaseText(earlier) == earlierText);
  for (size_t i = 0; i < kChangeBytes; ++i) {
    change(data[i]);
    DatabaseSnapshot now;
    FUZZ_CHECK(snapshotDatabase(now));
    const std::string nowText = printedTree();
    FUZZ_CHECK(databaseText(now) == nowText);
    FUZZ_CHECK(databaseText(earlier) == earlierText);
    earlier = now;
    earlierText = nowText;
  }
  clearDatabase();
  return 0;
}
