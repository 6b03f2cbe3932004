// failed_write_test.cpp -- the real node when a write fails or a file is not
// what it should be: uploads cut short by a file-size limit, replacements
// whose new file cannot be created, a config.json that cannot be written,
// and FIFOs where files are served or copied.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "storage/database.h"
#include "storage/database_file.h"
#include "storage/zlib_codec.h"
#include "tests/robustness/robustness_support.h"
#include "tests/support/test_support.h"

using robustness::bodyOf;
using testsupport::multipartRequest;
using robustness::nowMs;
using robustness::savedDatabaseText;
using robustness::statusOf;
using testsupport::freePort;
using testsupport::getRequest;
using testsupport::minimalConfig;
using testsupport::NodeLimit;
using testsupport::NodeProcess;
using testsupport::pathExists;
using testsupport::printedJson;
using testsupport::ProcessResult;
using testsupport::readFile;
using testsupport::seedDatabaseText;
using testsupport::sendRaw;
using testsupport::startNode;
using testsupport::stopNode;
using testsupport::storedFiles;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

constexpr int kNoSaveDuringTheTestMs = 100000000;
// `ulimit -f 64`: 64 blocks of 1,024 bytes.
constexpr unsigned long long kSmallFileLimit = 64 * 1024;

const std::string kOldAvatar = "uploads/avatar/2020/1/2/21577923200.webp";
const std::string kOldImage0 = "uploads/img/2020/1/2/1/01577923200.webp";
const std::string kOldImage1 = "uploads/img/2020/1/2/1/11577923200.webp";

// User 1 is the administrator (sid-admin), user 2 an ordinary user
// (sid-user) with an avatar; news 1 has two images, each file on disk.
std::string seedDatabase() {
  return seedDatabaseText({{"sid-admin", "Admin"}, {"sid-user", "User", kOldAvatar, "h-old"}},
                          {kOldImage0, kOldImage1});
}

// A working directory with config.json (user 1 an administrator), the seed
// database and the files its records name.
void prepareNode(const TempDir& dir, int port) {
  writeFile(dir.file("config.json"), minimalConfig(port, kNoSaveDuringTheTestMs, "\"admin\": [1]"));
  writeFile(dir.file("data/index.ndb"), compressString(seedDatabase(), -1));
  writeFile(dir.file(kOldAvatar), "old avatar");
  writeFile(dir.file(kOldImage0), "old image 0");
  writeFile(dir.file(kOldImage1), "old image 1");
}

// The records of the saved database: users, then news and details.
std::string savedRecords(const TempDir& dir) {
  if (!adoptDatabaseText(savedDatabaseText(dir.file("data/index.ndb")))) return "(no database)";
  return printedJson(userArray) + printedJson(newsArray) + printedJson(newsDetailArray);
}

std::string seedRecords() {
  if (!adoptDatabaseText(seedDatabase())) return "(no seed)";
  return printedJson(userArray) + printedJson(newsArray) + printedJson(newsDetailArray);
}

std::string currentYear() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return std::to_string(local.tm_year + 1900);
}

std::string avatarUpload(const std::string& path, int uid, const std::string& sid,
                         const std::string& bytes, const std::string& hash) {
  return multipartRequest(path, {{"uid", std::to_string(uid), ""},
                                 {"sid", sid, ""},
                                 {"avatar", bytes, "a.webp"},
                                 {"hash", hash, ""}});
}

std::string newsUpload(int id, const std::string& bytes) {
  return multipartRequest("/v1/postnews", {{"uid", "1", ""},
                                           {"sid", "sid-admin", ""},
                                           {"id", std::to_string(id), ""},
                                           {"title", "Title", ""},
                                           {"content", "Text", ""},
                                           {"0", bytes, "0"}});
}

}  // namespace

// Under `ulimit -f 64` an upload larger than the limit cannot be written
// whole: each storing action gives the reply of a file that cannot be
// created, no partial file stays and no record changes. An upload below the
// limit is then stored byte for byte.
TEST(UploadCutShort, RefusedWithoutAPartialFileOrARecord) {
  TempDir dir;
  const int port = freePort();
  prepareNode(dir, port);
  NodeProcess node;
  ASSERT_TRUE(
      startNode(node, dir.path, port, 20000, {{RLIMIT_FSIZE, kSmallFileLimit, kSmallFileLimit}}))
      << node.outSoFar;
  const std::string large(200000, 'L');
  struct {
    const char* desc;
    std::string request;
    int status;
    std::string body;
  } cases[] = {
      {"signin of a new user", avatarUpload("/v1/signin", 0, "new-user", large, "h-new"), 500,
       "{\"r\":500}"},
      {"postavatar", avatarUpload("/v1/postavatar", 2, "sid-user", large, "h-2"), 200, "{\"r\":0}"},
      {"postnews of a new item", newsUpload(0, large), 404, "{\"r\":404}"},
      {"postnews edit", newsUpload(1, large), 404, "{\"r\":404}"},
  };
  for (const auto& c : cases) {
    const std::string reply = sendRaw(port, c.request);
    EXPECT_EQ(statusOf(reply), c.status) << c.desc;
    EXPECT_EQ(bodyOf(reply), c.body) << c.desc;
  }
  std::vector<std::string> files = storedFiles(dir.path, "uploads");
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{kOldAvatar, kOldImage0, kOldImage1}))
      << "a partial file stayed or an old file went";
  // The dated directories that the refused uploads made are gone again.
  EXPECT_FALSE(pathExists(dir.file("uploads/avatar/" + currentYear())));
  EXPECT_FALSE(pathExists(dir.file("uploads/img/" + currentYear())));

  const std::string small = std::string("RIFF\0\0\0\0WEBP", 12) + std::string(1000, 's');
  EXPECT_EQ(bodyOf(sendRaw(port, avatarUpload("/v1/signin", 0, "small-user", small, "h-s"))),
            "{\"id\":4}")
      << "the refused signin used id 3";
  EXPECT_EQ(stopNode(node, SIGTERM), 0);
  ASSERT_TRUE(adoptDatabaseText(savedDatabaseText(dir.file("data/index.ndb"))));
  ASSERT_EQ(cJSON_GetArraySize(userArray), 3);
  const cJSON* avatar = cJSON_GetObjectItem(cJSON_GetArrayItem(userArray, 2), "avatar");
  ASSERT_TRUE(cJSON_IsString(avatar));
  EXPECT_EQ(readFile(dir.file(avatar->valuestring)), small);
}

// Where the new file's dated directory should be there is a plain file, so
// the new avatar or news image cannot be created: the refusal leaves the old
// files on disk and the records that name them as they were.
TEST(ReplacementCannotBeCreated, OldFilesAndRecordsStay) {
  TempDir dir;
  const int port = freePort();
  prepareNode(dir, port);
  writeFile(dir.file("uploads/avatar/" + currentYear()), "not a directory");
  writeFile(dir.file("uploads/img/" + currentYear()), "not a directory");
  const std::string before = seedRecords();

  NodeProcess node;
  ASSERT_TRUE(startNode(node, dir.path, port)) << node.outSoFar;
  struct {
    const char* desc;
    std::string request;
    std::string body;
  } cases[] = {
      {"postavatar over an avatar", avatarUpload("/v1/postavatar", 2, "sid-user", "new", "h-2"),
       "{\"r\":0}"},
      // One image part for two old images: the one it does not name would go.
      {"postnews edit over two images", newsUpload(1, "new"), "{\"r\":404}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(bodyOf(sendRaw(port, c.request)), c.body) << c.desc;
  }
  EXPECT_EQ(readFile(dir.file(kOldAvatar)), "old avatar");
  EXPECT_EQ(readFile(dir.file(kOldImage0)), "old image 0");
  EXPECT_EQ(readFile(dir.file(kOldImage1)), "old image 1");
  EXPECT_EQ(stopNode(node, SIGTERM), 0);
  EXPECT_EQ(savedRecords(dir), before) << "a refused replacement changed a record";
}

// Under `ulimit -f 0` the wizard cannot write config.json: it says so, ends
// with status 1 and leaves no file, so the next start asks again.
TEST(ConfigCannotBeWritten, NoFileIsLeftAndTheWizardRunsAgain) {
  TempDir dir;
  ProcessResult run = testsupport::runNodeToExit(dir.path, "", 20000, {{RLIMIT_FSIZE, 0, 0}});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.out.find("Save file failed!\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("No port!"), std::string::npos) << run.out;
  EXPECT_EQ(testsupport::runCommand("ls -A '" + dir.path + "'"), "") << "a file was left";

  // An empty database file ends the next run once config.json is written,
  // before it would listen on the default port.
  writeFile(dir.file("data/index.ndb"), "");
  run = testsupport::runNodeToExit(dir.path, "");
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.out.rfind("File \"config.json\" does not exist and will be created.\n", 0), 0u)
      << run.out;
  EXPECT_NE(readFile(dir.file("config.json")).find("\"port\":\t80"), std::string::npos);
}

// A FIFO where a served file is looked up is refused with 404 at once: no
// worker waits for a writer that never comes, and the node serves on.
TEST(NonRegularFiles, FifoIsNotServed) {
  TempDir dir;
  const int port = freePort();
  prepareNode(dir, port);
  testsupport::runCommand("mkdir -p '" + dir.file("uploads/x") + "' '" + dir.file("img") + "'");
  ASSERT_EQ(mkfifo(dir.file("uploads/x/p.webp").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo(dir.file("img/icon.png").c_str(), 0644), 0);
  NodeProcess node;
  ASSERT_TRUE(startNode(node, dir.path, port)) << node.outSoFar;
  for (const char* path : {"/uploads/x/p.webp", "/img/icon.png"}) {
    // More requests than a pool has workers: one blocked worker each would stall the rest.
    for (int i = 0; i < 10; ++i) {
      const long long start = nowMs();
      const std::string reply = sendRaw(port, getRequest(path), 5000);
      EXPECT_EQ(statusOf(reply), 404) << path << " after " << nowMs() - start << " ms";
      EXPECT_EQ(bodyOf(reply), "{\"r\":404}") << path;
    }
  }
  EXPECT_EQ(bodyOf(sendRaw(port, getRequest(kOldImage1))), "old image 1");
  EXPECT_EQ(stopNode(node, SIGTERM), 0);
}

// The wizard copies the icon onto a FIFO at img/icon.png: the copy fails at
// once and the wizard goes on to write config.json.
TEST(NonRegularFiles, WizardCopyOntoAFifoFails) {
  TempDir dir;
  writeFile(dir.file("pics/logo.png"), "picture");
  ASSERT_EQ(mkdir(dir.file("img").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir.file("img/icon.png").c_str(), 0644), 0);
  writeFile(dir.file("data/index.ndb"), "");  // ends the run once config.json is written
  ProcessResult run = testsupport::runNodeToExit(dir.path, "\npics/logo.png\n", 20000);
  EXPECT_EQ(run.exitStatus, 1) << "killed while waiting on the FIFO?";
  EXPECT_NE(run.out.find("Copy icon image failed!\n"), std::string::npos) << run.out;
  EXPECT_NE(readFile(dir.file("config.json")).find("\"icon\":\t\"img/icon.png\""),
            std::string::npos);
}
