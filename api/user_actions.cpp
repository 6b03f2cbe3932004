// user_actions.cpp -- signin, postavatar, postnickname and like.
#include "api/user_actions.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>

#include "api/action_helpers.h"
#include "api/settings.h"
#include "api/uploads.h"
#include "storage/database.h"
#include "storage/deferred_removals.h"
#include "storage/file_helpers.h"
#include "storage/json_search.h"
#include "storage/json_tree.h"
#include "storage/json_values.h"
#include "storage/news_index.h"
#include "storage/record_changes.h"
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
cJSON* userForChange(JsonTree& reply, int uid, const std::string& sid, const char* timeKey,
                     std::time_t now) REQUIRES(databaseMutex) {
  cJSON* user = userById(uid);
  if (user == nullptr) {
    addReplyMember(reply, "r", 0);
    return nullptr;
  }
  if (!memberEquals(user, "user_sid", sid)) {
    addReplyMember(reply, "id", 0);
    return nullptr;
  }
  if (tooEarly(user, timeKey, now)) {
    addReplyMember(reply, "r", 0);
    return nullptr;
  }
  return user;
}

std::string avatarPath(const DateParts& date, int userId, std::time_t now) {
  return avatarDirectory(date) + std::to_string(userId) +
         std::to_string(static_cast<long long>(now)) + kUploadExtension;
}

// A new user record, members in their order; null when memory runs out.
JsonTree newUser(int id, const UserFormFields& fields, const std::string& avatar) {
  JsonTree user(cJSON_CreateObject());
  if (user == nullptr || cJSON_AddNumberToObject(user.get(), "id", id) == nullptr ||
      cJSON_AddStringToObject(user.get(), "user_sid", fields.sid.c_str()) == nullptr ||
      cJSON_AddStringToObject(user.get(), "nickname", fields.nickname.c_str()) == nullptr ||
      cJSON_AddNumberToObject(user.get(), "nickname_uptm", 0) == nullptr ||
      cJSON_AddStringToObject(user.get(), "avatar", avatar.c_str()) == nullptr ||
      cJSON_AddNumberToObject(user.get(), "avatar_uptm", 0) == nullptr ||
      cJSON_AddStringToObject(user.get(), "avatar_hash", fields.hash.c_str()) == nullptr) {
    user.reset();
  }
  return user;
}

// What signin answers without creating a user: the id of the user found by
// session id ("uid" 0), or for an existing "uid" that id when its session id
// or avatar hash is the request's and else 0. Nothing when a user is to be
// created.
std::optional<int> knownUserAnswer(const UserFormFields& fields) REQUIRES(databaseMutex) {
  if (fields.uid == 0) {
    const int found = userIdBySession(fields.sid);
    if (found != -1) return found;
    return std::nullopt;
  }
  const cJSON* user = userById(fields.uid);
  // No such user: a new one is created with the next id, not the requested one.
  if (user == nullptr) return std::nullopt;
  const bool accepted =
      memberEquals(user, "user_sid", fields.sid) || memberEquals(user, "avatar_hash", fields.hash);
  return accepted ? fields.uid : 0;
}

// Starts an action on a user sent as a multipart form: sets the JSON reply
// with status 200 and reads the fields. Returns the handler's result when the
// action ends here (false: the form cannot be read; true after answering
// {emptyKey:0} to a form without parts), nothing when fields were read.
std::optional<bool> startUserAction(JsonTree& reply, std::string& contentType, int& status,
                                    const std::vector<FormPart>& parts, int partCount,
                                    const char* emptyKey, UserFormFields& fields) {
  contentType = kJsonReplyType;
  status = 200;
  if (partCount == 0) {
    addReplyMember(reply, emptyKey, 0);
    return true;
  }
  if (!readUserFormFields(parts, fields)) return false;
  return std::nullopt;
}

}  // namespace

bool signin(JsonTree& reply, std::string& contentType, int& status,
            const std::vector<FormPart>& parts, int partCount) {
  UserFormFields fields;
  if (const std::optional<bool> done =
          startUserAction(reply, contentType, status, parts, partCount, "id", fields)) {
    return *done;
  }
  const std::time_t now = std::time(nullptr);
  const DateParts date = toDateParts(now);
  if (fields.uid < 0 || hasOverlongField(fields)) {
    addReplyMember(reply, "id", 0);
    return true;
  }

  // The checks, and the id for a new user, under the lock; the avatar file
  // without it; then the record, once the checks are made again: another
  // request may have created the user meanwhile.
  HeldUploadNames names;
  int id = 0;
  std::string avatar;
  const bool withAvatar = fields.hasAvatar && fields.hasHash;
  {
    DatabaseLock lock(databaseMutex);
    if (const std::optional<int> known = knownUserAnswer(fields)) {
      addReplyMember(reply, "id", *known);
      return true;
    }
    if (!raiseCounter(user_maxid)) {
      answerStatus(reply, contentType, status, 500);
      return true;
    }
    id = user_maxid;
    // The path holds the new id, so no record and no other request names it.
    if (withAvatar) avatar = avatarPath(date, id, now);
    if (withAvatar && !names.holdForWriting(avatar)) {
      answerStatus(reply, contentType, status, 500);  // user_maxid stays raised
      return true;
    }
  }
  if (withAvatar && !storeUploadIn(avatarDirectory(date), avatar, fields.avatar)) {
    removeUploadDirectories(avatar);
    answerStatus(reply, contentType, status, 500);  // user_maxid stays raised
    return true;
  }
  JsonTree user = newUser(id, fields, avatar);
  bool stored = false;
  {
    DatabaseLock lock(databaseMutex);
    if (const std::optional<int> known = knownUserAnswer(fields)) {
      // As if the other request had come first: this one finds its user.
      addReplyMember(reply, "id", *known);
    } else if (user == nullptr || !appendUser(user.get())) {
      // No memory for the record: the user is not added.
      answerStatus(reply, contentType, status, 500);
    } else {
      user.release();
      stored = true;
      addReplyMember(reply, "id", id);
      names.releaseLocked();
    }
  }
  // The record that would have named the file is not stored: the file goes.
  if (!stored && withAvatar) discardStoredUpload(avatar);
  return true;
}

bool postavatar(JsonTree& reply, std::string& contentType, int& status,
                const std::vector<FormPart>& parts, int partCount) {
  UserFormFields fields;
  if (const std::optional<bool> done =
          startUserAction(reply, contentType, status, parts, partCount, "r", fields)) {
    return *done;
  }
  const std::time_t now = std::time(nullptr);
  const DateParts date = toDateParts(now);
  if (!fields.hasAvatar || !fields.hasHash) {
    addReplyMember(reply, "r", 0);
    return true;
  }
  if (fields.uid < 1 || hasOverlongField(fields)) {
    addReplyMember(reply, "id", 0);
    return true;
  }

  const std::string path = avatarPath(date, fields.uid, now);
  HeldUploadNames names;
  bool replacesKept = false;
  {
    DatabaseLock lock(databaseMutex);
    cJSON* user = userForChange(reply, fields.uid, fields.sid, "avatar_uptm", now);
    if (user == nullptr) return true;
    // An avatar stored in the same second has this path: the new file takes
    // its place only once the record names it again.
    replacesKept = replacesKeptFile(path, memberEquals(user, "avatar", path));
    // Another change of this user's avatar in the same second is on its way:
    // this one comes after it and is too early.
    if (!names.holdForWriting(path)) {
      addReplyMember(reply, "r", 0);
      return true;
    }
  }
  // The new file first: when it cannot be stored, the old avatar stays with
  // the record that names it.
  std::string temp;
  bool written = false;
  if (replacesKept) {
    temp = writeUploadTempIn(avatarDirectory(date), path, fields.avatar);
    written = !temp.empty();
  } else {
    written = storeUploadIn(avatarDirectory(date), path, fields.avatar);
  }
  if (!written) {
    removeUploadDirectories(path);
    addReplyMember(reply, "r", 0);
    return true;
  }
  JsonTree newAvatar(cJSON_CreateString(path.c_str()));
  JsonTree newTime(cJSON_CreateNumber(static_cast<double>(now)));
  JsonTree newHash(cJSON_CreateString(fields.hash.c_str()));
  bool committed = false;
  {
    DatabaseLock lock(databaseMutex);
    // Checked again: another change of the avatar may have come first.
    cJSON* user = userForChange(reply, fields.uid, fields.sid, "avatar_uptm", now);
    if (user != nullptr && (!newAvatar || !newTime || !newHash)) {
      addReplyMember(reply, "r", 0);  // no memory for the new members: nothing changes
    } else if (user != nullptr) {
      const char* oldHash = textOf(cJSON_GetObjectItem(user, "avatar_hash"));
      const char* oldAvatar = textOf(cJSON_GetObjectItem(user, "avatar"));
      // An old avatar at the same path (stored in the same second) is the new one.
      const std::string replaced =
          oldHash != nullptr && oldHash[0] != '\0' && oldAvatar != nullptr && path != oldAvatar
              ? oldAvatar
              : "";
      setRecordMember(user, "avatar", newAvatar.release());
      setRecordMember(user, "avatar_uptm", newTime.release());
      setRecordMember(user, "avatar_hash", newHash.release());
      keepFile(path);
      // The saved file names the old avatar until the next save.
      if (!replaced.empty()) deferUploadRemoval(replaced, EmptiedDirectories::kRemoved);
      addReplyMember(reply, "r", 1);
      committed = true;
    }
    // Held on while the file is still to be moved or removed.
    if (committed && !replacesKept) names.releaseLocked();
  }
  if (!committed) {
    // The new file is named by no record; a kept file was never touched.
    if (replacesKept) {
      std::remove(temp.c_str());
    } else {
      discardStoredUpload(path);
    }
    return true;
  }
  if (!replacesKept) return true;
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    // The record names the file stored before at this path, which stays.
    std::remove(temp.c_str());
    replaceAnswer(reply, "r", 0);
  } else if (!syncUploadDirectory(path)) {
    replaceAnswer(reply, "r", 0);  // the new file stays: the one it replaced cannot come back
  }
  return true;
}

bool postnickname(JsonTree& reply, std::string& contentType, int& status, const UrlForm& form) {
  contentType = kJsonReplyType;
  status = 200;
  const std::time_t now = std::time(nullptr);
  if (form.empty()) {
    addReplyMember(reply, "id", 0);
    return true;
  }
  NicknameFormFields fields;
  if (!readNicknameFormFields(form, fields)) return false;
  if (fields.uid < 1) {
    addReplyMember(reply, "id", 0);
    return true;
  }
  if (hasOverlongField(fields)) {
    addReplyMember(reply, "r", 0);
    return true;
  }

  JsonTree nickname(cJSON_CreateString(fields.nickname.c_str()));
  JsonTree changed(cJSON_CreateNumber(static_cast<double>(now)));
  DatabaseLock lock(databaseMutex);
  cJSON* user = userForChange(reply, fields.uid, fields.sid, "nickname_uptm", now);
  if (user == nullptr) return true;
  if (!nickname || !changed) {
    // No memory for the new members: answered as a change that stores nothing.
    addReplyMember(reply, "r", 0);
    return true;
  }
  setRecordMember(user, "nickname", nickname.release());
  setRecordMember(user, "nickname_uptm", changed.release());
  addReplyMember(reply, "r", 1);
  return true;
}

bool like(JsonTree& reply, std::string& contentType, int& status, const UrlForm& form) {
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
  addReplyMember(reply, "r", result == 1 ? 1 : result == 0 ? 0 : -1);
  return true;
}
