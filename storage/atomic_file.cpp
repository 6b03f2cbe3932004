// atomic_file.cpp -- writeFileAtomically, followLinks and
// removeStaleSaveFiles.
#include "storage/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>
#include <vector>

#include "storage/file_helpers.h"

namespace {

// Symbolic links followed before a save gives up (as the kernel's own limit).
constexpr int kMaxLinkHops = 40;

std::string errnoText(int code) { return std::generic_category().message(code); }

// The file that path leads to through symbolic links (a relative target
// counts from its link's directory); path itself when it is no link, and the
// last name reached when nothing is there yet. False with errno set when a
// link cannot be read or there are too many.
bool followLinks(const std::string& path, std::string& target) {
  std::string current = path;
  for (int hops = 0; hops <= kMaxLinkHops; ++hops) {
    struct stat st;
    if (lstat(current.c_str(), &st) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) return false;
      target = current;  // nothing there yet: the save creates it
      return true;
    }
    if (!S_ISLNK(st.st_mode)) {
      target = current;
      return true;
    }
    std::vector<char> buffer(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
    ssize_t length = readlink(current.c_str(), buffer.data(), buffer.size());
    if (length < 0) return false;
    std::string link(buffer.data(), static_cast<size_t>(length));
    const bool relative = !link.empty() && link[0] != '/' && current.find('/') != std::string::npos;
    current = relative ? parentPath(current) + "/" + link : link;
  }
  errno = ELOOP;
  return false;
}

}  // namespace

bool writeFileAtomically(const std::string& linkPath, const std::string& bytes,
                         std::string& error) {
  // A symbolic link stays: the file it leads to is the one replaced.
  std::string path;
  if (!followLinks(linkPath, path)) {
    error = "follow " + linkPath + ": " + errnoText(errno);
    return false;
  }
  std::string pattern = path + kSaveFileSuffix + "XXXXXX";
  std::string tempPath;
  // Created as open(2) creates a file: 0666 less the umask.
  FileDescriptor file(createUniqueFile(path + kSaveFileSuffix, tempPath));
  if (!file.valid()) {
    error = "create " + pattern + ": " + errnoText(errno);
    return false;
  }
  auto fail = [&](const char* step) {
    int code = errno;
    file.close();
    unlink(tempPath.c_str());
    error = std::string(step) + " " + tempPath + ": " + errnoText(code);
    return false;
  };
  // The new file keeps the permissions of the one it replaces.
  struct stat previous;
  if (stat(path.c_str(), &previous) == 0 && fchmod(file.get(), previous.st_mode & 07777) != 0) {
    return fail("chmod");
  }
  if (!writeAllBytes(file.get(), bytes.data(), bytes.size())) return fail("write");
  if (fsync(file.get()) != 0) return fail("fsync");
  if (file.close() != 0) return fail("close");
  if (rename(tempPath.c_str(), path.c_str()) != 0) {
    int code = errno;
    unlink(tempPath.c_str());
    error = "rename " + tempPath + " to " + path + ": " + errnoText(code);
    return false;
  }
  // The rename is durable only once the directory entry is on disk.
  std::string dir = parentPath(path);
  const FileDescriptor directory(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid() || fsync(directory.get()) != 0) {
    error = "sync directory " + dir + ": " + errnoText(errno);
    return false;
  }
  return true;
}

void removeStaleSaveFiles(const std::string& linkPath) {
  // Saves write beside the file that a symbolic link leads to.
  std::string path;
  if (!followLinks(linkPath, path)) return;
  std::string dir = parentPath(path);
  std::string prefix = lastElement(path) + kSaveFileSuffix;
  DirHandle listing(opendir(dir.c_str()));
  if (!listing) return;
  while (dirent* entry = readdir(listing.get())) {
    if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
      unlink((dir + "/" + entry->d_name).c_str());
    }
  }
}
