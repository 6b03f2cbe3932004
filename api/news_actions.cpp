// news_actions.cpp -- postnews and delnews.
#include "api/news_actions.h"

#include <ctime>
#include <memory>

#include "api/action_helpers.h"
#include "api/uploads.h"
#include "storage/database.h"
#include "storage/news_index.h"
#include "storage/records.h"

namespace {

// The item's cover: the first path of its images list, or "" when it has none.
std::string coverOf(const cJSON* images) {
  const cJSON* first = cJSON_GetArrayItem(images, 0);
  return cJSON_IsString(first) && first->valuestring != nullptr ? first->valuestring : "";
}

using Tree = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

}  // namespace

bool postnews(ReplyTree& reply, std::string& contentType, int& status,
              const std::vector<FormPart>& parts, int partCount) {
  contentType = kJsonReplyType;
  status = 200;
  const std::time_t now = std::time(nullptr);

  DatabaseLock lock(databaseMutex);
  if (partCount == 0) {
    answerStatus(reply, contentType, status, 404);
    return true;
  }
  NewsFormFields fields;
  if (!readNewsFormFields(parts, fields)) return false;
  if (fields.id < 0 || fields.uid < 1) {
    answerStatus(reply, contentType, status, 404);
    return true;
  }
  const cJSON* user = userById(fields.uid);
  if (user == nullptr || !memberEquals(user, "user_sid", fields.sid)) {
    answerStatus(reply, contentType, status, 404);
    return true;
  }
  if (adminIndex(fields.uid) < 0) {
    answerStatus(reply, contentType, status, 403);
    return true;
  }
  // Only an administrator's request uses up a news id (a new item and an edit
  // alike), so nobody else can exhaust the counter with refused requests.
  if (!raiseCounter(news_maxid)) {
    answerStatus(reply, contentType, status, 404);
    return true;
  }
  const int newId = news_maxid;

  if (fields.id == 0) {
    Tree news(cJSON_CreateObject(), &cJSON_Delete);
    cJSON_AddNumberToObject(news.get(), "id", newId);
    cJSON_AddStringToObject(news.get(), "title", fields.title.c_str());
    cJSON_AddNumberToObject(news.get(), "timestamp", static_cast<double>(now));
    cJSON_AddNumberToObject(news.get(), "views", 0);
    cJSON_AddNumberToObject(news.get(), "comments", 0);
    cJSON_AddNumberToObject(news.get(), "likes", 0);
    cJSON_AddNumberToObject(news.get(), "user_id", fields.uid);
    Tree detail(cJSON_CreateObject(), &cJSON_Delete);
    cJSON_AddNumberToObject(detail.get(), "id", newId);
    cJSON_AddStringToObject(detail.get(), "content", fields.content.c_str());

    cJSON* images = saveNewsImages(fields.textParts, partCount, newId, parts, now, nullptr);
    if (images == nullptr) {
      answerStatus(reply, contentType, status, 404);
      return true;
    }
    cJSON_AddStringToObject(news.get(), "cover", coverOf(images).c_str());
    cJSON_AddItemToObject(detail.get(), "images", images);
    if (appendNewsItem(news.get(), detail.get())) {
      news.release();
      detail.release();
    }
  } else {
    int index = -1;
    cJSON* news = findNewsById(fields.id, &index);
    cJSON* detail = news != nullptr ? newsDetailAt(index) : nullptr;
    if (news == nullptr || detail == nullptr) {
      answerStatus(reply, contentType, status, 404);
      return true;
    }
    // The images first: an edit whose images cannot be stored changes nothing.
    const cJSON* oldImages = cJSON_GetObjectItem(detail, "images");
    cJSON* images = saveNewsImages(fields.textParts, partCount, fields.id, parts, now,
                                   cJSON_IsArray(oldImages) ? oldImages : nullptr);
    if (images == nullptr) {
      answerStatus(reply, contentType, status, 404);
      return true;
    }
    if (!fields.title.empty()) setNewsMember(news, "title", cJSON_CreateString(fields.title.c_str()));
    setNewsMember(news, "timestamp", cJSON_CreateNumber(static_cast<double>(now)));
    setNewsMember(news, "user_id", cJSON_CreateNumber(fields.uid));
    if (!fields.content.empty()) {
      setRecordMember(detail, "content", cJSON_CreateString(fields.content.c_str()));
    }
    setNewsMember(news, "cover", cJSON_CreateString(coverOf(images).c_str()));
    setRecordMember(detail, "images", images);
  }
  answer(reply, "id", newId);
  return true;
}

bool delnews(ReplyTree& reply, std::string& contentType, int& status, const UrlForm& form) {
  contentType = kJsonReplyType;
  status = 200;
  if (form.empty()) {
    answer(reply, "r", 0);
    return true;
  }
  DeleteNewsFormFields fields;
  if (!readDeleteNewsFormFields(form, fields)) return false;
  if (fields.uid < 1 || fields.id < 1) {
    answer(reply, "r", 0);
    return true;
  }

  DatabaseLock lock(databaseMutex);
  const cJSON* user = userById(fields.uid);
  if (user == nullptr || !memberEquals(user, "user_sid", fields.sid) ||
      adminIndex(fields.uid) < 0) {
    answer(reply, "r", 0);
    return true;
  }
  int index = -1;
  const cJSON* news = findNewsById(fields.id, &index);
  if (news == nullptr) {
    answer(reply, "r", 0);
    return true;
  }
  const cJSON* detail = newsDetailAt(index);
  const cJSON* images = cJSON_GetObjectItem(detail, "images");
  if (cJSON_IsArray(images) && cJSON_GetArraySize(images) > 0) {
    const cJSON* image = nullptr;
    cJSON_ArrayForEach(image, images) {
      if (cJSON_IsString(image) && image->valuestring != nullptr) {
        removeUploadFile(image->valuestring);
      }
    }
    const cJSON* cover = cJSON_GetObjectItem(news, "cover");
    if (cJSON_IsString(cover) && cover->valuestring != nullptr) {
      const std::string coverPath = cover->valuestring;
      removeUploadFile(coverPath);
      removeUploadDirectories(coverPath);
    }
  }
  deleteNewsItem(index);
  answer(reply, "r", 1);
  return true;
}
