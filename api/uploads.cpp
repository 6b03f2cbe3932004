// uploads.cpp -- uploaded image files: paths, writes, held names, news
// images and removals.
#include "api/uploads.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "api/json_values.h"
#include "api/path_segments.h"
#include "http/url_form.h"
#include "storage/file_helpers.h"
#include "storage/record_changes.h"

namespace {

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::string datedDirectory(const std::string& root, const DateParts& d) {
  return root + "/" + std::to_string(d.year) + "/" + std::to_string(d.month) + "/" +
         std::to_string(d.day) + "/";
}

// The image number that a part's file name gives, when it is a plain decimal
// text (no sign, no leading zeros) of an int.
bool imageNumber(std::string_view filename, int& number) {
  if (filename.empty() || filename.size() > 10) return false;
  if (filename.size() > 1 && filename[0] == '0') return false;
  long long value = 0;
  for (char c : filename) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > 2147483647LL) return false;
  number = static_cast<int>(value);
  return true;
}

// Whether a part brings image bytes. A part whose content is only blanks,
// tabs, CR and LF counts as one without data (the form's trimming leaves it
// empty), unless its own Content-Length line gave those bytes.
bool hasImageData(const FormPart& part) {
  if (part.data.empty()) return false;
  return part.dataCutByLength || part.data.find_first_not_of(" \t\r\n") != std::string_view::npos;
}

bool contains(const std::vector<std::string>& list, const std::string& value) {
  for (const std::string& item : list) {
    if (item == value) return true;
  }
  return false;
}

// Tries a write this many times while its directory vanishes under it.
constexpr int kUploadAttempts = 3;

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool namedIn(const cJSON* images, const std::string& path) {
  const cJSON* entry = nullptr;
  cJSON_ArrayForEach(entry, images) {
    const char* text = textOf(entry);
    if (text != nullptr && path == text) return true;
  }
  return false;
}

}  // namespace

DateParts toDateParts(std::time_t t) {
  DateParts d;
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return d;
  d.year = local.tm_year + 1900;
  d.month = local.tm_mon + 1;
  d.day = local.tm_mday;
  d.hour = local.tm_hour;
  d.minute = local.tm_min;
  d.second = local.tm_sec;
  return d;
}

std::time_t fromDateParts(const DateParts& d) {
  std::tm local{};
  local.tm_sec = d.second;
  local.tm_min = d.minute;
  local.tm_hour = d.hour;
  local.tm_mday = d.day;
  local.tm_mon = d.month - 1;
  local.tm_year = d.year - 1900;
  local.tm_wday = 0;
  local.tm_yday = 0;
  local.tm_isdst = -1;  // the platform decides whether daylight saving applies
  return std::mktime(&local);
}

std::string avatarDirectory(const DateParts& d) { return datedDirectory(kAvatarRoot, d); }

std::string newsImageDirectory(const DateParts& d, int newsId) {
  return datedDirectory(kNewsImageRoot, d) + std::to_string(newsId) + "/";
}

bool isStoredNewsImagePath(const std::string& path) {
  return startsWith(path, std::string(kNewsImageRoot) + "/") && hasPlainSegments(path);
}

bool isRemovableUploadPath(const std::string& path) {
  return (startsWith(path, std::string(kNewsImageRoot) + "/") ||
          startsWith(path, std::string(kAvatarRoot) + "/")) &&
         hasPlainSegments(path);
}

std::string writeUploadTemp(const std::string& path, std::string_view bytes) {
  std::string temp;
  const int fd = createUniqueFile(path + kUploadTempSuffix, temp);
  if (fd < 0) return "";
  // A full disk or a file-size limit cuts the write short; the sync or the
  // close may be where a deferred write error shows.
  bool written = writeAllBytes(fd, bytes.data(), bytes.size()) && fsync(fd) == 0;
  if (close(fd) != 0) written = false;
  if (written) return temp;
  unlink(temp.c_str());
  return "";
}

bool syncUploadDirectory(const std::string& path) {
  const std::string dir = parentPath(path);
  const FileDescriptor directory(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return directory.valid() && fsync(directory.get()) == 0;
}

bool writeUploadFile(const std::string& path, std::string_view bytes) {
  const std::string temp = writeUploadTemp(path, bytes);
  if (temp.empty()) return false;
  struct stat before;
  const bool replaces = lstat(path.c_str(), &before) == 0;
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  if (syncUploadDirectory(path)) return true;
  // A file the rename replaced cannot come back: the new one stays in its
  // place. Otherwise the new file goes again.
  if (!replaces) unlink(path.c_str());
  return false;
}

std::string writeUploadTempIn(const std::string& directory, const std::string& path,
                              const UploadBytes& bytes) {
  for (int attempt = 0; attempt < kUploadAttempts; ++attempt) {
    // A failure to make it shows as a file that cannot be created.
    ensureDirectory(directory);
    std::string temp = writeUploadTemp(path, bytes);
    if (!temp.empty()) return temp;
    // The clean-up of another request or of the writer may remove an empty
    // dated directory between its making and the file's creation; once the
    // file is there the directory is no longer empty.
    if (isDirectory(directory)) break;
  }
  return "";
}

bool storeUploadIn(const std::string& directory, const std::string& path,
                   const UploadBytes& bytes) {
  for (int attempt = 0; attempt < kUploadAttempts; ++attempt) {
    ensureDirectory(directory);
    if (writeUploadFile(path, bytes)) return true;
    if (isDirectory(directory)) break;
  }
  return false;
}

void discardStoredUpload(const std::string& storedPath) {
  removeUploadFile(storedPath);
  removeUploadDirectories(storedPath);
}

void deferUploadRemoval(const std::string& storedPath, EmptiedDirectories directories) {
  if (!isRemovableUploadPath(storedPath)) return;
  FileRemoval removal{storedPath, "", "", directories};
  // The dated chain as removeUploadDirectories walks it.
  const PathSplit split = splitPathAtNumber(storedPath);
  if (!split.numbers.empty() && !split.prefix.empty()) {
    removal.deepestDirectory = split.prefix + "/" + split.numbers;
    removal.stopAt = split.prefix;
  }
  deferRemoval(removal);
}

bool replacesKeptFile(const std::string& storedPath, bool namedByRecord) {
  return namedByRecord || removalPending(storedPath);
}

HeldUploadNames::~HeldUploadNames() {
  if (writing.empty() && keeping.empty()) return;
  DatabaseLock lock(databaseMutex);
  releaseLocked();
}

bool HeldUploadNames::holdForWriting(const std::string& path) {
  if (std::find(writing.begin(), writing.end(), path) != writing.end()) return true;
  if (!::holdForWriting(path)) return false;
  writing.push_back(path);
  return true;
}

void HeldUploadNames::holdForKeeping(const std::string& path) {
  ::holdForKeeping(path);
  keeping.push_back(path);
}

void HeldUploadNames::releaseLocked() {
  for (const std::string& path : writing) releaseWritingHold(path);
  for (const std::string& path : keeping) releaseKeepingHold(path);
  writing.clear();
  keeping.clear();
}

bool removeUploadFile(const std::string& storedPath) {
  if (!isRemovableUploadPath(storedPath)) return false;
  return std::remove(storedPath.c_str()) == 0;
}

void removeUploadDirectories(const std::string& storedPath) {
  if (!isRemovableUploadPath(storedPath)) return;
  PathSplit split = splitPathAtNumber(storedPath);
  if (split.numbers.empty() || split.prefix.empty()) return;
  removeEmptyDirectoryChain(split.prefix + "/" + split.numbers, split.prefix);
}

NewsImagePlan planNewsImages(int start, int partCount, int newsId,
                             const std::vector<FormPart>& parts, std::time_t now) {
  const DateParts date = toDateParts(now);
  if (start < 0) start = 0;
  if (partCount > static_cast<int>(parts.size())) partCount = static_cast<int>(parts.size());
  NewsImagePlan plan;
  plan.imageParts = partCount - start;
  const std::string dir = newsImageDirectory(date, newsId);
  int lowest = 0;  // the number of the last image stored; lower numbers are dropped
  for (int i = start; i < partCount; ++i) {
    const FormPart& part = parts[i];
    int number = 0;
    const bool numbered = imageNumber(part.filename, number);
    const bool hasData = hasImageData(part);
    bool store = false;
    if (!hasData) {
      store = numbered && number == lowest;
      if (!store) {
        // A part without data keeps an existing image by its stored path.
        const std::string kept = urlDecode(part.filename);
        if (kept.empty() || isStoredNewsImagePath(kept)) {
          plan.images.push_back(kept);
          if (!kept.empty()) plan.kept.push_back(kept);
        }
        continue;
      }
    } else {
      store = numbered && number >= lowest && number < partCount;
    }
    if (!store) continue;
    NewsImageWrite write;
    write.part = static_cast<std::size_t>(i);
    write.withData = hasData;
    write.path = dir + std::to_string(number) + std::to_string(static_cast<long long>(now)) +
                 kUploadExtension;
    plan.images.push_back(write.path);
    plan.writes.push_back(std::move(write));
    lowest = number;
  }
  for (int i = start; i < partCount; ++i) plan.named.push_back(urlDecode(parts[i].filename));
  for (const NewsImageWrite& write : plan.writes) plan.named.push_back(write.path);
  return plan;
}

bool holdNewsImageNames(NewsImagePlan& plan, const cJSON* oldImages, HeldUploadNames& names) {
  for (NewsImageWrite& write : plan.writes) {
    write.replacesKept = replacesKeptFile(write.path, namedIn(oldImages, write.path));
    if (!names.holdForWriting(write.path)) return false;
  }
  for (const std::string& kept : plan.kept) names.holdForKeeping(kept);
  return true;
}

bool writeNewsImages(NewsImagePlan& plan, const std::vector<FormPart>& parts) {
  static const UploadBytes kNoBytes;
  for (NewsImageWrite& write : plan.writes) {
    const UploadBytes& bytes = write.withData ? parts[write.part].data : kNoBytes;
    const std::string dir = parentPath(write.path);
    write.temp = writeUploadTempIn(dir, write.path, bytes);
    if (write.temp.empty()) {
      discardNewsImages(plan);
      return false;
    }
  }
  // Every new file is whole: only now they take their stored names.
  for (NewsImageWrite& write : plan.writes) {
    if (write.replacesKept) continue;
    if (std::rename(write.temp.c_str(), write.path.c_str()) != 0) {
      discardNewsImages(plan);
      return false;
    }
    write.temp.clear();
  }
  // They all lie in one directory: one sync makes every rename durable.
  if (!plan.writes.empty() && !syncUploadDirectory(plan.writes.front().path)) {
    discardNewsImages(plan);
    return false;
  }
  return true;
}

bool moveReplacingImages(NewsImagePlan& plan) {
  bool moved = true;
  bool renamed = false;
  for (NewsImageWrite& write : plan.writes) {
    if (!write.replacesKept || write.temp.empty()) continue;
    if (std::rename(write.temp.c_str(), write.path.c_str()) != 0) {
      unlink(write.temp.c_str());
      moved = false;
    } else {
      renamed = true;
    }
    write.temp.clear();
  }
  if (renamed && !syncUploadDirectory(plan.writes.front().path)) moved = false;
  return moved;
}

void discardNewsImages(NewsImagePlan& plan) {
  for (NewsImageWrite& write : plan.writes) {
    if (!write.temp.empty()) {
      unlink(write.temp.c_str());
      write.temp.clear();
    } else if (!write.replacesKept) {
      removeUploadFile(write.path);
    }
    removeUploadDirectories(write.path);
  }
}

std::vector<std::string> oldImagesToRemove(const NewsImagePlan& plan, const cJSON* oldImages) {
  std::vector<std::string> removed;
  const int oldCount = cJSON_IsArray(oldImages) ? cJSON_GetArraySize(oldImages) : 0;
  if (plan.imageParts >= oldCount) return removed;
  const cJSON* entry = nullptr;
  cJSON_ArrayForEach(entry, oldImages) {
    const char* text = textOf(entry);
    if (text == nullptr) continue;
    const std::string oldPath = text;
    if (contains(plan.named, oldPath) || contains(removed, oldPath)) continue;
    removed.push_back(oldPath);
  }
  return removed;
}
