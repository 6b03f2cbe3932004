// file_helpers.h -- small file and directory routines: paths, holders of
// descriptors and streams, modification time, directory creation and
// clean-up, picture copy, whole-file read and write.
//
// No file-system error reaches the caller: it becomes the routine's failure
// result or ends a removal walk. Paths are used as spelled, relative to the
// working directory unless they begin with "/"; links are followed. No lock.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// Holders that close a stdio file or a directory listing on every path.
// Closers are types rather than &fclose/&closedir, whose declarations may
// carry attributes that a template argument cannot keep.
struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;
struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// Owns a file descriptor (-1: none) and closes it when it goes. Moved, never
// copied.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int descriptor) : fd(descriptor) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { close(); }

  int get() const { return fd; }
  bool valid() const { return fd >= 0; }
  // Gives the descriptor up without closing it.
  int release();
  // Closes the descriptor now: close(2)'s result (0 when none is held), which
  // tells a writer whether its last bytes reached the file.
  int close();

 private:
  int fd = -1;
};

// The directory path names (as dirname(3) spells it): "a/b/c" -> "a/b",
// "a" -> ".", "/a" -> "/".
std::string parentPath(const std::string& path);

// The last element of path: "a/b/c" -> "c", "a" -> "a".
std::string lastElement(const std::string& path);

// Writes all size bytes to fd, going on after short writes and EINTR.
// False on the first error, with errno set.
bool writeAllBytes(int fd, const char* data, size_t size);

// Opens path with flags (O_CLOEXEC is added) and mode as open(2) does, but
// only when it is a regular file: the open itself never blocks (a FIFO
// without a writer, a device), and anything else is closed again. Returns the
// descriptor, in blocking mode, or -1 with errno set (EINVAL for a file that
// is not regular). The caller closes it. When status is given it receives
// the opened file's status, so the caller needs no fstat of its own.
int openRegularFile(const std::string& path, int flags, mode_t mode = 0,
                    struct stat* status = nullptr);

// Creates a new file named prefix followed by six random letters and digits,
// with O_EXCL and mode 0666 less the process umask (as open(2) creates a
// file), open for writing. Returns the descriptor (the caller closes it) and
// the name in createdPath, or -1 with errno set when no such file can be made.
int createUniqueFile(const std::string& prefix, std::string& createdPath);

// The modification time in whole Unix seconds (the low 32 bits of it);
// -1 when the status cannot be read.
int32_t fileModifiedTime(const std::string& path);

// True when path is a directory without entries; false for anything else and
// on any file-system error.
bool isEmptyDirectory(const std::string& path);

// Removes start and then each parent while it is an empty directory, until the
// path equals stopAt (which stays). Any failure ends the walk silently.
void removeEmptyParents(const std::string& start, const std::string& stopAt);

// Removes path when it is an empty directory (even when it equals stopAt), then
// its parents as removeEmptyParents does. Any failure ends it silently.
void removeEmptyDirectoryChain(const std::string& path, const std::string& stopAt);

// True when something of any kind exists at dir or the directory and its
// missing parents were created; false when creation fails or the existence
// test meets a file-system error.
bool ensureDirectory(const std::string& dir);

// Copies src into dstDir (created with its parents when missing).
// A regular file is written as dstDir/<stem><ext>: the stem is newStem unless
// it is empty (then the source's stem); the extension is the source's when
// newExt is empty, newExt when it begins with ".", else "." + newExt. outExt
// receives that extension before the copy is tried. A directory source is
// copied as dstDir/<its last element> with the regular files directly inside
// it (only when overwrite is false; with overwrite it does nothing and counts
// as made). Without overwrite an existing target is refused; with it, a
// target that is not a regular file (a FIFO, a device) is refused without
// blocking. Returns true when the copy was made.
bool copyFileAs(const std::string& src, const std::string& dstDir, std::string& outExt,
                bool overwrite, const std::string& newStem, const std::string& newExt);

// The file's content up to its first NUL byte; empty when it cannot be opened
// or is not a regular file.
std::string readTextFile(const std::string& path);

// Replaces the file's content with text (NUL bytes included).
// Inverted sense: returns true when it failed (the file cannot be opened for
// writing, or a write, the flush or the close failed: the file may then hold
// part of the text), false when the whole text was written.
bool writeTextFile(const std::string& path, const std::string& text);

// A new 1,000,000-byte buffer from malloc holding at most the first 999,999
// bytes of the file followed by a NUL (an empty text when the file cannot be
// opened). The caller releases it with free. Null only when malloc fails.
char* readFileToBuffer(const char* path);
