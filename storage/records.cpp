// records.cpp -- user, administrator and like lookups, and toggleLike.
#include "storage/records.h"

#include <cjson/cJSON.h>

#include <ctime>
#include <memory>

#include "storage/database.h"
#include "storage/json_search.h"
#include "storage/json_tree.h"
#include "storage/json_values.h"
#include "storage/like_index.h"
#include "storage/news_index.h"
#include "storage/record_changes.h"
#include "storage/user_index.h"

const cJSON* administratorList = nullptr;

namespace {

constexpr int kNotFound = -1;
constexpr int kBroken = -2;

// The session check by record: the user's "user_sid" must be a text of the
// same length and bytes as sessionId.
bool sessionIsUsers(const cJSON* user, const std::string& sessionId) {
  const cJSON* sid = cJSON_GetObjectItem(user, "user_sid");
  const char* text = textOf(sid);
  return text != nullptr && sessionId == text;
}

// The administrator loop over administratorList.
int adminListIndex(int userId) {
  if (administratorList == nullptr) return kNotFound;
  int i = 0;
  for (const cJSON* item = administratorList->child; item != nullptr; item = item->next, ++i) {
    if (configIntValue(item) == userId) return i;
  }
  // cJSON arrays hold no gaps: a listed element is never missing.
  return kNotFound;
}

}  // namespace

int userIdBySession(const std::string& sessionId) {
  const cJSON* user = findUserBySession(sessionId.c_str());
  if (user == nullptr) return kNotFound;
  return jsonIntValue(cJSON_GetObjectItem(user, "id"));
}

int userIndexById(int userId) {
  int index = kNotFound;
  findUserById(userId, &index);
  return index;
}

cJSON* userById(int userId) { return findUserById(userId, nullptr); }

cJSON* newsAuthor(const cJSON* record) {
  const cJSON* userId = cJSON_GetObjectItem(record, "user_id");
  if (!cJSON_IsNumber(userId)) return nullptr;
  return userById(jsonIntValue(userId));
}

int adminIndex(int userId) { return adminListIndex(userId); }

int adminIndexBySession(const std::string& sessionId) {
  const cJSON* user = findUserBySession(sessionId.c_str());
  if (user == nullptr) return kBroken;
  return adminListIndex(jsonIntValue(cJSON_GetObjectItem(user, "id")));
}

int adminIndexChecked(int userId, const std::string& sessionId) {
  const cJSON* user = userById(userId);
  if (user == nullptr || !sessionIsUsers(user, sessionId)) return kNotFound;
  return adminListIndex(userId);
}

int findLike(int newsId, int userId, const std::string& sessionId) {
  // The first like of the news item by the user in array order, found
  // through the like index instead of a walk over the whole "like" array.
  if (!cJSON_IsArray(databaseState.likeArray)) return kBroken;
  const cJSON* like = findLikeRecord(newsId, userId);
  if (like == nullptr) return kNotFound;
  const cJSON* user = userById(userId);
  if (user == nullptr || !sessionIsUsers(user, sessionId)) return kBroken;
  return jsonIntValue(cJSON_GetObjectItem(like, "id"));
}

int toggleLike(int newsId, int userId, const std::string& sessionId) {
  const int existing = findLike(newsId, userId, sessionId);
  if (existing != kNotFound && existing < 0) return -1;
  const bool adding = existing == kNotFound;
  JsonTree like(nullptr);
  cJSON* removed = nullptr;
  if (adding) {
    // Likes are added only for a user that exists and owns the session id:
    // a like under a stranger's id or session could never be removed again.
    const cJSON* user = userById(userId);
    if (user == nullptr || !sessionIsUsers(user, sessionId)) return -1;
    // An exhausted counter refuses the like rather than reuse an id.
    if (databaseState.like_maxid >= kMaxCounterValue) return -1;
    like.reset(cJSON_CreateObject());
    if (like == nullptr) return -1;
    if (cJSON_AddNumberToObject(like.get(), "id", databaseState.like_maxid + 1) == nullptr ||
        cJSON_AddNumberToObject(like.get(), "news_id", newsId) == nullptr ||
        cJSON_AddNumberToObject(like.get(), "user_id", userId) == nullptr ||
        cJSON_AddNumberToObject(like.get(), "timestamp", static_cast<double>(std::time(nullptr))) ==
            nullptr) {
      return -1;
    }
  } else {
    // The first record whose "id" reads as the found like's id: usually that
    // like, but the first of the array when ids repeat.
    removed = findLikeById(existing);
    if (removed == nullptr) return -1;
  }

  // The first news record whose "id" reads as newsId, found through the news
  // index instead of a walk over the whole "news" array. Its new count is
  // made before anything changes: a like that cannot be counted is not
  // stored either.
  cJSON* news = findNewsById(newsId, nullptr);
  const cJSON* likes = news != nullptr ? cJSON_GetObjectItem(news, "likes") : nullptr;
  JsonTree count(nullptr);
  if (likes != nullptr) {
    const long long moved = static_cast<long long>(jsonIntValue(likes)) + (adding ? 1 : -1);
    count.reset(cJSON_CreateNumber(static_cast<double>(moved)));
    if (count == nullptr) return -1;
  }

  if (adding) {
    if (!appendLike(like.get())) return -1;
    like.release();
    raiseCounter(databaseState.like_maxid);
  } else {
    deleteLike(removed);
  }
  // No such news record: the like change stays. A record without "likes"
  // comes only from a damaged database: the like change stands and the
  // record is left as it is.
  if (news == nullptr) return -1;
  if (count != nullptr) setRecordMember(news, "likes", count.release());
  return adding ? 1 : 0;
}
