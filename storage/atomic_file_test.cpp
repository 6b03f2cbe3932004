// atomic_file_test.cpp -- the atomic replacement of a file and the clean-up
// of the temporary files left behind.
#include "storage/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/test_support.h"

using testsupport::directoryEntries;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

TEST(DatabaseSave, StaleSaveFilesAreRemoved) {
  TempDir dir;
  std::string path = dir.file("index.ndb");
  writeFile(path, "keep");
  writeFile(dir.file("index.ndb.tmp-Ab12Cd"), "stale");
  writeFile(dir.file("index.ndb.tmp-"), "stale");
  writeFile(dir.file("other.tmp-Ab12Cd"), "keep");
  writeFile(dir.file("index.ndb.bak"), "keep");
  removeStaleSaveFiles(path);
  std::vector<std::string> left = directoryEntries(dir.path);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"index.ndb", "index.ndb.bak", "other.tmp-Ab12Cd"}));
  removeStaleSaveFiles(dir.file("missing/index.ndb"));  // no directory: nothing happens
}

// A new file gets what the umask leaves of 0666 (it holds every session id,
// so an operator's strict umask must hold); a replaced file keeps its mode.
TEST(DatabaseSave, NewFileFollowsTheUmaskAndAReplacedOneKeepsItsMode) {
  struct {
    mode_t umask;
    int existingMode;  // -1: no file before the save
    mode_t expected;
  } cases[] = {
      {022, -1, 0644}, {077, -1, 0600}, {027, -1, 0640}, {022, 0600, 0600}, {077, 0664, 0664},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string path = dir.file("index.ndb");
    if (c.existingMode >= 0) {
      writeFile(path, "old");
      ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(c.existingMode)), 0);
    }
    const mode_t previous = umask(c.umask);
    std::string error;
    const bool written = writeFileAtomically(path, "new", error);
    umask(previous);
    ASSERT_TRUE(written) << error;
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.expected)
        << "umask " << c.umask << ", existing mode " << c.existingMode;
  }
}

// A symbolic link in the file's place stays a link: the file it leads to is
// replaced, with its temporary file beside it, and stale ones are found there.
TEST(DatabaseSave, SymbolicLinkStaysAndItsTargetIsSaved) {
  struct {
    const char* desc;
    std::vector<std::pair<std::string, std::string>> links;  // link name, its target
    std::string target;                                      // the file finally written
  } cases[] = {
      {"relative link", {{"data/index.ndb", "../store/db.ndb"}}, "store/db.ndb"},
      {"absolute link", {{"data/index.ndb", "<dir>/store/db.ndb"}}, "store/db.ndb"},
      {"chain of two links",
       {{"data/index.ndb", "chain.ndb"}, {"data/chain.ndb", "../store/db.ndb"}},
       "store/db.ndb"},
      {"link to a file not there yet", {{"data/index.ndb", "../store/new.ndb"}}, "store/new.ndb"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    writeFile(dir.file("store/db.ndb"), "old");
    for (const auto& [name, target] : c.links) {
      std::string to = target;
      if (to.rfind("<dir>", 0) == 0) to = dir.path + to.substr(5);
      testsupport::runCommand("mkdir -p '" + dir.file("data") + "'");
      ASSERT_EQ(symlink(to.c_str(), dir.file(name).c_str()), 0) << c.desc;
    }
    // A save of db.ndb killed earlier left this; only its own saves' files go.
    writeFile(dir.file("store/db.ndb.tmp-Stale1"), "stale");
    removeStaleSaveFiles(dir.file("data/index.ndb"));
    std::string error;
    ASSERT_TRUE(writeFileAtomically(dir.file("data/index.ndb"), "new", error)) << c.desc << error;
    struct stat st;
    ASSERT_EQ(lstat(dir.file("data/index.ndb").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << c.desc << ": the link was replaced";
    EXPECT_EQ(readFile(dir.file(c.target)), "new") << c.desc;
    EXPECT_EQ(readFile(dir.file("data/index.ndb")), "new") << c.desc;
    std::vector<std::string> store = directoryEntries(dir.file("store"));
    EXPECT_EQ(std::count_if(store.begin(), store.end(),
                            [](const std::string& n) { return n.find(".tmp-") != n.npos; }),
              c.target == "store/db.ndb" ? 0 : 1)
        << c.desc << ": a temporary file left, or a stale one of another file removed";
  }
}
