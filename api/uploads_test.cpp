// uploads_test.cpp -- dated upload paths and the clean-up of emptied upload
// directories.
#include "api/uploads.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "tests/support/test_support.h"

namespace {

using testsupport::pathExists;
using testsupport::ScopedChdir;
using testsupport::TempDir;
using testsupport::writeFile;

// 2024-05-17 12:00:00 UTC.
constexpr std::time_t kNow = 1715947200;

// Local time is UTC, in a working directory of its own.
class UploadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
  TempDir dir;
  ScopedChdir chdir{dir.path};
};

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
  EXPECT_EQ(newsImageDirectory(d, 12), "uploads/img/2024/5/17/12/");
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
