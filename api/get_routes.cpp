// get_routes.cpp -- the GET routes of the news API.
#include "api/get_routes.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "api/api_version.h"
#include "api/file_serving.h"
#include "api/form_fields.h"
#include "api/settings.h"
#include "http/reply_sends.h"
#include "http/reply_text.h"
#include "http/url_form.h"
#include "storage/database.h"
#include "storage/detail_texts.h"
#include "storage/file_helpers.h"
#include "storage/json_search.h"
#include "storage/json_tree.h"
#include "storage/json_values.h"
#include "storage/list_pages.h"
#include "storage/news_index.h"
#include "storage/record_changes.h"
#include "storage/records.h"

namespace {

// What a route decided: a JSON tree to send with status, or a file to stream.
struct Reply {
  JsonTree tree;
  int status = 200;
  bool isFile = false;  // stream fileName (sendStoredFile)
  std::string fileName;
  bool confined = false;  // fileName must lie inside a served root
  // When set, the JSON body already printed (sent in place of tree).
  std::shared_ptr<const std::string> text;
};

Reply statusReply(int code) {
  Reply reply;
  std::string type;
  reply.tree = JsonTree(makeStatusJson(code, type));
  reply.status = code;
  return reply;
}

Reply treeReply(cJSON* tree) {
  Reply reply;
  reply.tree = JsonTree(tree);
  return reply;
}

Reply fileReply(const std::string& name) {
  Reply reply;
  reply.isFile = true;
  reply.fileName = name;
  return reply;
}

bool equalsSetting(const std::string& trimmed, const std::optional<std::string>& setting) {
  return setting.has_value() && trimmed == *setting;
}

Reply nodeDescription() {
  JsonTree tree(cJSON_CreateObject());
  if (tree == nullptr) return statusReply(404);
  cJSON* t = tree.get();
  cJSON_AddStringToObject(t, "ver", kApiVersion);
  const ApiSettings& settings = apiSettings;
  if (settings.name) cJSON_AddStringToObject(t, "name", settings.name->c_str());
  if (settings.icon) cJSON_AddStringToObject(t, "icon", settings.icon->c_str());
  if (settings.cover) cJSON_AddStringToObject(t, "cover", settings.cover->c_str());
  cJSON_AddNumberToObject(t, "pageSize", settings.pageSize);
  if (cJSON* watermark = cJSON_Duplicate(settings.watermark.get(), 1)) {
    cJSON_AddItemToObject(t, "watermark", watermark);
  }
  cJSON_AddNumberToObject(t, "editInterval", settings.editInterval);
  return treeReply(tree.release());
}

// The nickname of a news record's author, or null when the record has no
// numeric "user_id", the author is unknown or has no nickname text. Caller
// holds the database lock.
const char* authorNickname(const cJSON* record) REQUIRES(databaseMutex) {
  return textOf(cJSON_GetObjectItem(newsAuthor(record), "nickname"));
}

// One list item: a copy of the news record without "user_id" and with the
// author's nickname last. Null when the record or its author lacks what the
// item needs, or the copy cannot be made. Caller holds the database lock.
cJSON* listItem(const cJSON* record, const char* nickname) REQUIRES(databaseMutex) {
  if (nickname == nullptr) return nullptr;
  JsonTree item(cJSON_Duplicate(record, 1));
  if (item == nullptr) return nullptr;
  // The member cJSON_DeleteItemFromObject(item, "user_id") would remove.
  cJSON* userId = cJSON_GetObjectItem(item.get(), "user_id");
  if (userId == nullptr) return nullptr;
  cJSON_Delete(cJSON_DetachItemViaPointer(item.get(), userId));
  if (cJSON_AddStringToObject(item.get(), "nickname", nickname) == nullptr) return nullptr;
  return item.release();
}

// cJSON_PrintUnformatted(item), which is also how the item appears inside a
// page's array; null when it cannot be printed.
std::shared_ptr<const std::string> printedItem(const cJSON* item) {
  JsonText printed(cJSON_PrintUnformatted(item));
  if (printed == nullptr) return nullptr;
  return std::make_shared<const std::string>(printed.get());
}

Reply newsListPage(int page) {
  const int pageSize = apiSettings.pageSize;
  std::vector<std::shared_ptr<const std::string>> items;
  std::vector<PageItemSource> sources;
  std::int64_t start = 0;
  {
    DatabaseLock lock(databaseMutex);
    const int count = newsCount();
    if (count == 0 || page < 1 || pageSize < 0) return treeReply(cJSON_CreateArray());
    start = (static_cast<std::int64_t>(page) - 1) * pageSize;
    if (start > count) return treeReply(cJSON_CreateArray());
    const std::int64_t end = std::min<std::int64_t>(start + pageSize, count);

    // The list order, newest first, as references to the records, kept in
    // step by storage: only the requested page is ever looked at.
    Reply kept;
    kept.text = keptListPage(page, start, end);
    if (kept.text != nullptr) return kept;

    // The page again: items whose record and author are unchanged keep
    // their printed text; only the others are made and printed.
    for (std::int64_t i = start; i < end; ++i) {
      const cJSON* record = newsAtListPlace(i);
      PageItemSource source = pageItemSource(record);
      std::shared_ptr<const std::string> text = keptListItem(source);
      if (text == nullptr) {
        JsonTree item(listItem(record, authorNickname(record)));
        // A page with an item that cannot be shown is empty as a whole.
        if (item == nullptr) return treeReply(cJSON_CreateArray());
        text = printedItem(item.get());
        // Memory ran out: answered as a reply that cannot be printed is.
        if (text == nullptr) return statusReply(404);
        keepListItem(source, text);
      }
      items.push_back(std::move(text));
      sources.push_back(source);
    }
  }
  // Joined without the lock, as cJSON_PrintUnformatted joins an array.
  std::string joined = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) joined += ',';
    joined += *items[i];
  }
  joined += ']';
  Reply reply;
  reply.text = std::make_shared<const std::string>(std::move(joined));
  if (sources.empty()) return reply;
  DatabaseLock lock(databaseMutex);
  keepListPage(page, start, std::move(sources), reply.text);
  return reply;
}

// A copy of detail with avatar as its member "avatar": in place of the
// record's own (the first whose key matches ignoring case), else last. Null
// when memory runs out. Caller holds the database lock.
JsonTree detailWithAvatar(const cJSON* detail, const char* avatar) REQUIRES(databaseMutex) {
  JsonTree copy(cJSON_Duplicate(detail, 1));
  if (copy == nullptr) return copy;
  cJSON* avatarItem = cJSON_CreateString(avatar);
  if (avatarItem == nullptr) return nullptr;
  bool placed = cJSON_GetObjectItem(copy.get(), "avatar") != nullptr
                    ? cJSON_ReplaceItemInObject(copy.get(), "avatar", avatarItem)
                    : cJSON_AddItemToObject(copy.get(), "avatar", avatarItem);
  if (!placed) {
    cJSON_Delete(avatarItem);
    return nullptr;
  }
  return copy;
}

Reply newsDetail(int id) {
  JsonTree copy;
  DetailTextSource source;
  {
    DatabaseLock lock(databaseMutex);
    int index = -1;
    const cJSON* detail = findNewsDetailById(id, &index);
    if (detail == nullptr) return statusReply(404);
    if (jsonIntValue(cJSON_GetObjectItem(detail, "id")) <= 0) return statusReply(404);
    cJSON* news = newsRecordAt(index);
    if (!countNewsView(news)) return statusReply(404);

    const cJSON* author = newsAuthor(news);
    if (author == nullptr) return statusReply(404);
    const char* avatar = textOf(cJSON_GetObjectItem(author, "avatar"));
    if (avatar == nullptr) return statusReply(404);

    // The kept text goes out as it is, after the lock is released.
    Reply kept;
    kept.text = keptDetailText(detail, avatar);
    if (kept.text != nullptr) return kept;
    // Printed from a copy without the lock: a large record costs the copy
    // once, and later reads take the kept text.
    copy = detailWithAvatar(detail, avatar);
    if (copy == nullptr) return statusReply(404);
    source = detailTextSource(detail, avatar);
  }
  Reply reply;
  reply.text = printedItem(copy.get());
  // Answered as a reply that cannot be printed is.
  if (reply.text == nullptr) return statusReply(404);
  copy.reset();
  // Declared before the lock, so the texts dropped are freed after its release.
  std::vector<std::shared_ptr<const std::string>> dropped;
  DatabaseLock lock(databaseMutex);
  dropped = keepDetailText(std::move(source), reply.text);
  return reply;
}

Reply checkUpdate() {
  int32_t modified = fileModifiedTime(kConfigPath);
  if (modified == -1) return statusReply(404);
  JsonTree tree(cJSON_CreateObject());
  if (tree == nullptr || cJSON_AddNumberToObject(tree.get(), "timestamp", modified) == nullptr) {
    return statusReply(404);
  }
  return treeReply(tree.release());
}

// {"r": 1} for a yes, {"r": 0} for a no, both with status 200.
Reply yesNo(bool yes) {
  Reply reply = statusReply(yes ? 1 : 0);
  reply.status = 200;
  return reply;
}

Reply isAdmin(int uid, const std::string& sid) {
  int result;
  {
    DatabaseLock lock(databaseMutex);
    result = adminIndexChecked(uid, sid);
  }
  if (result < -1) return statusReply(400);
  return yesNo(result >= 0);
}

Reply isLike(int uid, const std::string& sid, int newsId) {
  int result;
  {
    DatabaseLock lock(databaseMutex);
    result = findLike(newsId, uid, sid);
  }
  if (result < -1) return statusReply(500);
  return yesNo(result >= 0);
}

Reply connectTest() {
  JsonTree tree(cJSON_CreateObject());
  if (tree == nullptr || cJSON_AddStringToObject(tree.get(), "r", "ok") == nullptr) {
    return statusReply(404);
  }
  return treeReply(tree.release());
}

// The routes under "v1": segments present first (400), then the numbers in
// segment order (403), then the route's answer.
Reply apiRoute(const std::vector<std::string>& segments) {
  if (segments.size() < 2) return statusReply(404);
  const std::string& route = segments[1];
  auto has = [&](std::size_t count) { return segments.size() >= 2 + count; };
  auto number = [&](std::size_t at, int& value) { return readFormInteger(segments[at], value); };

  if (route == "list") {
    if (!has(1)) return statusReply(400);
    int page;
    if (!number(2, page)) return statusReply(403);
    return newsListPage(page);
  }
  if (route == "news") {
    if (!has(1)) return statusReply(400);
    int id;
    if (!number(2, id)) return statusReply(403);
    return newsDetail(id);
  }
  if (route == "checkupdate") return checkUpdate();
  if (route == "isadmin") {
    if (!has(2)) return statusReply(400);
    int uid;
    if (!number(2, uid)) return statusReply(403);
    return isAdmin(uid, segments[3]);
  }
  if (route == "islike") {
    if (!has(3)) return statusReply(400);
    int uid, newsId;
    if (!number(2, uid) || !number(4, newsId)) return statusReply(403);
    return isLike(uid, segments[3], newsId);
  }
  if (route == "connect-test") return connectTest();
  return statusReply(404);
}

Reply chooseReply(const std::string& path) {
  std::vector<std::string> segments = splitPath(path);
  if (segments.empty()) return nodeDescription();
  const std::string trimmed = path.substr(1);
  // The node pictures are served by their configured names.
  if (equalsSetting(trimmed, apiSettings.icon) || equalsSetting(trimmed, apiSettings.cover) ||
      equalsSetting(trimmed, apiSettings.watermarkPath)) {
    return fileReply(trimmed);
  }
  if (segments[0] == kApiVersion) return apiRoute(segments);
  const std::string name = path[0] == '/' ? path.substr(1) : path;
  std::string confined = confinedFileName(name);
  if (confined.empty()) return statusReply(404);
  Reply reply = fileReply(confined);
  reply.confined = true;
  return reply;
}

}  // namespace

void handleGet(int socket, std::string path) {
  try {
    Reply reply = chooseReply(path);
    if (reply.isFile) {
      if (sendStoredFile(socket, reply.fileName, reply.confined)) return;
      reply = statusReply(404);
    }
    if (reply.text != nullptr) {
      sendReply(socket, reply.status, kJsonReplyType, *reply.text);
      return;
    }
    sendJsonReply(socket, reply.status, reply.tree.get());
  } catch (const std::bad_alloc&) {
    // Memory ran out while the reply was being made: no reply; the database
    // lock was released by its guard and the database is unchanged.
  } catch (...) {
  }
}
