// file_helpers.cpp -- small file and directory routines over POSIX calls.
#include "storage/file_helpers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr size_t kBufferFileBytes = 1000000;
constexpr size_t kCopyChunkBytes = 65536;
constexpr mode_t kNewDirectoryMode = 0755;
constexpr mode_t kNewFileMode = 0644;
// A new file of createUniqueFile gets what the umask leaves of this.
constexpr mode_t kUniqueFileMode = 0666;
constexpr int kUniqueNameLetters = 6;
// Names tried before createUniqueFile gives up (each collision is a new draw).
constexpr int kUniqueNameAttempts = 100;

enum class PathKind { kMissing, kDirectory, kRegular, kOther, kError };

// Links followed. A missing file or a missing (or non-directory) element of
// the path counts as nothing there; every other failure is an error.
PathKind pathKind(const std::string& path, struct stat* out = nullptr) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    return (errno == ENOENT || errno == ENOTDIR) ? PathKind::kMissing : PathKind::kError;
  }
  if (out != nullptr) *out = st;
  if (S_ISDIR(st.st_mode)) return PathKind::kDirectory;
  if (S_ISREG(st.st_mode)) return PathKind::kRegular;
  return PathKind::kOther;
}

// One "/" between dir and name; a name beginning with "/" stands alone.
std::string joinPath(const std::string& dir, const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

// The extension starts at the last "." of the element unless that dot is
// its first character or the element is "." or "..".
void splitStemExtension(const std::string& element, std::string& stem, std::string& ext) {
  size_t dot = element.rfind('.');
  if (dot == std::string::npos || dot == 0 || element == "..") {
    stem = element;
    ext.clear();
    return;
  }
  stem = element.substr(0, dot);
  ext = element.substr(dot);
}

// Creates dir and every missing directory above it. A directory that exists
// already (or appears meanwhile) counts as success.
bool makeDirectories(const std::string& dir) {
  if (dir.empty()) return false;
  for (size_t pos = dir.find('/', 1); pos != std::string::npos; pos = dir.find('/', pos + 1)) {
    // Errors here show again at the final mkdir, which decides.
    mkdir(dir.substr(0, pos).c_str(), kNewDirectoryMode);
  }
  if (mkdir(dir.c_str(), kNewDirectoryMode) == 0) return true;
  return errno == EEXIST && pathKind(dir) == PathKind::kDirectory;
}

// Copies the bytes of the regular file src to target. Without overwrite the
// target must not exist; with it a regular file there is replaced. A target
// that is the source file itself is refused.
bool copyRegularFile(const std::string& src, const std::string& target, bool overwrite) {
  struct stat srcStat;
  if (stat(src.c_str(), &srcStat) != 0) return false;
  struct stat targetStat;
  if (stat(target.c_str(), &targetStat) == 0 && targetStat.st_dev == srcStat.st_dev &&
      targetStat.st_ino == srcStat.st_ino) {
    return false;
  }
  FileDescriptor in(openRegularFile(src, O_RDONLY));
  if (!in.valid()) return false;
  // A FIFO or device at the target is refused instead of waiting for a reader.
  int flags = O_WRONLY | O_CREAT | (overwrite ? O_TRUNC : O_EXCL);
  FileDescriptor out(openRegularFile(target, flags, kNewFileMode));
  if (!out.valid()) return false;
  bool ok = true;
  std::unique_ptr<char[]> buffer(new char[kCopyChunkBytes]);
  while (ok) {
    ssize_t n = read(in.get(), buffer.get(), kCopyChunkBytes);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    ok = writeAllBytes(out.get(), buffer.get(), static_cast<size_t>(n));
  }
  if (out.close() != 0) ok = false;
  // A copy that did not complete leaves no half picture behind when it made the file.
  if (!ok && !overwrite) unlink(target.c_str());
  return ok;
}

// Creates target and copies into it the regular files lying directly in src.
bool copyDirectoryFiles(const std::string& src, const std::string& target) {
  if (mkdir(target.c_str(), kNewDirectoryMode) != 0) return false;
  DirHandle dir(opendir(src.c_str()));
  if (!dir) return false;
  while (true) {
    errno = 0;
    dirent* entry = readdir(dir.get());
    if (entry == nullptr) return errno == 0;
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string from = joinPath(src, name);
    if (pathKind(from) != PathKind::kRegular) continue;
    if (!copyRegularFile(from, joinPath(target, name), false)) return false;
  }
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    close();
    fd = other.release();
  }
  return *this;
}

int FileDescriptor::release() {
  const int held = fd;
  fd = -1;
  return held;
}

int FileDescriptor::close() {
  const int held = release();
  return held >= 0 ? ::close(held) : 0;
}

std::string parentPath(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string lastElement(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool writeAllBytes(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int openRegularFile(const std::string& path, int flags, mode_t mode, struct stat* status) {
  int fd = open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, mode);
  if (fd < 0) return -1;
  struct stat st;
  int code = fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EINVAL);
  if (code != 0) {
    close(fd);
    errno = code;
    return -1;
  }
  if (status != nullptr) *status = st;
  int current = fcntl(fd, F_GETFL);
  if (current < 0 || fcntl(fd, F_SETFL, current & ~O_NONBLOCK) != 0) {
    code = errno;
    close(fd);
    errno = code;
    return -1;
  }
  return fd;
}

int createUniqueFile(const std::string& prefix, std::string& createdPath) {
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static std::atomic<unsigned long long> drawn{0};
  for (int attempt = 0; attempt < kUniqueNameAttempts; ++attempt) {
    // splitmix64 over the time, the process and a per-process count: names
    // differ between threads and processes; a collision only costs a retry.
    unsigned long long x = static_cast<unsigned long long>(
                               std::chrono::steady_clock::now().time_since_epoch().count()) ^
                           (static_cast<unsigned long long>(getpid()) << 40) ^
                           (drawn.fetch_add(1) * 0x9E3779B97F4A7C15ULL);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    x ^= x >> 31;
    std::string name = prefix;
    for (int i = 0; i < kUniqueNameLetters; ++i) {
      name += kLetters[x % (sizeof kLetters - 1)];
      x /= sizeof kLetters - 1;
    }
    int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kUniqueFileMode);
    if (fd >= 0) {
      createdPath = name;
      return fd;
    }
    if (errno != EEXIST) return -1;
  }
  errno = EEXIST;
  return -1;
}

int32_t fileModifiedTime(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(st.st_mtime)));
}

bool isEmptyDirectory(const std::string& path) {
  if (pathKind(path) != PathKind::kDirectory) return false;
  DirHandle dir(opendir(path.c_str()));
  if (!dir) return false;
  while (true) {
    errno = 0;
    dirent* entry = readdir(dir.get());
    if (entry == nullptr) return errno == 0;
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      return false;
    }
  }
}

void removeEmptyParents(const std::string& start, const std::string& stopAt) {
  std::string current = start;
  while (current != stopAt && isEmptyDirectory(current)) {
    // A directory that another worker removed first counts as removed.
    if (rmdir(current.c_str()) != 0 && errno != ENOENT) return;
    current = parentPath(current);
  }
}

void removeEmptyDirectoryChain(const std::string& path, const std::string& stopAt) {
  if (!isEmptyDirectory(path)) return;
  if (rmdir(path.c_str()) != 0 && errno != ENOENT) return;
  removeEmptyParents(parentPath(path), stopAt);
}

bool ensureDirectory(const std::string& dir) {
  PathKind kind = pathKind(dir);
  if (kind == PathKind::kError) return false;
  if (kind != PathKind::kMissing) return true;
  return makeDirectories(dir);
}

bool copyFileAs(const std::string& src, const std::string& dstDir, std::string& outExt,
                bool overwrite, const std::string& newStem, const std::string& newExt) {
  PathKind srcKind = pathKind(src);
  if (srcKind == PathKind::kMissing || srcKind == PathKind::kError) return false;

  PathKind dstKind = pathKind(dstDir);
  if (dstKind == PathKind::kError) return false;
  if (dstKind == PathKind::kMissing) {
    if (!makeDirectories(dstDir)) return false;
  } else if (dstKind != PathKind::kDirectory) {
    return false;
  }

  if (srcKind == PathKind::kDirectory) {
    std::string target = joinPath(dstDir, lastElement(src));
    // A copy that may replace leaves a directory source alone and counts as made.
    if (overwrite) return true;
    if (pathKind(target) != PathKind::kMissing) return false;
    return copyDirectoryFiles(src, target);
  }
  if (srcKind != PathKind::kRegular) return false;

  std::string stem, ext;
  splitStemExtension(lastElement(src), stem, ext);
  if (!newStem.empty()) stem = newStem;
  if (!newExt.empty()) ext = newExt[0] == '.' ? newExt : "." + newExt;
  outExt = ext;
  std::string target = joinPath(dstDir, stem + ext);
  if (!overwrite && pathKind(target) != PathKind::kMissing) return false;
  return copyRegularFile(src, target, overwrite);
}

std::string readTextFile(const std::string& path) {
  FileHandle file(fopen(path.c_str(), "rb"));
  if (!file) return "";
  // A directory opens too, and its end offset is no size.
  struct stat st;
  if (fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode)) return "";
  if (fseeko(file.get(), 0, SEEK_END) != 0) return "";
  off_t size = ftello(file.get());
  // Sizes are held as a signed 32-bit count; a file beyond it reads as empty.
  if (size <= 0 || size > INT_MAX) return "";
  if (fseeko(file.get(), 0, SEEK_SET) != 0) return "";
  std::string text(static_cast<size_t>(size), '\0');
  size_t got = fread(&text[0], 1, text.size(), file.get());
  text.resize(got);
  size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

bool writeTextFile(const std::string& path, const std::string& text) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return true;
  bool failed = fwrite(text.data(), 1, text.size(), file) != text.size();
  // The flush inside fclose may be the write that fails (a full disk).
  if (fclose(file) != 0) failed = true;
  return failed;
}

char* readFileToBuffer(const char* path) {
  char* buffer = static_cast<char*>(malloc(kBufferFileBytes));
  if (buffer == nullptr) return nullptr;
  buffer[0] = '\0';
  FileHandle file(fopen(path, "rb"));
  if (!file) return buffer;
  size_t got = fread(buffer, 1, kBufferFileBytes - 1, file.get());
  buffer[got] = '\0';
  return buffer;
}
