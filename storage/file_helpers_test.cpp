// file_helpers_test.cpp -- the file and directory routines in temporary
// working directories.
#include "storage/file_helpers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <utility>

#include "tests/support/test_support.h"

using testsupport::pathExists;
using testsupport::readFile;
using testsupport::ScopedChdir;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

bool isDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void makeDirs(const std::string& path) { ASSERT_TRUE(ensureDirectory(path)) << path; }

}  // namespace

TEST(FileModifiedTime, IsTheStatusSecondsOrMinusOne) {
  TempDir dir;
  ScopedChdir cd(dir.path);
  EXPECT_EQ(fileModifiedTime("missing"), -1);
  writeFile("f", "x");
  struct stat st;
  ASSERT_EQ(stat("f", &st), 0);
  EXPECT_EQ(fileModifiedTime("f"), static_cast<int32_t>(st.st_mtime));
}

TEST(IsEmptyDirectory, OnlyADirectoryWithoutEntries) {
  TempDir dir;
  ScopedChdir cd(dir.path);
  makeDirs("empty");
  makeDirs("parent/child");
  writeFile("file", "");
  ASSERT_EQ(symlink("empty", "link"), 0);
  struct {
    const char* path;
    bool empty;
  } cases[] = {
      {"missing", false}, {"file", false}, {"parent", false},
      {"", false},        {"link", true},  {"empty", true},
  };
  for (const auto& c : cases) EXPECT_EQ(isEmptyDirectory(c.path), c.empty) << c.path;
}

TEST(RemoveEmptyDirectoryChain, RemovesEmptiedDirectoriesUpToTheStop) {
  struct {
    const char* desc;
    const char* extraFile;  // placed before the call, "" for none
    const char* stopAt;
    const char* path;
    std::vector<std::string> kept;
    std::vector<std::string> removed;
  } cases[] = {
      {"chain up to the stop", "", "a", "a/b/c", {"a"}, {"a/b"}},
      {"file beside the start", "a/b/f", "a", "a/b/c", {"a/b", "a/b/f"}, {"a/b/c"}},
      {"file inside the start", "a/b/c/f", "a", "a/b/c", {"a/b/c/f"}, {}},
      {"stop not on the way up", "", "a/", "a/b/c", {}, {"a"}},
      {"path is the stop, the walk goes on", "", "a/b/c", "a/b/c", {"uploads"}, {"a"}},
      {"a regular file as the path", "a/b/c/f", "a", "a/b/c/f", {"a/b/c/f"}, {}},
      {"a missing path", "", "a", "a/b/x", {"a/b/c"}, {}},
      {"upload layout",
       "",
       "uploads/img",
       "uploads/img/2024/5/3/7",
       {"uploads/img"},
       {"uploads/img/2024"}},
  };
  for (const auto& c : cases) {
    TempDir dir;
    ScopedChdir cd(dir.path);
    makeDirs("a/b/c");
    makeDirs("uploads/img/2024/5/3/7");
    if (*c.extraFile) writeFile(c.extraFile, "x");
    removeEmptyDirectoryChain(c.path, c.stopAt);
    for (const auto& p : c.kept) EXPECT_TRUE(pathExists(p)) << c.desc << ": " << p << " removed";
    for (const auto& p : c.removed) EXPECT_FALSE(pathExists(p)) << c.desc << ": " << p << " kept";
  }
}

TEST(EnsureDirectory, CreatesMissingChainsAndAcceptsAnythingPresent) {
  TempDir dir;
  ScopedChdir cd(dir.path);
  writeFile("file", "content");
  struct {
    const char* path;
    bool result;
    bool directoryAfter;
  } cases[] = {
      {"file", true, false},           {"", false, false},
      {"x/y/z", true, true},           {"file/below", false, false},
      {"trailing/slash/", true, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ensureDirectory(c.path), c.result) << c.path;
    EXPECT_EQ(isDirectory(c.path), c.directoryAfter) << c.path;
  }
  EXPECT_EQ(readFile("file"), "content");
  EXPECT_TRUE(ensureDirectory("x/y/z"));  // present now
}

TEST(CopyFileAs, NamesTheTargetAndReportsTheExtension) {
  struct {
    const char* desc;
    const char* src;
    const char* newStem;
    const char* newExt;
    const char* target;
    const char* ext;
  } cases[] = {
      {"new stem, source extension", "pics/logo.png", "icon", "", "img/icon.png", ".png"},
      {"new extension without dot", "pics/logo.png", "icon", "jpg", "img/icon.jpg", ".jpg"},
      {"new extension with dot", "pics/logo.png", "icon", ".jpg", "img/icon.jpg", ".jpg"},
      {"source stem kept", "pics/logo.png", "", "", "img/logo.png", ".png"},
      {"no extension", "pics/logo", "icon", "", "img/icon", ""},
      {"dot file is its own stem", "pics/.hidden", "", "", "img/.hidden", ""},
      {"last dot only", "pics/archive.tar.gz", "", "", "img/archive.tar.gz", ".gz"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    ScopedChdir cd(dir.path);
    writeFile(c.src, std::string("bytes\0of ", 9) + c.src);
    std::string outExt = "unset";
    EXPECT_TRUE(copyFileAs(c.src, "img", outExt, true, c.newStem, c.newExt)) << c.desc;
    EXPECT_EQ(outExt, c.ext) << c.desc;
    EXPECT_EQ(readFile(c.target), std::string("bytes\0of ", 9) + c.src) << c.desc;
  }
}

TEST(CopyFileAs, RefusalsLeaveFilesAsTheyWere) {
  TempDir dir;
  ScopedChdir cd(dir.path);
  writeFile("pics/logo.png", "new");
  writeFile("img/icon.png", "old");
  writeFile("notadir", "file");

  std::string outExt = "unset";
  EXPECT_FALSE(copyFileAs("pics/logo.png", "img", outExt, false, "icon", ""));
  EXPECT_EQ(outExt, ".png") << "the extension is reported before the copy";
  EXPECT_EQ(readFile("img/icon.png"), "old");

  outExt = "unset";
  EXPECT_FALSE(copyFileAs("img/icon.png", "img", outExt, true, "icon", ""));
  EXPECT_EQ(outExt, ".png");
  EXPECT_EQ(readFile("img/icon.png"), "old") << "a copy onto itself changed the file";

  outExt = "unset";
  EXPECT_FALSE(copyFileAs("missing.png", "made", outExt, true, "icon", ""));
  EXPECT_EQ(outExt, "unset");
  EXPECT_FALSE(pathExists("made"));

  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  EXPECT_FALSE(copyFileAs("pipe", "fordevice", outExt, true, "icon", ""));
  EXPECT_EQ(outExt, "unset");
  EXPECT_TRUE(isDirectory("fordevice")) << "the destination is made before the source is looked at";

  EXPECT_FALSE(copyFileAs("pics/logo.png", "notadir", outExt, true, "icon", ""));
  EXPECT_EQ(readFile("notadir"), "file");

  // A FIFO at the target has no reader: the copy fails instead of waiting for one.
  ASSERT_EQ(mkfifo("img/fifo.png", 0600), 0);
  EXPECT_FALSE(copyFileAs("pics/logo.png", "img", outExt, true, "fifo", ""));

  // With overwrite the existing picture is replaced.
  EXPECT_TRUE(copyFileAs("pics/logo.png", "img", outExt, true, "icon", ""));
  EXPECT_EQ(readFile("img/icon.png"), "new");
}

TEST(CopyFileAs, DirectorySourceCopiesItsFilesOnlyWithoutOverwrite) {
  TempDir dir;
  ScopedChdir cd(dir.path);
  writeFile("pics/a.png", "a");
  writeFile("pics/b", "b");
  writeFile("pics/sub/c.png", "c");
  std::string outExt = "unset";

  EXPECT_TRUE(copyFileAs("pics", "img", outExt, true, "icon", "png"));
  EXPECT_FALSE(pathExists("img/pics")) << "a replacing copy of a directory copies nothing";

  EXPECT_TRUE(copyFileAs("pics", "img", outExt, false, "icon", "png"));
  EXPECT_EQ(readFile("img/pics/a.png"), "a");
  EXPECT_EQ(readFile("img/pics/b"), "b");
  EXPECT_FALSE(pathExists("img/pics/sub"));
  EXPECT_EQ(outExt, "unset");

  EXPECT_FALSE(copyFileAs("pics", "img", outExt, false, "", "")) << "target exists now";
}

TEST(TextFiles, ReadAndWriteMoveBytesUnchanged) {
  TempDir dir;
  ScopedChdir cd(dir.path);
  EXPECT_EQ(readTextFile("missing"), "");
  writeFile("empty", "");
  EXPECT_EQ(readTextFile("empty"), "");
  writeFile("nul", std::string("ab\0cd", 5));
  EXPECT_EQ(readTextFile("nul"), "ab");
  writeFile("crlf", "a\r\nb");
  EXPECT_EQ(readTextFile("crlf"), "a\r\nb");
  makeDirs("directory");
  EXPECT_EQ(readTextFile("directory"), "");

  EXPECT_TRUE(writeTextFile("nodir/file", "x")) << "true means failure";
  EXPECT_FALSE(pathExists("nodir"));
  writeFile("existing", "a much longer old content");
  EXPECT_FALSE(writeTextFile("existing", std::string("n\0w", 3)));
  EXPECT_EQ(readFile("existing"), std::string("n\0w", 3));
  // It opens, but the flush of the close fails: a failure too.
  EXPECT_TRUE(writeTextFile("/dev/full", "x"));
}

TEST(OpenRegularFile, OnlyRegularFilesAndNeverBlocks) {
  TempDir dir;
  ScopedChdir cd(dir.path);
  writeFile("file", "bytes");
  makeDirs("directory");
  ASSERT_EQ(mkfifo("fifo", 0600), 0);
  struct {
    const char* path;
    int flags;
    bool opens;
  } cases[] = {
      {"fifo", O_RDONLY, false},      {"fifo", O_WRONLY, false},    {"directory", O_RDONLY, false},
      {"/dev/null", O_WRONLY, false}, {"missing", O_RDONLY, false}, {"file", O_RDONLY, true},
  };
  for (const auto& c : cases) {
    const int fd = openRegularFile(c.path, c.flags);
    EXPECT_EQ(fd >= 0, c.opens) << c.path;
    if (fd < 0) continue;
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << c.path << ": left non-blocking";
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << c.path;
    close(fd);
  }
}

TEST(CreateUniqueFile, NewNamesWithTheUmasksMode) {
  TempDir dir;
  ScopedChdir cd(dir.path);
  for (mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0}}) {
    const mode_t previous = umask(mask);
    std::string first, second;
    const int a = createUniqueFile("data.tmp-", first);
    const int b = createUniqueFile("data.tmp-", second);
    umask(previous);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    close(a);
    close(b);
    EXPECT_NE(first, second);
    EXPECT_EQ(first.rfind("data.tmp-", 0), 0u) << first;
    EXPECT_EQ(first.size(), std::string("data.tmp-").size() + 6) << first;
    struct stat st;
    ASSERT_EQ(stat(first.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << "umask " << mask;
  }
  std::string none;
  EXPECT_LT(createUniqueFile("missing/dir/x-", none), 0);
  EXPECT_EQ(none, "");
}

TEST(TextFiles, BufferHoldsAtMostItsSizeLessOne) {
  TempDir dir;
  ScopedChdir cd(dir.path);
  std::string big(1200000, 'q');
  big[999998] = 'e';
  big[999999] = 'X';
  writeFile("big", big);
  char* buffer = readFileToBuffer("big");
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(std::string(buffer), big.substr(0, 999999));
  free(buffer);

  buffer = readFileToBuffer("missing");
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(buffer[0], '\0');
  free(buffer);
}

TEST(FileDescriptor, ClosesOnceWhereverItEnds) {
  auto isOpen = [](int fd) { return fcntl(fd, F_GETFD) != -1; };
  const int first = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(first, 0);
  {
    FileDescriptor held(first);
    FileDescriptor moved(std::move(held));
    EXPECT_FALSE(held.valid());
    EXPECT_EQ(moved.get(), first);
    EXPECT_TRUE(isOpen(first));
  }
  EXPECT_FALSE(isOpen(first)) << "not closed when its holder went";

  FileDescriptor assigned(open("/dev/null", O_RDONLY | O_CLOEXEC));
  const int replaced = assigned.get();
  assigned = FileDescriptor(open("/dev/null", O_RDONLY | O_CLOEXEC));
  EXPECT_FALSE(isOpen(replaced)) << "an assignment kept the old descriptor open";
  const int kept = assigned.release();
  EXPECT_EQ(assigned.close(), 0) << "closing an empty holder";
  EXPECT_TRUE(isOpen(kept));
  FileDescriptor last(kept);
  EXPECT_EQ(last.close(), 0);
  EXPECT_FALSE(isOpen(kept));
}
