// user_actions.cpp -- signin, postavatar, postnickname and like.
#include "api/user_actions.h"

#include <ctime>
#include <optional>

#include "api/action_helpers.h"
#include "storage/json_search.h"
#include "api/settings.h"
#include "api/uploads.h"
#include "storage/database.h"
#include "storage/file_helpers.h"
#include "storage/news_index.h"
#include "storage/records.h"
#include "storage/user_index.h"

namespace {

// True while a change is refused: fewer than edit_interval seconds have
// passed since the stored time of the last change.
bool tooEarly(const cJSON* record, const char* timeKey, std::time_t now) {
  const long long last = jsonIntValue(cJSON_GetObjectItem(record, timeKey));
  return static_cast<long long>(now) - last < apiSettings.editInterval;
}

// Finds the user uid, under the held database lock, for a change whose last
// time is stored at timeKey. Answers {"r":0} when there is no such user or the
// last change is too recent and {"id":0} when sid is not the session id the
// user signed in with (the avatar hash is known to other clients and is no
// credential for a change); returns nullptr after answering.
cJSON* userForChange(ReplyTree& reply, int uid, const std::string& sid, const char* timeKey,
                     std::time_t now) REQUIRES(databaseMutex) {
  cJSON* user = userById(uid);
  if (user == nullptr) {
    answer(reply, "r", 0);
    return nullptr;
  }
  if (!memberEquals(user, "user_sid", sid)) {
    answer(reply, "id", 0);
    return nullptr;
  }
  if (tooEarly(user, timeKey, now)) {
    answer(reply, "r", 0);
    return nullptr;
  }
  return user;
}

std::string avatarPath(const DateParts& date, int userId, std::time_t now) {
  return avatarDirectory(date) + std::to_string(userId) +
         std::to_string(static_cast<long long>(now)) + kUploadExtension;
}

// Writes the avatar bytes to the file for userId at now, creating its dated
// directories. Returns the stored path, or "" when the file cannot be stored
// whole; nothing new is left then (directories it made and left empty go).
std::string storeAvatar(const DateParts& date, int userId, std::time_t now,
                        std::string_view bytes) {
  ensureDirectory(avatarDirectory(date));  // a failure shows as a file that cannot be created
  const std::string path = avatarPath(date, userId, now);
  if (writeUploadFile(path, bytes)) return path;
  removeUploadDirectories(path);
  return "";
}

// Starts an action on a user sent as a multipart form: sets the JSON reply
// with status 200 and reads the fields. Returns the handler's result when the
// action ends here (false: the form cannot be read; true after answering
// {emptyKey:0} to a form without parts), nothing when fields were read.
std::optional<bool> startUserAction(ReplyTree& reply, std::string& contentType, int& status,
                                    const std::vector<FormPart>& parts, int partCount,
                                    const char* emptyKey, UserFormFields& fields) {
  contentType = kJsonReplyType;
  status = 200;
  if (partCount == 0) {
    answer(reply, emptyKey, 0);
    return true;
  }
  if (!readUserFormFields(parts, fields)) return false;
  return std::nullopt;
}

}  // namespace

bool signin(ReplyTree& reply, std::string& contentType, int& status,
            const std::vector<FormPart>& parts, int partCount) {
  UserFormFields fields;
  if (const std::optional<bool> done =
          startUserAction(reply, contentType, status, parts, partCount, "id", fields)) {
    return *done;
  }
  const std::time_t now = std::time(nullptr);
  const DateParts date = toDateParts(now);
  if (fields.uid < 0 || hasOverlongField(fields)) {
    answer(reply, "id", 0);
    return true;
  }

  DatabaseLock lock(databaseMutex);
  if (fields.uid == 0) {
    const int found = userIdBySession(fields.sid);
    if (found != -1) {
      answer(reply, "id", found);
      return true;
    }
  } else {
    const cJSON* user = userById(fields.uid);
    if (user != nullptr) {
      const bool accepted = memberEquals(user, "user_sid", fields.sid) ||
                            memberEquals(user, "avatar_hash", fields.hash);
      answer(reply, "id", accepted ? fields.uid : 0);
      return true;
    }
    // No such user: a new one is created with the next id, not the requested one.
  }

  if (!raiseCounter(user_maxid)) {
    answerStatus(reply, contentType, status, 500);
    return true;
  }
  const int id = user_maxid;
  std::string avatar;
  if (fields.hasAvatar && fields.hasHash) {
    avatar = storeAvatar(date, id, now, fields.avatar);
    if (avatar.empty()) {
      answerStatus(reply, contentType, status, 500);  // user_maxid stays raised
      return true;
    }
  }
  cJSON* user = cJSON_CreateObject();
  cJSON_AddNumberToObject(user, "id", id);
  cJSON_AddStringToObject(user, "user_sid", fields.sid.c_str());
  cJSON_AddStringToObject(user, "nickname", fields.nickname.c_str());
  cJSON_AddNumberToObject(user, "nickname_uptm", 0);
  cJSON_AddStringToObject(user, "avatar", avatar.c_str());
  cJSON_AddNumberToObject(user, "avatar_uptm", 0);
  cJSON_AddStringToObject(user, "avatar_hash", fields.hash.c_str());
  if (!appendUser(user)) cJSON_Delete(user);
  answer(reply, "id", id);
  return true;
}

bool postavatar(ReplyTree& reply, std::string& contentType, int& status,
                const std::vector<FormPart>& parts, int partCount) {
  UserFormFields fields;
  if (const std::optional<bool> done =
          startUserAction(reply, contentType, status, parts, partCount, "r", fields)) {
    return *done;
  }
  const std::time_t now = std::time(nullptr);
  const DateParts date = toDateParts(now);
  if (!fields.hasAvatar || !fields.hasHash) {
    answer(reply, "r", 0);
    return true;
  }
  if (fields.uid < 1 || hasOverlongField(fields)) {
    answer(reply, "id", 0);
    return true;
  }

  DatabaseLock lock(databaseMutex);
  cJSON* user = userForChange(reply, fields.uid, fields.sid, "avatar_uptm", now);
  if (user == nullptr) return true;
  // The new file first: when it cannot be stored, the old avatar stays with
  // the record that names it.
  const std::string path = storeAvatar(date, fields.uid, now, fields.avatar);
  if (path.empty()) {
    answer(reply, "r", 0);
    return true;
  }
  const char* oldHash = textMember(user, "avatar_hash");
  const char* oldAvatar = textMember(user, "avatar");
  // An old avatar at the same path (stored in the same second) is the new one.
  if (oldHash != nullptr && oldHash[0] != '\0' && oldAvatar != nullptr && path != oldAvatar) {
    const std::string oldPath = oldAvatar;
    removeUploadFile(oldPath);
    removeUploadDirectories(oldPath);
  }
  setRecordMember(user, "avatar", cJSON_CreateString(path.c_str()));
  setRecordMember(user, "avatar_uptm", cJSON_CreateNumber(static_cast<double>(now)));
  setRecordMember(user, "avatar_hash", cJSON_CreateString(fields.hash.c_str()));
  answer(reply, "r", 1);
  return true;
}

bool postnickname(ReplyTree& reply, std::string& contentType, int& status, const UrlForm& form) {
  contentType = kJsonReplyType;
  status = 200;
  const std::time_t now = std::time(nullptr);
  if (form.empty()) {
    answer(reply, "id", 0);
    return true;
  }
  NicknameFormFields fields;
  if (!readNicknameFormFields(form, fields)) return false;
  if (fields.uid < 1) {
    answer(reply, "id", 0);
    return true;
  }
  if (hasOverlongField(fields)) {
    answer(reply, "r", 0);
    return true;
  }

  DatabaseLock lock(databaseMutex);
  cJSON* user = userForChange(reply, fields.uid, fields.sid, "nickname_uptm", now);
  if (user == nullptr) return true;
  setRecordMember(user, "nickname", cJSON_CreateString(fields.nickname.c_str()));
  setRecordMember(user, "nickname_uptm", cJSON_CreateNumber(static_cast<double>(now)));
  answer(reply, "r", 1);
  return true;
}

bool like(ReplyTree& reply, std::string& contentType, int& status, const UrlForm& form) {
  contentType = kJsonReplyType;
  status = 200;
  LikeFormFields fields;
  if (!readLikeFormFields(form, fields)) {
    answerStatus(reply, contentType, status, 404);
    return true;
  }

  DatabaseLock lock(databaseMutex);
  int newsId = 0;
  if (fields.hasId) {
    const cJSON* news = findNewsById(fields.id, nullptr);
    if (news == nullptr) {
      answerStatus(reply, contentType, status, 404);
      return true;
    }
    newsId = jsonIntValue(cJSON_GetObjectItemCaseSensitive(news, "id"));
  }
  const int result = toggleLike(newsId, fields.uid, fields.sid);
  answer(reply, "r", result == 1 ? 1 : result == 0 ? 0 : -1);
  return true;
}
