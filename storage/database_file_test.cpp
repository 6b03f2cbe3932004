// database_file_test.cpp -- the load and the save of data/index.ndb.
#include "storage/database_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "storage/database.h"
#include "storage/record_changes.h"
#include "storage/zlib_codec.h"
#include "tests/support/database_fixture.h"
#include "tests/support/test_support.h"

using testsupport::directoryEntries;
using testsupport::kEmptyDatabaseText;
using testsupport::largeDatabaseText;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

std::string printedDatabase() {
  char* p = cJSON_Print(databaseRoot);
  std::string s = p;
  cJSON_free(p);
  return s;
}

}  // namespace

TEST(DatabaseFormat, EmptyDatabaseIsNineLinesAndRoundTrips) {
  std::string text = emptyDatabaseText();
  EXPECT_EQ(text, kEmptyDatabaseText);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 8);

  std::string stream = compressString(text, -1);
  ASSERT_GE(stream.size(), 6u);
  EXPECT_EQ(static_cast<unsigned char>(stream[0]), 0x78);  // zlib header, 32 KiB window
  EXPECT_EQ(decompressString(stream), text);

  ASSERT_TRUE(adoptDatabaseText(text));
  const char* keys[] = {"news_maxid",  "user_maxid", "like_maxid", "news",
                        "news_detail", "user",       "like"};
  cJSON* member = databaseRoot->child;
  for (const char* key : keys) {
    ASSERT_NE(member, nullptr);
    EXPECT_STREQ(member->string, key);
    member = member->next;
  }
  EXPECT_EQ(member, nullptr);
}

TEST(DatabaseLoad, AcceptsOnlyACompleteDatabase) {
  ASSERT_TRUE(
      adoptDatabaseText("{\"NEWS_MAXID\":4.9,\"user_maxid\":3e10,\"Like_MaxId\":-2,\"news\":[],"
                        "\"NEWS_DETAIL\":[],\"user\":[{\"id\":1}],\"like\":[]}"));
  EXPECT_EQ(news_maxid, 4);
  EXPECT_EQ(user_maxid, INT_MAX);
  EXPECT_EQ(like_maxid, -2);
  EXPECT_EQ(userArray, cJSON_GetObjectItem(databaseRoot, "user"));
  EXPECT_EQ(newsDetailArray, cJSON_GetObjectItem(databaseRoot, "news_detail"));
  cJSON* loaded = databaseRoot;

  const char* rejected[] = {
      "",
      "not json",
      "[1,2]",
      "{\"user_maxid\":0,\"like_maxid\":0,\"news\":[],\"news_detail\":[],\"user\":[],\"like\":[]}",
      "{\"news_maxid\":\"1\",\"user_maxid\":0,\"like_maxid\":0,\"news\":[],\"news_detail\":[],"
      "\"user\":[],\"like\":[]}",
      "{\"news_maxid\":0,\"user_maxid\":0,\"like_maxid\":0,\"news\":[],\"news_detail\":[],"
      "\"user\":[]}",
      "{\"news_maxid\":0,\"user_maxid\":0,\"like_maxid\":0,\"news\":{},\"news_detail\":[],"
      "\"user\":[],\"like\":[]}",
  };
  for (const char* text : rejected) {
    EXPECT_FALSE(adoptDatabaseText(text)) << text;
    EXPECT_EQ(databaseRoot, loaded) << "a refused text replaced the database: " << text;
  }
  EXPECT_TRUE(adoptDatabaseText(kEmptyDatabaseText));
}

TEST(DatabaseSave, WritesCountersAndLowerCaseKeysInPlace) {
  TempDir dir;
  std::string path = dir.file("index.ndb");
  ASSERT_TRUE(
      adoptDatabaseText("{\"NEWS_MAXID\":1,\"user_maxid\":2,\"like_maxid\":3,\"News\":[{\"id\":1}],"
                        "\"news_detail\":[{\"id\":1}],\"USER\":[],\"like\":[]}"));
  cJSON* newsNode = newsArray;
  news_maxid = 41;
  user_maxid = INT_MAX;
  ASSERT_TRUE(saveDatabaseNow(path));

  EXPECT_EQ(decompressString(readFile(path)),
            "{\n\t\"news_maxid\":\t41,\n\t\"user_maxid\":\t2147483647,\n\t\"like_maxid\":\t3,\n"
            "\t\"news\":\t[{\n\t\t\t\"id\":\t1\n\t\t}],\n\t\"news_detail\":\t[{\n\t\t\t\"id\":\t1\n"
            "\t\t}],\n\t\"user\":\t[],\n\t\"like\":\t[]\n}");
  EXPECT_EQ(newsArray, newsNode) << "the array node was replaced";
  EXPECT_EQ(directoryEntries(dir.path), std::vector<std::string>{"index.ndb"});

  // The saved file loads back to the same state.
  ASSERT_TRUE(loadDatabaseFile(path));
  EXPECT_EQ(news_maxid, 41);
  EXPECT_EQ(user_maxid, INT_MAX);
}

TEST(DatabaseSave, FailedSaveKeepsThePreviousFileAndReports) {
  TempDir dir;
  ASSERT_TRUE(adoptDatabaseText(kEmptyDatabaseText));
  std::string path = dir.file("index.ndb");
  ASSERT_TRUE(saveDatabaseNow(path));
  std::string before = readFile(path);

  struct {
    const char* desc;
    std::string path;
  } cases[] = {
      {"directory missing", dir.file("missing/index.ndb")},
      {"a non-empty directory in the file's place", dir.file("busy")},
  };
  writeFile(dir.file("busy/keep"), "x");
  news_maxid = 7;
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(saveDatabaseNow(c.path)) << c.desc;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("Database save failed: ", 0), 0u) << c.desc << ": " << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << c.desc;
  }
  EXPECT_EQ(readFile(dir.file("busy/keep")), "x");
  EXPECT_EQ(readFile(path), before);
  std::vector<std::string> left = directoryEntries(dir.path);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"busy", "index.ndb"})) << "temporary file left";

  // The next save to a good path works again.
  EXPECT_TRUE(saveDatabaseNow(path));
  EXPECT_NE(readFile(path), before);
}

TEST(DatabaseSave, ExitSaveKeepsTheDatabaseLocked) {
  TempDir dir;
  ASSERT_TRUE(adoptDatabaseText(kEmptyDatabaseText));
  like_maxid = 12;
  // Runs in a child process: the locks stay held after it.
  pid_t pid = fork();
  if (pid == 0) {
    bool saved = saveDatabaseForExit(dir.file("index.ndb"));
    bool locked = !databaseMutex.try_lock();
    _exit(saved && locked ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(loadDatabaseFile(dir.file("index.ndb")));
  EXPECT_EQ(like_maxid, 12);
  EXPECT_NE(printedDatabase().find("\n\t\"like_maxid\":\t12,\n"), std::string::npos);
}

TEST(DatabaseLoad, ALoadedFileIsSavedAgainOnlyWhenItsTextWouldChange) {
  auto formatted = [](const std::string& text) {
    cJSON* tree = cJSON_Parse(text.c_str());
    char* p = cJSON_Print(tree);
    std::string s = p;
    cJSON_free(p);
    cJSON_Delete(tree);
    return s;
  };
  const std::string large = largeDatabaseText(300);
  const std::string upperKey =
      "{\"news_maxid\":0,\"user_maxid\":0,\"like_maxid\":0,\"NEWS\":[],\"news_detail\":[],"
      "\"user\":[],\"like\":[]}";
  const std::string fraction =
      "{\"news_maxid\":4.5,\"user_maxid\":0,\"like_maxid\":0,\"news\":[],\"news_detail\":[],"
      "\"user\":[],\"like\":[]}";
  struct {
    const char* desc;
    std::string text;
    bool written;
  } cases[] = {
      {"the empty database as saved", kEmptyDatabaseText, false},
      {"many records as saved", formatted(large), false},
      {"many records unformatted", large, true},
      {"an array key in upper case", formatted(upperKey), true},
      {"a counter with a fraction", formatted(fraction), true},
  };
  for (const auto& c : cases) {
    TempDir dir;
    std::string path = dir.file("index.ndb");
    writeFile(path, compressString(c.text, -1));
    ASSERT_TRUE(loadDatabaseFile(path)) << c.desc;
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_TRUE(saveDatabaseNow(path)) << c.desc;
    EXPECT_EQ(testsupport::pathExists(path), c.written) << c.desc;
    if (c.written) {
      EXPECT_EQ(decompressString(readFile(path)), printedDatabase()) << c.desc;
    }

    // A change after the load is saved, records printed at the load included.
    {
      DatabaseLock lock(databaseMutex);
      if (cJSON_GetArraySize(userArray) > 0) {
        setRecordMember(cJSON_GetArrayItem(userArray, 7), "nickname", cJSON_CreateString("new"));
      } else {
        ASSERT_TRUE(raiseCounter(like_maxid));
      }
    }
    ASSERT_TRUE(saveDatabaseNow(path)) << c.desc;
    EXPECT_EQ(decompressString(readFile(path)), printedDatabase()) << c.desc;
  }
}
