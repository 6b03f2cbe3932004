// news_images.cpp -- the image files of a postnews request.
#include "api/news_images.h"

#include <unistd.h>

#include <cstdio>

#include "http/url_form.h"
#include "storage/file_helpers.h"
#include "storage/json_values.h"

namespace {

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

bool namedIn(const cJSON* images, const std::string& path) {
  const cJSON* entry = nullptr;
  cJSON_ArrayForEach(entry, images) {
    const char* text = textOf(entry);
    if (text != nullptr && path == text) return true;
  }
  return false;
}

}  // namespace

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
