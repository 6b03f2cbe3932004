// get_routes.cpp -- GET routes of the news API and confined file serving.
#include "api/get_routes.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "api/form_fields.h"
#include "api/settings.h"
#include "http/response.h"
#include "http/url_form.h"
#include "storage/database.h"
#include "storage/detail_texts.h"
#include "storage/file_helpers.h"
#include "storage/json_search.h"
#include "storage/json_tree.h"
#include "storage/list_pages.h"
#include "storage/news_index.h"
#include "storage/record_changes.h"
#include "storage/records.h"

namespace {

constexpr const char* kApiVersion = "v1";
constexpr const char* kFileType = "image/webp";
constexpr const char* kConfigFile = "config.json";
// The directories whose files clients may fetch by path.
constexpr const char* kServedRoots[] = {"img", "uploads"};

// What a route decided: a JSON tree to send with status, or a file to stream.
struct Reply {
  JsonTree tree;
  int status = 200;
  bool isFile = false;  // stream fileName as kFileType
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

// The text of a configured item, or null when it is not a text.
const char* configText(const cJSON* item) {
  return cJSON_IsString(item) ? item->valuestring : nullptr;
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
  return configText(cJSON_GetObjectItem(newsAuthor(record), "nickname"));
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
    const char* avatar = configText(cJSON_GetObjectItem(author, "avatar"));
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
  int32_t modified = fileModifiedTime(kConfigFile);
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

// The real path of name, or "" when it cannot be resolved.
std::string realPathOf(const std::string& name) {
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(name.c_str(), nullptr), &std::free);
  return resolved != nullptr ? std::string(resolved.get()) : std::string();
}

// The name of a stored file that a client may fetch by path; "" when the
// name is refused. Only files that really lie inside img/ or uploads/ of the
// working directory are served (and only regular ones, by sendFile):
// config.json holds the node key and data/index.ndb every user's session id.
// The name checked here starts with a served root and has no empty, "." or
// ".." segment; openServedFile makes sure that it does not leave its root
// through a symbolic link.
std::string confinedFileName(const std::string& name) {
  if (name.find('\0') != std::string::npos) return "";
  bool underRoot = false;
  for (const char* root : kServedRoots) {
    std::string prefix = std::string(root) + "/";
    if (name.compare(0, prefix.size(), prefix) == 0) underRoot = true;
  }
  if (!underRoot) return "";
  std::size_t start = 0;
  while (true) {
    std::size_t slash = name.find('/', start);
    std::string segment = name.substr(start, slash == std::string::npos ? slash : slash - start);
    if (segment.empty() || segment == "." || segment == "..") return "";
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return name;
}

// The real path of name when it lies inside a served root, "" otherwise.
std::string resolvedInsideRoots(const std::string& name) {
  std::string resolved = realPathOf(name);
  if (resolved.empty()) return "";
  bool inside = false;
  for (const char* root : kServedRoots) {
    std::string rootPath = realPathOf(root);
    if (!rootPath.empty() && resolved.compare(0, rootPath.size() + 1, rootPath + "/") == 0) {
      inside = true;
    }
  }
  if (!inside) return "";
  return resolved;
}

// How a served file is opened: non-blocking, so that a FIFO or a device
// cannot hold the open up (reads of a regular file do not heed the flag).
constexpr int kServedOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

// Opens name like kServedOpenFlags but fails with ELOOP when a symbolic link
// is met anywhere in it, and with ENOSYS where the kernel cannot tell.
int openWithoutLinks(const std::string& name) {
#ifdef SYS_openat2
  struct open_how how;
  std::memset(&how, 0, sizeof how);
  how.flags = kServedOpenFlags;
  how.resolve = RESOLVE_NO_SYMLINKS;
  return static_cast<int>(syscall(SYS_openat2, AT_FDCWD, name.c_str(), &how, sizeof how));
#else
  errno = ENOSYS;
  return -1;
#endif
}

// Opens the file of reply for reading and fills status: -1 when it cannot
// be served (missing, unreadable, not a regular file or, for a confined
// name, outside its root). The caller closes the descriptor.
int openServedFile(const Reply& reply, struct stat& status) {
  std::string name = reply.fileName;
  if (name.empty()) return -1;
  int fd = -1;
  if (reply.confined) {
    // A checked name with no symbolic link in it lies inside its root as it
    // stands: one open does. Links (inside a root, or a root that is a link)
    // are resolved and the target must lie inside a root.
    fd = openWithoutLinks(name);
    if (fd < 0 && (errno == ENOENT || errno == ENOTDIR || errno == EACCES)) return -1;
    if (fd < 0) {
      name = resolvedInsideRoots(name);
      if (name.empty()) return -1;
    }
  }
  if (fd < 0) fd = open(name.c_str(), kServedOpenFlags);
  if (fd < 0) return -1;
  OwnedDescriptor file(fd);
  // A FIFO or a device would block the reads: regular files only.
  if (fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode)) return -1;
  return file.release();
}

// Sends the file of reply after its header block. False when the file cannot
// be served: nothing has been sent.
bool sendFile(int socket, const Reply& reply) {
  struct stat status;
  OwnedDescriptor file(openServedFile(reply, status));
  if (file.fd < 0) return false;
  const int size = status.st_size > INT_MAX ? INT_MAX : static_cast<int>(status.st_size);
  const std::string header = buildResponseHeader(200, kFileType, size);
  // An empty file has no body to carry the header block along.
  if (!(size > 0 ? sendHeaderBeforeBody(socket, header) : sendAll(socket, header))) return true;
  // The size read at the open bounds the sends (the whole of it, beyond the
  // int the header block takes): the last one needs no extra call to find
  // the file's end.
  sendFileContents(socket, file.fd, status.st_size);
  return true;
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
      if (sendFile(socket, reply)) return;
      reply = statusReply(404);
    }
    if (reply.text != nullptr) {
      sendReply(socket, reply.status, "application/json", *reply.text);
      return;
    }
    sendJsonReply(socket, reply.status, reply.tree.get());
  } catch (const std::bad_alloc&) {
    // Memory ran out while the reply was being made: no reply; the database
    // lock was released by its guard and the database is unchanged.
  } catch (...) {
  }
}
