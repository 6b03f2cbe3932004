// news_actions.cpp -- postnews and delnews.
#include "api/news_actions.h"

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "api/action_helpers.h"
#include "api/news_images.h"
#include "api/uploads.h"
#include "storage/database.h"
#include "storage/deferred_removals.h"
#include "storage/json_tree.h"
#include "storage/json_values.h"
#include "storage/news_index.h"
#include "storage/record_changes.h"
#include "storage/records.h"

namespace {

// The first path of an images list, or "" when it has none: the item's cover.
std::string coverOf(const std::vector<std::string>& images) {
  return images.empty() ? "" : images.front();
}

// A new array of texts; null when memory runs out.
JsonTree imagesList(const std::vector<std::string>& images) {
  JsonTree list(cJSON_CreateArray());
  for (const std::string& path : images) {
    if (list == nullptr) break;
    cJSON* entry = cJSON_CreateString(path.c_str());
    if (entry == nullptr || !cJSON_AddItemToArray(list.get(), entry)) {
      cJSON_Delete(entry);
      list.reset();
    }
  }
  return list;
}

// The records of a new item, members in their order; both null when memory
// runs out.
struct NewItem {
  JsonTree news;
  JsonTree detail;
};

NewItem newItem(int id, const NewsFormFields& fields, std::time_t now,
                const std::vector<std::string>& images) {
  NewItem item;
  item.news.reset(cJSON_CreateObject());
  item.detail.reset(cJSON_CreateObject());
  JsonTree list = imagesList(images);
  cJSON* news = item.news.get();
  cJSON* detail = item.detail.get();
  const bool made =
      news != nullptr && detail != nullptr && list != nullptr &&
      cJSON_AddNumberToObject(news, "id", id) != nullptr &&
      cJSON_AddStringToObject(news, "title", fields.title.c_str()) != nullptr &&
      cJSON_AddNumberToObject(news, "timestamp", static_cast<double>(now)) != nullptr &&
      cJSON_AddNumberToObject(news, "views", 0) != nullptr &&
      cJSON_AddNumberToObject(news, "comments", 0) != nullptr &&
      cJSON_AddNumberToObject(news, "likes", 0) != nullptr &&
      cJSON_AddNumberToObject(news, "user_id", fields.uid) != nullptr &&
      cJSON_AddStringToObject(news, "cover", coverOf(images).c_str()) != nullptr &&
      cJSON_AddNumberToObject(detail, "id", id) != nullptr &&
      cJSON_AddStringToObject(detail, "content", fields.content.c_str()) != nullptr &&
      cJSON_AddItemToObject(detail, "images", list.get());
  if (made) {
    list.release();
  } else {
    item.news.reset();
    item.detail.reset();
  }
  return item;
}

// The members an edit replaces, made before the lock is taken again; title
// and content stay null when the request leaves them as they are.
struct ItemEdit {
  JsonTree title;
  JsonTree timestamp;
  JsonTree userId;
  JsonTree content;
  JsonTree cover;
  JsonTree images;
  bool made = false;
};

ItemEdit itemEdit(const NewsFormFields& fields, std::time_t now,
                  const std::vector<std::string>& images) {
  ItemEdit edit;
  if (!fields.title.empty()) edit.title.reset(cJSON_CreateString(fields.title.c_str()));
  edit.timestamp.reset(cJSON_CreateNumber(static_cast<double>(now)));
  edit.userId.reset(cJSON_CreateNumber(fields.uid));
  if (!fields.content.empty()) edit.content.reset(cJSON_CreateString(fields.content.c_str()));
  edit.cover.reset(cJSON_CreateString(coverOf(images).c_str()));
  edit.images = imagesList(images);
  edit.made = (fields.title.empty() || edit.title) && edit.timestamp && edit.userId &&
              (fields.content.empty() || edit.content) && edit.cover && edit.images;
  return edit;
}

// The user, session and administrator checks of both actions' postnews
// form: answers {"r": 404} or {"r": 403} and returns false when they fail.
bool administratorPasses(JsonTree& reply, std::string& contentType, int& status,
                         const NewsFormFields& fields) REQUIRES(databaseMutex) {
  const cJSON* user = userById(fields.uid);
  if (user == nullptr || !memberEquals(user, "user_sid", fields.sid)) {
    answerStatus(reply, contentType, status, 404);
    return false;
  }
  if (adminIndex(fields.uid) < 0) {
    answerStatus(reply, contentType, status, 403);
    return false;
  }
  return true;
}

// The images list of an item's detail record, or null when it has none.
const cJSON* imagesOf(const cJSON* detail) {
  const cJSON* images = cJSON_GetObjectItem(detail, "images");
  return cJSON_IsArray(images) ? images : nullptr;
}

// Stores the edit of item id, as the item is now: another request may have
// edited or deleted it since the checks. False when it is gone.
bool commitEdit(int id, ItemEdit& edit, const NewsImagePlan& plan) REQUIRES(databaseMutex) {
  int index = -1;
  cJSON* news = findNewsById(id, &index);
  cJSON* detail = news != nullptr ? newsDetailAt(index) : nullptr;
  if (news == nullptr || detail == nullptr) return false;
  const std::vector<std::string> dropped = oldImagesToRemove(plan, imagesOf(detail));
  if (edit.title) setNewsMember(news, "title", edit.title.release());
  setNewsMember(news, "timestamp", edit.timestamp.release());
  setNewsMember(news, "user_id", edit.userId.release());
  if (edit.content) setRecordMember(detail, "content", edit.content.release());
  setNewsMember(news, "cover", edit.cover.release());
  setRecordMember(detail, "images", edit.images.release());
  for (const std::string& path : plan.images) keepFile(path);
  // The saved file names the dropped images until the next save.
  for (const std::string& path : dropped) {
    deferUploadRemoval(path, EmptiedDirectories::kRemovedWithFile);
  }
  return true;
}

}  // namespace

bool postnews(JsonTree& reply, std::string& contentType, int& status,
              const std::vector<FormPart>& parts, int partCount) {
  contentType = kJsonReplyType;
  status = 200;
  const std::time_t now = std::time(nullptr);
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

  // The checks, the id and the names of the files under the lock; the files
  // without it; then the records, checked again against the item as it is.
  HeldUploadNames names;
  NewsImagePlan plan;
  int newId = 0;
  {
    DatabaseLock lock(databaseMutex);
    if (!administratorPasses(reply, contentType, status, fields)) return true;
    // Only an administrator's request uses up a news id (a new item and an
    // edit alike), so nobody else can exhaust the counter with refused
    // requests.
    if (!raiseCounter(news_maxid)) {
      answerStatus(reply, contentType, status, 404);
      return true;
    }
    newId = news_maxid;
    const cJSON* oldImages = nullptr;
    if (fields.id != 0) {
      int index = -1;
      const cJSON* news = findNewsById(fields.id, &index);
      const cJSON* detail = news != nullptr ? newsDetailAt(index) : nullptr;
      if (news == nullptr || detail == nullptr) {
        answerStatus(reply, contentType, status, 404);
        return true;
      }
      oldImages = imagesOf(detail);
    }
    plan =
        planNewsImages(fields.textParts, partCount, fields.id == 0 ? newId : fields.id, parts, now);
    // Another edit of this item in the same second writes the same paths and
    // is on its way: this one is refused as an image not stored.
    if (!holdNewsImageNames(plan, oldImages, names)) {
      answerStatus(reply, contentType, status, 404);
      return true;
    }
  }

  // The images first: a request whose images cannot be stored changes nothing.
  if (!writeNewsImages(plan, parts)) {
    answerStatus(reply, contentType, status, 404);
    return true;
  }
  NewItem item;
  ItemEdit edit;
  if (fields.id == 0) {
    item = newItem(newId, fields, now, plan.images);
  } else {
    edit = itemEdit(fields, now, plan.images);
  }
  bool committed = false;
  bool replacing = false;
  for (const NewsImageWrite& write : plan.writes) replacing = replacing || write.replacesKept;
  {
    DatabaseLock lock(databaseMutex);
    if (fields.id == 0) {
      committed = item.news != nullptr && appendNewsItem(item.news.get(), item.detail.get());
      if (committed) {
        item.news.release();
        item.detail.release();
        for (const std::string& path : plan.images) keepFile(path);
      }
    } else {
      // No memory for the new members, or the item was deleted meanwhile.
      committed = edit.made && commitEdit(fields.id, edit, plan);
    }
    if (committed) addReplyMember(reply, "id", newId);
    // Held on while files are still to be moved or removed.
    if (committed && !replacing) names.releaseLocked();
  }
  if (!committed) {
    discardNewsImages(plan);
    answerStatus(reply, contentType, status, 404);
    return true;
  }
  // The files replacing kept ones at their own paths, now that the records
  // name them again.
  if (!moveReplacingImages(plan)) answerStatus(reply, contentType, status, 404);
  return true;
}

bool delnews(JsonTree& reply, std::string& contentType, int& status, const UrlForm& form) {
  contentType = kJsonReplyType;
  status = 200;
  if (form.empty()) {
    addReplyMember(reply, "r", 0);
    return true;
  }
  DeleteNewsFormFields fields;
  if (!readDeleteNewsFormFields(form, fields)) return false;
  if (fields.uid < 1 || fields.id < 1) {
    addReplyMember(reply, "r", 0);
    return true;
  }

  DatabaseLock lock(databaseMutex);
  const cJSON* user = userById(fields.uid);
  if (user == nullptr || !memberEquals(user, "user_sid", fields.sid) ||
      adminIndex(fields.uid) < 0) {
    addReplyMember(reply, "r", 0);
    return true;
  }
  int index = -1;
  const cJSON* news = findNewsById(fields.id, &index);
  if (news == nullptr) {
    addReplyMember(reply, "r", 0);
    return true;
  }
  // The item's files and the cover's emptied directories go once a save
  // without the item is on disk; until then the saved file still names them.
  std::vector<std::string> images;
  std::string cover;
  const cJSON* list = imagesOf(newsDetailAt(index));
  if (cJSON_GetArraySize(list) > 0) {
    const cJSON* image = nullptr;
    cJSON_ArrayForEach(image, list) {
      if (const char* path = textOf(image)) images.push_back(path);
    }
    const char* coverPath = textOf(cJSON_GetObjectItem(news, "cover"));
    if (coverPath != nullptr) cover = coverPath;
  }
  deleteNewsItem(index);
  for (const std::string& path : images) deferUploadRemoval(path, EmptiedDirectories::kKept);
  if (!cover.empty()) deferUploadRemoval(cover, EmptiedDirectories::kRemoved);
  addReplyMember(reply, "r", 1);
  return true;
}
