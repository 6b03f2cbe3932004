// file_serving.cpp -- stored files sent by path, confined to the served roots.
#include "api/file_serving.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "api/path_segments.h"
#include "http/reply_sends.h"
#include "http/reply_text.h"
#include "storage/file_helpers.h"

namespace {

constexpr const char* kFileType = "image/webp";
// The directories whose files clients may fetch by path.
constexpr const char* kServedRoots[] = {"img", "uploads"};

// The real path of name, or "" when it cannot be resolved.
std::string realPathOf(const std::string& name) {
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(name.c_str(), nullptr), &std::free);
  return resolved != nullptr ? std::string(resolved.get()) : std::string();
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

// Opens the stored file name for reading and fills status: -1 when it cannot
// be served (missing, unreadable, not a regular file or, for a confined
// name, outside its root). The caller closes the descriptor.
int openServedFile(std::string name, bool confined, struct stat& status) {
  if (name.empty()) return -1;
  int fd = -1;
  if (confined) {
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
  FileDescriptor file(fd);
  // A FIFO or a device would block the reads: regular files only.
  if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return -1;
  return file.release();
}

}  // namespace

std::string confinedFileName(const std::string& name) {
  bool underRoot = false;
  for (const char* root : kServedRoots) {
    std::string prefix = std::string(root) + "/";
    if (name.compare(0, prefix.size(), prefix) == 0) underRoot = true;
  }
  return underRoot && hasPlainSegments(name) ? name : "";
}

bool sendStoredFile(int socket, const std::string& name, bool confined) {
  struct stat status;
  FileDescriptor file(openServedFile(name, confined, status));
  if (!file.valid()) return false;
  const int size = status.st_size > INT_MAX ? INT_MAX : static_cast<int>(status.st_size);
  const std::string header = buildResponseHeader(200, kFileType, size);
  // An empty file has no body to carry the header block along.
  if (!(size > 0 ? sendHeaderBeforeBody(socket, header) : sendAll(socket, header))) return true;
  // The size read at the open bounds the sends (the whole of it, beyond the
  // int the header block takes): the last one needs no extra call to find
  // the file's end.
  sendFileContents(socket, file.get(), status.st_size);
  return true;
}
