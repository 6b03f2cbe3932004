// database_file_test.cpp -- the zlib format of data/index.ndb, the atomic
// save, the database load and the writer loops.
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
#include "tests/support/test_support.h"

using testsupport::directoryEntries;
using testsupport::randomBytes;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

const char kEmptyDatabaseText[] =
    "{\n\t\"news_maxid\":\t0,\n\t\"user_maxid\":\t0,\n\t\"like_maxid\":\t0,\n"
    "\t\"news\":\t[],\n\t\"news_detail\":\t[],\n\t\"user\":\t[],\n\t\"like\":\t[]\n}";

// Deflates all of text through s, which the caller has set up, and ends s.
std::string deflateAll(z_stream& s, const std::string& text) {
  std::string out(deflateBound(&s, text.size()) + 32, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  s.avail_in = static_cast<uInt>(text.size());
  s.next_out = reinterpret_cast<Bytef*>(&out[0]);
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// A gzip stream (window bits 31) of text: same deflate data, other container.
std::string gzipOf(const std::string& text) {
  z_stream s{};
  deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  return deflateAll(s, text);
}

// A zlib stream that needs a preset dictionary to inflate.
std::string withDictionary(const std::string& text) {
  z_stream s{};
  deflateInit(&s, Z_DEFAULT_COMPRESSION);
  const char dict[] = "news_maxid user_maxid";
  deflateSetDictionary(&s, reinterpret_cast<const Bytef*>(dict), sizeof dict - 1);
  return deflateAll(s, text);
}

std::string errorOf(const std::string& input) {
  try {
    decompressString(input);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no error)";
}

// A database text with many records, printed larger than 32 KiB.
std::string largeDatabaseText(int users) {
  std::string text = "{\"news_maxid\":0,\"user_maxid\":" + std::to_string(users) +
                     ",\"like_maxid\":0,\"news\":[],\"news_detail\":[],\"user\":[";
  for (int i = 1; i <= users; ++i) {
    if (i > 1) text += ",";
    text += "{\"id\":" + std::to_string(i) + ",\"user_sid\":\"sid-" + std::to_string(i * 7919) +
            "\",\"nickname\":\"user " + std::to_string(i) +
            "\",\"nickname_uptm\":0,\"avatar\":\"\",\"avatar_uptm\":0,\"avatar_hash\":\"\"}";
  }
  return text + "],\"like\":[]}";
}

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

TEST(DatabaseFormat, RoundTripsOfEveryShape) {
  struct {
    const char* desc;
    std::string input;
  } cases[] = {
      {"empty input", ""},
      {"text over 32 KiB", largeDatabaseText(2000)},
      {"compressed form over 32 KiB", randomBytes(200000, 1)},
      {"NUL bytes", std::string("a\0b\0\0c", 6)},
  };
  for (const auto& c : cases) {
    for (int level : {-1, 0, 9}) {
      std::string stream = compressString(c.input, level);
      EXPECT_EQ(decompressString(stream), c.input) << c.desc << " level " << level;
    }
  }
  EXPECT_GT(compressString(cases[2].input, -1).size(), 32768u);
  EXPECT_GT(cases[1].input.size(), 32768u);
}

TEST(DatabaseFormat, InputsHandedOverInPiecesComeBackWhole) {
  // The pieces path is what inputs of 4 GiB and more take; small pieces
  // exercise the same refills.
  std::string text = largeDatabaseText(300) + randomBytes(50000, 2);
  for (size_t piece : {size_t{1}, size_t{7}, size_t{4096}, size_t{70000}}) {
    std::string stream = databasefile_detail::compressInPieces(text, -1, piece);
    EXPECT_EQ(decompressString(stream), text) << "compressed in pieces of " << piece;
    EXPECT_EQ(databasefile_detail::decompressInPieces(compressString(text, -1), piece), text)
        << "inflated in pieces of " << piece;
  }
  EXPECT_EQ(errorOf(""), "Unexpected zlib error during decompression: -5");
  std::string cut = compressString(text, -1);
  cut.resize(cut.size() / 2);
  EXPECT_THROW(databasefile_detail::decompressInPieces(cut, 5), std::runtime_error);
}

TEST(DatabaseFormat, DamagedStreamsGiveTheirErrors) {
  std::string text = kEmptyDatabaseText;
  std::string good = compressString(text, -1);
  std::string badChecksum = good;
  badChecksum.back() = static_cast<char>(badChecksum.back() ^ 0x01);
  struct {
    const char* desc;
    std::string input;
    std::string message;
  } cases[] = {
      {"empty", "", "Unexpected zlib error during decompression: -5"},
      {"cut short", good.substr(0, good.size() - 5),
       "Unexpected zlib error during decompression: -5"},
      {"gzip container", gzipOf(text), "zlib decompression error: -3"},
      {"plain JSON text", text, "zlib decompression error: -3"},
      {"checksum flipped", badChecksum, "zlib decompression error: -3"},
      {"preset dictionary", withDictionary(text), "zlib decompression error: 2"},
      {"good stream", good, "(no error)"},
  };
  for (const auto& c : cases) EXPECT_EQ(errorOf(c.input), c.message) << c.desc;

  EXPECT_EQ(decompressString(good + "trailing bytes"), text);

  try {
    compressString(text, 42);
    ADD_FAILURE() << "level 42 accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "deflateInit failed while compressing.");
  }
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
