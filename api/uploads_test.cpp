// uploads_test.cpp -- dated upload paths, saveNewsImages numbering, keeping
// and removal, and the clean-up of emptied upload directories.
#include "api/uploads.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using testsupport::pathExists;
using testsupport::readFile;
using testsupport::ScopedChdir;
using testsupport::TempDir;
using testsupport::writeFile;
using Tree = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

// 2024-05-17 12:00:00 UTC.
constexpr std::time_t kNow = 1715947200;
const std::string kDir = "uploads/img/2024/5/17/12/";

class UploadsTest : public ::testing::Test {
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

std::vector<std::string> paths(const cJSON* list) {
  std::vector<std::string> out;
  const cJSON* item = nullptr;
  cJSON_ArrayForEach(item, list) out.push_back(item->valuestring);
  return out;
}

std::string stored(int number, std::time_t now = kNow) {
  return kDir + std::to_string(number) + std::to_string(now) + ".webp";
}

Tree list(const std::vector<std::string>& entries) {
  Tree array(cJSON_CreateArray(), &cJSON_Delete);
  for (const std::string& e : entries)
    cJSON_AddItemToArray(array.get(), cJSON_CreateString(e.c_str()));
  return array;
}

TEST_F(UploadsTest, DatePartsInLocalTime) {
  DateParts d = toDateParts(kNow);
  EXPECT_EQ(d.year, 2024);
  EXPECT_EQ(d.month, 5);
  EXPECT_EQ(d.day, 17);
  EXPECT_EQ(d.hour, 12);
  EXPECT_EQ(d.minute, 0);
  EXPECT_EQ(d.second, 0);
  EXPECT_EQ(fromDateParts(d), kNow);
  DateParts carried{2024, 13, 1, 0, 0, 0};  // month 13 carries into the next year
  EXPECT_EQ(fromDateParts(carried), fromDateParts(DateParts{2025, 1, 1, 0, 0, 0}));
  EXPECT_EQ(avatarDirectory(d), "uploads/avatar/2024/5/17/");
  EXPECT_EQ(newsImageDirectory(d, 12), kDir);
}

TEST_F(UploadsTest, NewItemStoresNumberedPartsInOrder) {
  const std::string bytes0("\x00\x01 \r\n", 5);
  std::vector<FormPart> parts = {text("uid", "1"), text("sid", "s"), image("0", bytes0),
                                 image("1", "one\t"), image("2", "two")};
  Tree images(saveNewsImages(2, 5, 12, parts, kNow, nullptr), &cJSON_Delete);
  ASSERT_TRUE(images);
  EXPECT_EQ(paths(images.get()), (std::vector<std::string>{stored(0), stored(1), stored(2)}));
  EXPECT_EQ(readFile(stored(0)), bytes0);
  EXPECT_EQ(readFile(stored(1)), "one\t");
}

TEST_F(UploadsTest, NumberRuleDropsParts) {
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
    Tree images(saveNewsImages(0, static_cast<int>(c.parts.size()), 12, c.parts, kNow, nullptr),
                &cJSON_Delete);
    ASSERT_TRUE(images) << c.desc;
    EXPECT_EQ(paths(images.get()), c.expected) << c.desc;
  }
  EXPECT_EQ(readFile(stored(0)), "");  // the last case stored an empty file
}

TEST_F(UploadsTest, EditKeepsNamedImagesAndRemovesTheRest) {
  const std::string old1 = "uploads/img/2023/1/2/12/01000.webp";
  const std::string old2 = "uploads/img/2023/1/3/12/11000.webp";
  const std::string old3 = "uploads/img/2023/2/9/12/21000.webp";
  for (const std::string& p : {old1, old2, old3}) writeFile(p, "old");
  writeFile("uploads/img/2023/2/other.txt", "x");
  Tree old = list({old1, old2, old3});
  // Old image two named URL-encoded, then a new image 0.
  std::vector<FormPart> parts = {
      text("uid", "1"), image("uploads%2Fimg/2023/1/3/12/11000.webp", ""), image("0", "new")};
  Tree images(saveNewsImages(1, 3, 12, parts, kNow, old.get()), &cJSON_Delete);
  ASSERT_TRUE(images);
  EXPECT_EQ(paths(images.get()), (std::vector<std::string>{old2, stored(0)}));
  EXPECT_FALSE(pathExists(old1));
  EXPECT_FALSE(pathExists(old3));
  EXPECT_TRUE(pathExists(old2));
  EXPECT_FALSE(pathExists("uploads/img/2023/1/2"));  // emptied day directory removed
  EXPECT_TRUE(pathExists("uploads/img/2023/1/3/12"));
  EXPECT_FALSE(pathExists("uploads/img/2023/2/9"));
  EXPECT_TRUE(pathExists("uploads/img/2023/2/other.txt"));
}

TEST_F(UploadsTest, EditWithAsManyPartsAsOldImagesRemovesNothing) {
  const std::string old1 = "uploads/img/2023/1/2/12/01000.webp";
  const std::string old2 = "uploads/img/2023/1/2/12/11000.webp";
  writeFile(old1, "a");
  writeFile(old2, "b");
  Tree old = list({old1, old2});
  std::vector<FormPart> parts = {image("0", "x"), image("1", "y")};
  Tree images(saveNewsImages(0, 2, 12, parts, kNow, old.get()), &cJSON_Delete);
  ASSERT_TRUE(images);
  EXPECT_EQ(paths(images.get()), (std::vector<std::string>{stored(0), stored(1)}));
  EXPECT_TRUE(pathExists(old1));
  EXPECT_TRUE(pathExists(old2));
}

// A part whose content is only blanks, tabs, CR and LF is a part without
// data: it keeps the old image its file name names, and stores an empty file
// only where a part without data would. Bytes given by a part's own
// Content-Length are data.
TEST_F(UploadsTest, BlankImagePartsCountAsPartsWithoutData) {
  const std::string old1 = "uploads/img/2023/1/2/12/01000.webp";
  const std::string old2 = "uploads/img/2023/1/2/12/11000.webp";
  writeFile(old1, "a");
  writeFile(old2, "b");
  Tree old = list({old1, old2});
  FormPart counted = image("1", " \t");
  counted.dataCutByLength = true;
  std::vector<FormPart> parts = {image("0", " \r\n"),
                                 image("uploads%2Fimg/2023/1/2/12/01000.webp", " \r\n"),
                                 image(old2, "\t"), counted};
  Tree images(saveNewsImages(0, 4, 12, parts, kNow, old.get()), &cJSON_Delete);
  ASSERT_TRUE(images);
  EXPECT_EQ(paths(images.get()), (std::vector<std::string>{stored(0), old1, old2, stored(1)}));
  EXPECT_EQ(readFile(stored(0)), "");
  EXPECT_EQ(readFile(stored(1)), " \t");
  EXPECT_EQ(readFile(old1), "a");
  EXPECT_EQ(readFile(old2), "b");
}

TEST_F(UploadsTest, EditWithoutImagePartsRemovesAllAndTheirDirectories) {
  const std::string old1 = "uploads/img/2023/1/2/12/01000.webp";
  const std::string old2 = "uploads/img/2023/1/2/12/11000.webp";
  writeFile(old1, "a");
  writeFile(old2, "b");
  Tree old = list({old1, old2});
  std::vector<FormPart> parts = {text("uid", "1")};
  Tree images(saveNewsImages(1, 1, 12, parts, kNow, old.get()), &cJSON_Delete);
  ASSERT_TRUE(images);
  EXPECT_EQ(cJSON_GetArraySize(images.get()), 0);
  EXPECT_FALSE(pathExists("uploads/img/2023"));
  EXPECT_TRUE(pathExists("uploads/img"));

  Tree none(saveNewsImages(1, 1, 12, parts, kNow, nullptr), &cJSON_Delete);
  ASSERT_TRUE(none);
  EXPECT_EQ(cJSON_GetArraySize(none.get()), 0);
}

// An image that cannot be stored undoes the call: the new files it wrote
// go (with the directories they made), the old images stay.
TEST_F(UploadsTest, FailedFileLeavesTheOldImagesAndNothingNew) {
  const std::string old1 = "uploads/img/2023/1/2/12/01000.webp";
  writeFile(old1, "a");
  Tree old = list({old1, "uploads/img/x", "uploads/img/y"});
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
    Tree images(saveNewsImages(0, 2, 12, parts, kNow, old.get()), &cJSON_Delete);
    EXPECT_FALSE(images) << c.desc;
    EXPECT_FALSE(pathExists(stored(0))) << c.desc;
    EXPECT_EQ(readFile(old1), "a") << c.desc;
    EXPECT_EQ(testsupport::storedFiles(".", "uploads/img/2024").size(),
              std::string(c.desc).find("directory at") != std::string::npos ? 1u : 0u)
        << c.desc << ": only the blocker may stay";
    testsupport::runCommand("rm -rf uploads/img/2024");
  }
}

// A new image stored at the path of an old one (an edit in the same second)
// replaces it in place: the removal of old images spares that path.
TEST_F(UploadsTest, ImageReplacedAtItsOwnPathStays) {
  writeFile(stored(0), "old 0");
  writeFile(stored(1), "old 1");
  Tree old = list({stored(0), stored(1)});
  std::vector<FormPart> parts = {image("0", "new 0")};
  Tree images(saveNewsImages(0, 1, 12, parts, kNow, old.get()), &cJSON_Delete);
  ASSERT_TRUE(images);
  EXPECT_EQ(paths(images.get()), (std::vector<std::string>{stored(0)}));
  EXPECT_EQ(readFile(stored(0)), "new 0");
  EXPECT_FALSE(pathExists(stored(1)));
}

TEST_F(UploadsTest, NothingOutsideTheUploadDirectoriesIsKeptOrRemoved) {
  writeFile("keep.txt", "precious");
  writeFile("uploads/other/2024/1.webp", "x");
  Tree old = list({"keep.txt", "uploads/img/../../keep.txt", "uploads/other/2024/1.webp",
                   "/etc/hostname", "uploads/img//2024/1.webp"});
  std::vector<FormPart> parts = {image("..%2Fkeep.txt", ""), image("uploads/img/./a.webp", ""),
                                 image("uploads/img/a%00b", ""),
                                 image("uploads/img/2024/1/2/3/ok.webp", "")};
  Tree images(saveNewsImages(0, 4, 12, parts, kNow, old.get()), &cJSON_Delete);
  ASSERT_TRUE(images);
  EXPECT_EQ(paths(images.get()), (std::vector<std::string>{"uploads/img/2024/1/2/3/ok.webp"}));
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

TEST_F(UploadsTest, RemovingTheLastAvatarCleansItsDateButNotTheRoot) {
  const std::string avatar = "uploads/avatar/2024/5/17/31715947200.webp";
  writeFile(avatar, "a");
  EXPECT_TRUE(removeUploadFile(avatar));
  removeUploadDirectories(avatar);
  EXPECT_FALSE(pathExists("uploads/avatar/2024"));
  EXPECT_TRUE(pathExists("uploads/avatar"));
  EXPECT_FALSE(removeUploadFile(avatar));  // already gone
}

}  // namespace
