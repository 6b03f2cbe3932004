// news_images_test.cpp -- the images of postnews: numbering, keeping and
// removal.
#include "api/news_images.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "storage/database.h"
#include "storage/json_tree.h"
#include "tests/support/test_support.h"

namespace {

using testsupport::pathExists;
using testsupport::readFile;
using testsupport::ScopedChdir;
using testsupport::TempDir;
using testsupport::writeFile;

// 2024-05-17 12:00:00 UTC.
constexpr std::time_t kNow = 1715947200;
const std::string kDir = "uploads/img/2024/5/17/12/";

class NewsImagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    testsupport::writeFile(dir.file("uploads/img/.keep"), "");
    testsupport::writeFile(dir.file("uploads/avatar/.keep"), "");
  }
  TempDir dir;
  ScopedChdir chdir{dir.path};
};

// The parts view their arguments, which must outlive them.
FormPart text(std::string_view name, std::string_view data) { return FormPart{name, data, "", ""}; }
FormPart image(std::string_view filename, std::string_view data) {
  return FormPart{"img", data, filename, ""};
}

std::string stored(int number, std::time_t now = kNow) {
  return kDir + std::to_string(number) + std::to_string(now) + ".webp";
}

JsonTree list(const std::vector<std::string>& entries) {
  JsonTree array(cJSON_CreateArray());
  for (const std::string& e : entries)
    cJSON_AddItemToArray(array.get(), cJSON_CreateString(e.c_str()));
  return array;
}

// What one postnews request stores, as the action runs it: the plan and its
// names under the lock, the files without it, the commit's view of the old
// images. The held names go when it returns.
struct Stored {
  bool ok = false;
  std::vector<std::string> images;   // the new list
  std::vector<std::string> removed;  // the old images it stops naming
};

Stored store(int start, int partCount, const std::vector<FormPart>& parts, const cJSON* old,
             int newsId = 12) {
  Stored result;
  HeldUploadNames names;
  NewsImagePlan plan = planNewsImages(start, partCount, newsId, parts, kNow);
  {
    DatabaseLock lock(databaseMutex);
    if (!holdNewsImageNames(plan, old, names)) return result;
  }
  if (!writeNewsImages(plan, parts)) return result;
  result.ok = moveReplacingImages(plan);
  result.images = plan.images;
  result.removed = oldImagesToRemove(plan, old);
  return result;
}

TEST_F(NewsImagesTest, NewItemStoresNumberedPartsInOrder) {
  const std::string bytes0("\x00\x01 \r\n", 5);
  std::vector<FormPart> parts = {text("uid", "1"), text("sid", "s"), image("0", bytes0),
                                 image("1", "one\t"), image("2", "two")};
  Stored s = store(2, 5, parts, nullptr);
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.images, (std::vector<std::string>{stored(0), stored(1), stored(2)}));
  EXPECT_EQ(readFile(stored(0)), bytes0);
  EXPECT_EQ(readFile(stored(1)), "one\t");
  EXPECT_TRUE(s.removed.empty());
}

TEST_F(NewsImagesTest, NumberRuleDropsParts) {
  struct {
    const char* desc;
    std::vector<FormPart> parts;
    std::vector<std::string> expected;
  } cases[] = {
      {"1 then 0", {image("1", "a"), image("0", "b")}, {stored(1)}},
      {"leading zero and sign", {image("01", "a"), image("-1", "b")}, {}},
      {"number not below the part count", {image("2", "a"), image("0", "b")}, {stored(0)}},
      {"empty file field", {image("", "")}, {""}},
      {"unnamed data", {image("", "x")}, {}},
      {"same number twice", {image("0", "a"), image("0", "b")}, {stored(0), stored(0)}},
      {"empty part named k is stored", {image("0", "")}, {stored(0)}},
  };
  for (const auto& c : cases) {
    Stored s = store(0, static_cast<int>(c.parts.size()), c.parts, nullptr);
    ASSERT_TRUE(s.ok) << c.desc;
    EXPECT_EQ(s.images, c.expected) << c.desc;
    if (std::string(c.desc) == "same number twice") {
      EXPECT_EQ(readFile(stored(0)), "b") << "the later part's bytes stay";
    }
  }
  EXPECT_EQ(readFile(stored(0)), "");  // the last case stored an empty file
}

// The old images a request no longer names are listed for removal (after
// the next save); nothing is removed here.
TEST_F(NewsImagesTest, EditKeepsNamedImagesAndListsTheRestForRemoval) {
  const std::string old1 = "uploads/img/2023/1/2/12/01000.webp";
  const std::string old2 = "uploads/img/2023/1/3/12/11000.webp";
  const std::string old3 = "uploads/img/2023/2/9/12/21000.webp";
  for (const std::string& p : {old1, old2, old3}) writeFile(p, "old");
  JsonTree old = list({old1, old2, old3, old1});
  // Old image two named URL-encoded, then a new image 0.
  std::vector<FormPart> parts = {
      text("uid", "1"), image("uploads%2Fimg/2023/1/3/12/11000.webp", ""), image("0", "new")};
  Stored s = store(1, 3, parts, old.get());
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.images, (std::vector<std::string>{old2, stored(0)}));
  EXPECT_EQ(s.removed, (std::vector<std::string>{old1, old3}));
  for (const std::string& p : {old1, old2, old3}) EXPECT_EQ(readFile(p), "old") << p;
}

TEST_F(NewsImagesTest, EditWithAsManyPartsAsOldImagesRemovesNothing) {
  const std::string old1 = "uploads/img/2023/1/2/12/01000.webp";
  const std::string old2 = "uploads/img/2023/1/2/12/11000.webp";
  JsonTree old = list({old1, old2});
  std::vector<FormPart> parts = {image("0", "x"), image("1", "y")};
  Stored s = store(0, 2, parts, old.get());
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.images, (std::vector<std::string>{stored(0), stored(1)}));
  EXPECT_TRUE(s.removed.empty());
}

// A part whose content is only blanks, tabs, CR and LF is a part without
// data: it keeps the old image its file name names, and stores an empty file
// only where a part without data would. Bytes given by a part's own
// Content-Length are data.
TEST_F(NewsImagesTest, BlankImagePartsCountAsPartsWithoutData) {
  const std::string old1 = "uploads/img/2023/1/2/12/01000.webp";
  const std::string old2 = "uploads/img/2023/1/2/12/11000.webp";
  writeFile(old1, "a");
  writeFile(old2, "b");
  JsonTree old = list({old1, old2});
  FormPart counted = image("1", " \t");
  counted.dataCutByLength = true;
  std::vector<FormPart> parts = {image("0", " \r\n"),
                                 image("uploads%2Fimg/2023/1/2/12/01000.webp", " \r\n"),
                                 image(old2, "\t"), counted};
  Stored s = store(0, 4, parts, old.get());
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.images, (std::vector<std::string>{stored(0), old1, old2, stored(1)}));
  EXPECT_EQ(readFile(stored(0)), "");
  EXPECT_EQ(readFile(stored(1)), " \t");
  EXPECT_EQ(readFile(old1), "a");
  EXPECT_EQ(readFile(old2), "b");
}

TEST_F(NewsImagesTest, EditWithoutImagePartsListsEveryOldImage) {
  const std::string old1 = "uploads/img/2023/1/2/12/01000.webp";
  const std::string old2 = "uploads/img/2023/1/2/12/11000.webp";
  JsonTree old = list({old1, old2});
  std::vector<FormPart> parts = {text("uid", "1")};
  Stored s = store(1, 1, parts, old.get());
  ASSERT_TRUE(s.ok);
  EXPECT_TRUE(s.images.empty());
  EXPECT_EQ(s.removed, (std::vector<std::string>{old1, old2}));

  Stored none = store(1, 1, parts, nullptr);
  ASSERT_TRUE(none.ok);
  EXPECT_TRUE(none.images.empty());
  EXPECT_TRUE(none.removed.empty());
}

// An image that cannot be stored undoes the request: the new files it wrote
// go (with the directories they made), the old images stay.
TEST_F(NewsImagesTest, FailedFileLeavesTheOldImagesAndNothingNew) {
  const std::string old1 = "uploads/img/2023/1/2/12/01000.webp";
  writeFile(old1, "a");
  JsonTree old = list({old1, "uploads/img/x", "uploads/img/y"});
  struct {
    const char* desc;
    std::string blocker;  // a plain file here makes the second image fail
  } cases[] = {
      {"a directory at the second image's path", stored(1) + "/blocker"},
      {"a plain file where its dated directory goes", "uploads/img/2024"},
  };
  for (const auto& c : cases) {
    writeFile(c.blocker, "");
    std::vector<FormPart> parts = {image("0", "x"), image("1", "y")};
    EXPECT_FALSE(store(0, 2, parts, old.get()).ok) << c.desc;
    EXPECT_FALSE(pathExists(stored(0))) << c.desc;
    EXPECT_EQ(readFile(old1), "a") << c.desc;
    EXPECT_EQ(testsupport::storedFiles(".", "uploads/img/2024").size(),
              std::string(c.desc).find("directory at") != std::string::npos ? 1u : 0u)
        << c.desc << ": only the blocker may stay";
    testsupport::runCommand("rm -rf uploads/img/2024");
  }
}

// A new image at the path of an old one (an edit in the same second)
// replaces it in place, but only once the request has committed: until
// then the old file stays as it is.
TEST_F(NewsImagesTest, ImageReplacedAtItsOwnPathMovesInAfterTheCommit) {
  writeFile(stored(0), "old 0");
  writeFile(stored(1), "old 1");
  JsonTree old = list({stored(0), stored(1)});
  std::vector<FormPart> parts = {image("0", "new 0")};
  HeldUploadNames names;
  NewsImagePlan plan = planNewsImages(0, 1, 12, parts, kNow);
  {
    DatabaseLock lock(databaseMutex);
    ASSERT_TRUE(holdNewsImageNames(plan, old.get(), names));
  }
  ASSERT_TRUE(writeNewsImages(plan, parts));
  EXPECT_EQ(readFile(stored(0)), "old 0") << "replaced before the commit";
  EXPECT_EQ(oldImagesToRemove(plan, old.get()), std::vector<std::string>{stored(1)});
  ASSERT_TRUE(moveReplacingImages(plan));
  EXPECT_EQ(readFile(stored(0)), "new 0");

  // A request that does not commit leaves the kept file and nothing else.
  std::vector<FormPart> again = {image("0", "newer"), image("1", "one")};
  NewsImagePlan failed = planNewsImages(0, 2, 12, again, kNow);
  JsonTree current = list({stored(0)});
  {
    DatabaseLock lock(databaseMutex);
    names.releaseLocked();
    ASSERT_TRUE(holdNewsImageNames(failed, current.get(), names));
  }
  ASSERT_TRUE(writeNewsImages(failed, again));
  EXPECT_EQ(readFile(stored(1)), "one");  // not named before: in place at once
  discardNewsImages(failed);
  EXPECT_EQ(readFile(stored(0)), "new 0");
  EXPECT_FALSE(pathExists(stored(1)));
  EXPECT_EQ(testsupport::storedFiles(".", "uploads/img/2024").size(), 1u)
      << "a temporary file stayed";
}

// Two requests may not write one path at once: the second is refused while
// the first holds it, and may go once it has let go.
TEST_F(NewsImagesTest, OnePathIsWrittenByOneRequestAtATime) {
  std::vector<FormPart> parts = {image("0", "a")};
  HeldUploadNames first;
  HeldUploadNames second;
  NewsImagePlan a = planNewsImages(0, 1, 12, parts, kNow);
  NewsImagePlan b = planNewsImages(0, 1, 12, parts, kNow);
  NewsImagePlan other = planNewsImages(0, 1, 13, parts, kNow);
  DatabaseLock lock(databaseMutex);
  ASSERT_TRUE(holdNewsImageNames(a, nullptr, first));
  EXPECT_FALSE(holdNewsImageNames(b, nullptr, second));
  EXPECT_TRUE(holdNewsImageNames(other, nullptr, second)) << "another item's path";
  first.releaseLocked();
  EXPECT_TRUE(holdNewsImageNames(b, nullptr, second));
  second.releaseLocked();
}

TEST_F(NewsImagesTest, NothingOutsideTheUploadDirectoriesIsKeptOrRemoved) {
  writeFile("keep.txt", "precious");
  writeFile("uploads/other/2024/1.webp", "x");
  JsonTree old = list({"keep.txt", "uploads/img/../../keep.txt", "uploads/other/2024/1.webp",
                       "/etc/hostname", "uploads/img//2024/1.webp"});
  std::vector<FormPart> parts = {image("..%2Fkeep.txt", ""), image("uploads/img/./a.webp", ""),
                                 image("uploads/img/a%00b", ""),
                                 image("uploads/img/2024/1/2/3/ok.webp", "")};
  Stored s = store(0, 4, parts, old.get());
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(s.images, (std::vector<std::string>{"uploads/img/2024/1/2/3/ok.webp"}));
  {
    // Only removable paths are queued for removal after a save.
    DatabaseLock lock(databaseMutex);
    for (const std::string& path : s.removed) {
      deferUploadRemoval(path, EmptiedDirectories::kRemovedWithFile);
      EXPECT_FALSE(removalPending(path)) << path;
    }
    deferUploadRemoval("uploads/img/2024/1/2/3/0.webp", EmptiedDirectories::kRemovedWithFile);
    EXPECT_TRUE(removalPending("uploads/img/2024/1/2/3/0.webp"));
    forgetDeferredRemovals();
  }
  EXPECT_EQ(readFile("keep.txt"), "precious");
  EXPECT_TRUE(pathExists("uploads/other/2024/1.webp"));

  struct {
    const char* path;
    bool removable;
  } cases[] = {
      {"uploads/img/2024/1/2/3/0.webp", true},
      {"uploads/avatar/2024/1/2/31.webp", true},
      {"uploads/img/", false},
      {"uploads/img/../x", false},
      {"uploads/img/./x", false},
      {"uploads/avatar//x", false},
      {"/uploads/img/x", false},
      {"uploads/imgx/1", false},
      {"uploads/other/1", false},
      {"keep.txt", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isRemovableUploadPath(c.path), c.removable) << c.path;
  EXPECT_FALSE(isRemovableUploadPath(std::string("uploads/img/a\0/../../keep.txt", 29)));
  EXPECT_FALSE(isStoredNewsImagePath("uploads/avatar/2024/1/2/31.webp"));
}

}  // namespace
