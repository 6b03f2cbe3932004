// uploads.cpp -- uploaded image files: paths, writes, held names, news
// images and removals.
#include "api/uploads.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "api/path_segments.h"
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

// Tries a write this many times while its directory vanishes under it.
constexpr int kUploadAttempts = 3;

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Renames temp, a written and synced upload, over path and syncs the
// directory. False when either fails: temp is gone, and so is the new file
// unless it replaced one at path (which cannot come back).
bool moveUploadIntoPlace(const std::string& temp, const std::string& path) {
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

// The dated directories of a stored upload path, as its removal walks them:
// from deepest up to, never including, stopAt. False when it has none.
bool datedChainOf(const std::string& storedPath, std::string& deepest, std::string& stopAt) {
  const PathSplit split = splitPathAtNumber(storedPath);
  if (split.numbers.empty() || split.prefix.empty()) return false;
  deepest = split.prefix + "/" + split.numbers;
  stopAt = split.prefix;
  return true;
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
  return !temp.empty() && moveUploadIntoPlace(temp, path);
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
  const std::string temp = writeUploadTempIn(directory, path, bytes);
  return !temp.empty() && moveUploadIntoPlace(temp, path);
}

void discardStoredUpload(const std::string& storedPath) {
  removeUploadFile(storedPath);
  removeUploadDirectories(storedPath);
}

void deferUploadRemoval(const std::string& storedPath, EmptiedDirectories directories) {
  if (!isRemovableUploadPath(storedPath)) return;
  FileRemoval removal{storedPath, "", "", directories};
  datedChainOf(storedPath, removal.deepestDirectory, removal.stopAt);
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
  std::string deepest;
  std::string stopAt;
  if (datedChainOf(storedPath, deepest, stopAt)) removeEmptyDirectoryChain(deepest, stopAt);
}
