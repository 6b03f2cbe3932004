// database_writer_test.cpp -- the writer loops: the database's and the plain
// text files'.
#include "storage/database_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "storage/database.h"
#include "storage/database_file.h"
#include "storage/text_writer_loops.h"
#include "storage/zlib_codec.h"
#include "tests/support/database_fixture.h"
#include "tests/support/test_support.h"

using testsupport::directoryEntries;
using testsupport::kEmptyDatabaseText;
using testsupport::readFile;
using testsupport::TempDir;

TEST(WriterLoops, StopBeforeStartSavesNothing) {
  TempDir dir;
  ASSERT_TRUE(adoptDatabaseText(kEmptyDatabaseText));
  std::atomic<bool> stop{true};
  persistDatabase(dir.file("index.ndb"), 0, stop);
  writeTextLoop(dir.file("a.txt").c_str(), "x", 0, stop);
  writeJsonLoop(dir.file("b.json").c_str(), databaseRoot, 0, stop);
  EXPECT_TRUE(directoryEntries(dir.path).empty());
}

TEST(WriterLoops, BackToBackCyclesWriteTheirTextsUntilStopped) {
  TempDir dir;
  ASSERT_TRUE(adoptDatabaseText(kEmptyDatabaseText));
  std::string ndb = dir.file("index.ndb"), txt = dir.file("a.txt"), json = dir.file("b.json");
  std::atomic<bool> stop{false};
  cJSON* tree = cJSON_Parse("{\"k\":[1,2]}");
  std::thread writers[] = {
      std::thread(persistDatabase, ndb, 0, std::ref(stop)),
      std::thread(writeTextLoop, txt.c_str(), std::string("plain\0text", 10), -5, std::ref(stop)),
      std::thread(writeJsonLoop, json.c_str(), tree, 0, std::ref(stop)),
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline &&
         (!testsupport::pathExists(ndb) || readFile(txt).size() != 10 || readFile(json).empty())) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop = true;
  for (auto& t : writers) t.join();
  EXPECT_EQ(decompressString(readFile(ndb)), kEmptyDatabaseText);
  EXPECT_EQ(readFile(txt), std::string("plain\0text", 10));
  EXPECT_EQ(readFile(json), "{\n\t\"k\":\t[1, 2]\n}");
  cJSON_Delete(tree);
}
