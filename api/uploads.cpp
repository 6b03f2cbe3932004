// uploads.cpp -- dated upload directories, news image files and the removal
// of stored uploads with the directories they leave empty.
#include "api/uploads.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "http/response.h"
#include "http/url_form.h"
#include "storage/file_helpers.h"

namespace {

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// No empty, "." or ".." segment and no NUL byte: the path cannot climb out of
// the directory it starts in, and the file system sees the same path as we do.
bool hasPlainSegments(const std::string& path) {
  if (path.find('\0') != std::string::npos) return false;
  std::size_t start = 0;
  while (true) {
    std::size_t slash = path.find('/', start);
    std::string segment =
        path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (segment.empty() || segment == "." || segment == "..") return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
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

// A news image of this call: written to temp, stored under path once moved.
struct NewImage {
  std::string temp;
  std::string path;
};

// Undoes a call that failed: the images before `moved` are already under
// their paths and are removed unless an old image has that path (the record
// still names it); the rest are still temporary files. The directories left
// empty go too.
void discardNewImages(const std::vector<NewImage>& written, std::size_t moved,
                      const cJSON* oldImages) {
  for (std::size_t k = 0; k < written.size(); ++k) {
    const NewImage& image = written[k];
    if (k >= moved) {
      unlink(image.temp.c_str());
    } else {
      bool named = false;
      const cJSON* entry = nullptr;
      cJSON_ArrayForEach(entry, oldImages) {
        if (cJSON_IsString(entry) && entry->valuestring != nullptr &&
            image.path == entry->valuestring) {
          named = true;
        }
      }
      if (!named) removeUploadFile(image.path);
    }
    removeUploadDirectories(image.path);
  }
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
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  const OwnedDescriptor directory(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return directory.fd >= 0 && fsync(directory.fd) == 0;
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

cJSON* saveNewsImages(int start, int partCount, int newsId, const std::vector<FormPart>& parts,
                      std::time_t now, const cJSON* oldImages) {
  const DateParts date = toDateParts(now);
  if (start < 0) start = 0;
  if (partCount > static_cast<int>(parts.size())) partCount = static_cast<int>(parts.size());
  const int oldCount = cJSON_IsArray(oldImages) ? cJSON_GetArraySize(oldImages) : 0;

  std::unique_ptr<cJSON, decltype(&cJSON_Delete)> images(cJSON_CreateArray(), &cJSON_Delete);
  if (!images) return nullptr;
  std::vector<NewImage> written;
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
          cJSON_AddItemToArray(images.get(), cJSON_CreateString(kept.c_str()));
        }
        continue;
      }
    } else {
      store = numbered && number >= lowest && number < partCount;
    }
    if (!store) continue;

    const std::string dir = newsImageDirectory(date, newsId);
    ensureDirectory(dir);  // a missing directory shows as a file that cannot be created
    const std::string path = dir + std::to_string(number) +
                             std::to_string(static_cast<long long>(now)) + kUploadExtension;
    const std::string temp = writeUploadTemp(path, hasData ? part.data : std::string_view());
    if (temp.empty()) {
      discardNewImages(written, 0, oldImages);
      removeUploadDirectories(path);
      return nullptr;
    }
    written.push_back({temp, path});
    cJSON_AddItemToArray(images.get(), cJSON_CreateString(path.c_str()));
    lowest = number;
  }

  // Every new file is whole: only now they take their stored names.
  for (std::size_t k = 0; k < written.size(); ++k) {
    if (std::rename(written[k].temp.c_str(), written[k].path.c_str()) != 0) {
      discardNewImages(written, k, oldImages);
      return nullptr;
    }
  }
  // They all lie in one directory: one sync makes every rename durable.
  if (!written.empty() && !syncUploadDirectory(written.front().path)) {
    discardNewImages(written, written.size(), oldImages);
    return nullptr;
  }

  // The old images that the request no longer names go only now, and only
  // when it sends fewer image parts than the item has. One that a new image
  // replaced at the same path is that new image.
  if (partCount - start < oldCount) {
    std::vector<std::string> named;
    for (int i = start; i < partCount; ++i) named.push_back(urlDecode(parts[i].filename));
    for (const NewImage& image : written) named.push_back(image.path);
    const cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, oldImages) {
      if (!cJSON_IsString(entry) || entry->valuestring == nullptr) continue;
      const std::string oldPath = entry->valuestring;
      if (contains(named, oldPath)) continue;
      if (removeUploadFile(oldPath)) removeUploadDirectories(oldPath);
    }
  }
  return images.release();
}
