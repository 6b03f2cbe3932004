// deferred_removals_test.cpp -- queued file removals wait for a save taken
// after them, skip names that requests hold or name again, keep one entry a
// file, and treat emptied directories as each entry says.
#include "storage/deferred_removals.h"

#include <gtest/gtest.h>

#include <string>

#include "storage/database.h"
#include "storage/database_file.h"
#include "storage/record_changes.h"
#include "tests/support/database_fixture.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::pathExists;
using testsupport::writeFile;

const std::string kFile = "up/2024/5/17/1.webp";

FileRemoval removal(const std::string& path, EmptiedDirectories directories) {
  return {path, "up/2024/5/17", "up", directories};
}

class DeferredRemovals : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile("up/.keep", "");
    writeFile(kFile, "x");
  }

  // Queues r and returns the change count that a save must reach.
  std::uint64_t queue(const FileRemoval& r) {
    DatabaseLock lock(databaseMutex);
    deferRemoval(r);
    return databaseChangeCount();
  }
  std::size_t pending() {
    DatabaseLock lock(databaseMutex);
    return pendingRemovalCount();
  }

  testsupport::TempDir dir;
  testsupport::ScopedChdir chdir{dir.path};
  testsupport::TestDatabase database{emptyDatabaseText()};
};

TEST_F(DeferredRemovals, WaitForASaveTakenAfterThem) {
  const std::uint64_t queued = queue(removal(kFile, EmptiedDirectories::kRemoved));
  removeSavedAwayFiles(queued - 1);  // a save whose snapshot came before
  EXPECT_TRUE(pathExists(kFile));
  EXPECT_EQ(pending(), 1u);
  removeSavedAwayFiles(queued);
  EXPECT_FALSE(pathExists(kFile));
  EXPECT_FALSE(pathExists("up/2024")) << "the emptied dated directories stay";
  EXPECT_TRUE(pathExists("up"));
  EXPECT_EQ(pending(), 0u);
}

TEST_F(DeferredRemovals, EmptiedDirectoriesAsEachEntrySays) {
  struct {
    const char* desc;
    EmptiedDirectories directories;
    bool fileThere;
    bool directoriesGo;
  } cases[] = {
      {"kept", EmptiedDirectories::kKept, true, false},
      {"with the file, file there", EmptiedDirectories::kRemovedWithFile, true, true},
      {"with the file, file gone already", EmptiedDirectories::kRemovedWithFile, false, false},
      {"always, file gone already", EmptiedDirectories::kRemoved, false, true},
      {"always, file there", EmptiedDirectories::kRemoved, true, true},
  };
  for (const auto& c : cases) {
    testsupport::runCommand("mkdir -p up/2024/5/17");
    if (c.fileThere) writeFile(kFile, "x");
    removeSavedAwayFiles(queue(removal(kFile, c.directories)));
    EXPECT_FALSE(pathExists(kFile)) << c.desc;
    EXPECT_EQ(pathExists("up/2024"), !c.directoriesGo) << c.desc;
  }
}

TEST_F(DeferredRemovals, NamedAgainOrHeldFilesStay) {
  // Named again by a change: dropped for good.
  std::uint64_t saved = queue(removal(kFile, EmptiedDirectories::kRemoved));
  {
    DatabaseLock lock(databaseMutex);
    keepFile(kFile);
  }
  removeSavedAwayFiles(saved);
  EXPECT_TRUE(pathExists(kFile));
  EXPECT_EQ(pending(), 0u);

  // Held by a request: it waits until the hold ends.
  struct {
    const char* desc;
    void (*hold)(const std::string&);
    void (*release)(const std::string&);
  } holds[] = {
      {"held for writing", [](const std::string& p) { ASSERT_TRUE(holdForWriting(p)); },
       [](const std::string& p) { releaseWritingHold(p); }},
      {"held for keeping", [](const std::string& p) { holdForKeeping(p); },
       [](const std::string& p) { releaseKeepingHold(p); }},
  };
  for (const auto& h : holds) {
    writeFile(kFile, "x");
    {
      DatabaseLock lock(databaseMutex);
      h.hold(kFile);
    }
    saved = queue(removal(kFile, EmptiedDirectories::kRemoved));
    removeSavedAwayFiles(saved);
    EXPECT_TRUE(pathExists(kFile)) << h.desc;
    {
      DatabaseLock lock(databaseMutex);
      h.release(kFile);
    }
    removeSavedAwayFiles(saved);
    EXPECT_FALSE(pathExists(kFile)) << h.desc;
  }
}

TEST_F(DeferredRemovals, OneEntryAFileAndOneWriterAName) {
  // Queued again and again, a file keeps one entry, which waits for the
  // last save asked for and takes the directories when any entry would.
  queue(removal(kFile, EmptiedDirectories::kRemovedWithFile));
  std::uint64_t saved = 0;
  for (int i = 0; i < 100; ++i) saved = queue(removal(kFile, EmptiedDirectories::kKept));
  EXPECT_EQ(pending(), 1u);
  removeSavedAwayFiles(saved - 1);
  EXPECT_TRUE(pathExists(kFile));
  removeSavedAwayFiles(saved);
  EXPECT_FALSE(pathExists("up/2024"));

  DatabaseLock lock(databaseMutex);
  ASSERT_TRUE(holdForWriting(kFile));
  EXPECT_FALSE(holdForWriting(kFile)) << "a second writer of one name";
  holdForKeeping(kFile);
  releaseWritingHold(kFile);
  EXPECT_TRUE(holdForWriting(kFile)) << "a keeper does not stop a writer";
  releaseWritingHold(kFile);
  releaseKeepingHold(kFile);
  releaseKeepingHold(kFile);  // not held: ignored
}

// The saves carry the removals out: a failed save leaves them queued, the
// next one that reaches its file removes them.
TEST_F(DeferredRemovals, CarriedOutBySavesThatReachTheirFile) {
  queue(removal(kFile, EmptiedDirectories::kRemoved));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(saveDatabaseNow(kDatabasePath)) << "no data/ directory: the save fails";
  testing::internal::GetCapturedStderr();
  EXPECT_TRUE(pathExists(kFile));
  testsupport::runCommand("mkdir data");
  EXPECT_TRUE(saveDatabaseNow(kDatabasePath));
  EXPECT_FALSE(pathExists(kFile));
  EXPECT_EQ(pending(), 0u);
}

}  // namespace
