// upload_store_test.cpp -- how an upload reaches its file: a large image
// goes from the request text the connection holds to its file without a
// copy on the heap, and every file is synced before its rename and its
// directory after it, once per request; a sync that fails is a store that
// fails. The process's operator new is replaced by one that counts what the
// answering thread allocates, its fsync by one that records what it syncs
// and fails on demand.
#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "api/get_routes.h"
#include "api/post_routes.h"
#include "api/uploads.h"
#include "http/answer_request.h"
#include "storage/database.h"
#include "storage/database_file.h"
#include "storage/file_helpers.h"
#include "tests/support/test_support.h"

namespace {

// Bytes the calling thread asked of operator new while counting is on.
thread_local bool counting = false;
std::atomic<std::size_t> countedBytes{0};

void* allocate(std::size_t size) {
  if (counting) countedBytes += size;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// One fsync: the path of its descriptor and, for a directory, its entries
// at that moment.
struct Sync {
  std::string path;
  bool directory = false;
  std::vector<std::string> entries;
};

enum class FailSync { kNone, kFile, kDirectory };

std::vector<Sync> syncs;
FailSync failing = FailSync::kNone;

std::vector<std::string> entriesOf(const std::string& dir) {
  std::vector<std::string> names;
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return names;
  while (dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(listing);
  return names;
}

}  // namespace

extern "C" int fsync(int fd) {
  Sync sync;
  char path[PATH_MAX];
  const ssize_t length =
      readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
  if (length > 0) sync.path.assign(path, static_cast<size_t>(length));
  struct stat status;
  sync.directory = fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
  if (sync.directory) sync.entries = entriesOf(sync.path);
  syncs.push_back(sync);
  if ((failing == FailSync::kFile && !sync.directory) ||
      (failing == FailSync::kDirectory && sync.directory)) {
    errno = EIO;
    return -1;
  }
  return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace {

using testsupport::MultipartField;
using testsupport::multipartRequest;
using testsupport::readFile;
using testsupport::storedFiles;

bool contains(const std::vector<std::string>& list, const std::string& item) {
  for (const std::string& entry : list) {
    if (entry == item) return true;
  }
  return false;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

constexpr std::size_t kImageBytes = 8 * 1024 * 1024;
// Everything an answer allocates besides the image: fields, paths, records,
// the reply. One copy of the image is eight times this.
constexpr std::size_t kMostAllocatedBytes = kImageBytes / 8;

class UploadStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(
        testsupport::useConfiguration(testsupport::minimalConfig(8080, 10000, "\"admin\": [1]")));
    ASSERT_TRUE(adoptDatabaseText(testsupport::seedDatabaseText({{"s1", "ann"}})));
    chdir = std::make_unique<testsupport::ScopedChdir>(dir.path);
    char resolved[PATH_MAX];
    ASSERT_NE(realpath(dir.path.c_str(), resolved), nullptr);
    root = resolved;
    syncs.clear();
    failing = FailSync::kNone;
  }
  void TearDown() override {
    failing = FailSync::kNone;
    chdir.reset();
  }

  // The body of the reply that handlePost sends for a multipart form.
  std::string post(const std::string& action, const std::vector<MultipartField>& fields) {
    const std::string request = multipartRequest("/v1/" + action, fields);
    return testsupport::splitReply(testsupport::captureReply([&](int socket) {
             handlePost(socket, "/v1/" + action, request);
           }))
        .second;
  }

  testsupport::TempDir dir;
  std::unique_ptr<testsupport::ScopedChdir> chdir;
  std::string root;  // dir.path with its links resolved, as /proc shows it
};

TEST_F(UploadStoreTest, FileSyncedBeforeItsRenameAndItsDirectoryAfter) {
  const std::string path = "uploads/avatar/2024/5/17/11715947200.webp";
  ASSERT_TRUE(ensureDirectory("uploads/avatar/2024/5/17/"));
  ASSERT_TRUE(writeUploadFile(path, "bytes"));
  EXPECT_EQ(readFile(path), "bytes");
  ASSERT_EQ(syncs.size(), 2u);
  // Synced while it still had its temporary name, then the directory with the
  // file under its own name and no temporary file left.
  EXPECT_FALSE(syncs[0].directory);
  EXPECT_TRUE(startsWith(syncs[0].path, root + "/" + path + kUploadTempSuffix)) << syncs[0].path;
  EXPECT_TRUE(syncs[1].directory);
  EXPECT_EQ(syncs[1].path, root + "/uploads/avatar/2024/5/17");
  EXPECT_EQ(syncs[1].entries, std::vector<std::string>{"11715947200.webp"});
}

TEST_F(UploadStoreTest, FailedSyncIsAFailedStoreThatLeavesNothing) {
  for (FailSync fail : {FailSync::kFile, FailSync::kDirectory}) {
    const std::string path = "uploads/avatar/2024/5/17/11715947200.webp";
    ASSERT_TRUE(ensureDirectory("uploads/avatar/2024/5/17/"));
    failing = fail;
    EXPECT_FALSE(writeUploadFile(path, "bytes"));
    EXPECT_TRUE(entriesOf("uploads/avatar/2024/5/17").empty());
    // A file the rename replaced is gone already; the new one stays.
    testsupport::writeFile(path, "old");
    EXPECT_FALSE(writeUploadFile(path, "new"));
    EXPECT_EQ(readFile(path), fail == FailSync::kFile ? "old" : "new");
    unlink(path.c_str());
  }
}

TEST_F(UploadStoreTest, NewsImagesShareOneDirectorySync) {
  const std::string image = "image bytes";
  EXPECT_EQ(post("postnews", {{"uid", "1"},
                              {"sid", "s1"},
                              {"id", "0"},
                              {"img", image, "0"},
                              {"img", image, "1"},
                              {"img", image, "2"}}),
            "{\"id\":2}");
  std::vector<std::string> files = storedFiles(dir.path, "uploads/img");
  ASSERT_EQ(files.size(), 3u);
  int fileSyncs = 0;
  std::vector<const Sync*> directorySyncs;
  for (const Sync& sync : syncs) {
    if (sync.directory) {
      directorySyncs.push_back(&sync);
    } else {
      ++fileSyncs;
      EXPECT_NE(sync.path.find(kUploadTempSuffix), std::string::npos) << sync.path;
    }
  }
  EXPECT_EQ(fileSyncs, 3);
  ASSERT_EQ(directorySyncs.size(), 1u);
  EXPECT_EQ(directorySyncs[0]->entries.size(), 3u);  // after every rename
  for (const std::string& file : files) {
    EXPECT_TRUE(contains(directorySyncs[0]->entries, file.substr(file.rfind('/') + 1))) << file;
  }
}

// Each action answers a failed sync as it answers a failed write, and
// keeps nothing of the request: no file, no record.
TEST_F(UploadStoreTest, ActionsRefuseWhenASyncFails) {
  const std::string image = "image bytes";
  struct {
    const char* action;
    std::vector<MultipartField> fields;
    const char* refusal;
  } cases[] = {
      {"signin",
       {{"uid", "0"}, {"sid", "s2"}, {"avatar", image, "a"}, {"hash", "h"}},
       "{\"r\":500}"},
      {"postavatar",
       {{"uid", "1"}, {"sid", "s1"}, {"avatar", image, "a"}, {"hash", "h"}},
       "{\"r\":0}"},
      {"postnews",
       {{"uid", "1"}, {"sid", "s1"}, {"id", "0"}, {"img", image, "0"}, {"img", image, "1"}},
       "{\"r\":404}"},
  };
  for (FailSync fail : {FailSync::kFile, FailSync::kDirectory}) {
    for (const auto& c : cases) {
      const std::string desc =
          std::string(c.action) + (fail == FailSync::kFile ? ", file" : ", directory");
      failing = fail;
      EXPECT_EQ(post(c.action, c.fields), c.refusal) << desc;
      failing = FailSync::kNone;
      // No file, and no dated directory left: only the two upload roots.
      EXPECT_TRUE(entriesOf("uploads/avatar").empty()) << desc;
      EXPECT_TRUE(entriesOf("uploads/img").empty()) << desc;
      EXPECT_EQ(cJSON_GetArraySize(userArray), 1) << desc;
      EXPECT_EQ(cJSON_GetArraySize(newsArray), 1) << desc;
      EXPECT_STREQ(
          cJSON_GetObjectItem(cJSON_GetArrayItem(userArray, 0), "avatar_hash")->valuestring, "")
          << desc;
    }
  }
  // Once syncs succeed, the same requests store.
  EXPECT_EQ(post("signin", cases[0].fields), "{\"id\":4}");
  EXPECT_EQ(post("postavatar", cases[1].fields), "{\"r\":1}");
  EXPECT_EQ(storedFiles(dir.path, "uploads/avatar").size(), 2u);
}

TEST_F(UploadStoreTest, LargeImagesAreWrittenFromTheRequestText) {
  const std::string image = testsupport::randomBytes(kImageBytes, 7);
  const RequestHandlers handlers{handleGet, handlePost};
  struct {
    const char* action;
    std::vector<testsupport::MultipartField> fields;
    const char* root;  // where the one new file lands
    const char* reply;
  } cases[] = {
      {"signin",
       {{"uid", "0"}, {"sid", "s2"}, {"avatar", image, "a.webp"}, {"hash", "h2"}},
       "uploads/avatar",
       "{\"id\":2}"},
      {"postavatar",
       {{"uid", "1"}, {"sid", "s1"}, {"avatar", image, "a.webp"}, {"hash", "h1"}},
       "uploads/avatar",
       "{\"r\":1}"},
      {"postnews",
       {{"uid", "1"}, {"sid", "s1"}, {"id", "0"}, {"title", "T"}, {"img", image, "0"}},
       "uploads/img",
       "{\"id\":2}"},
  };
  for (const auto& c : cases) {
    const std::string request = multipartRequest(std::string("/v1/") + c.action, c.fields);
    std::size_t allocated = 0;
    const std::string reply = testsupport::captureReply([&](int socket) {
      countedBytes = 0;
      counting = true;
      answerRequest(socket, request, handlers);
      counting = false;
      allocated = countedBytes;
    });
    EXPECT_EQ(testsupport::splitReply(reply).second, c.reply) << c.action;
    EXPECT_LT(allocated, kMostAllocatedBytes) << c.action;
    std::vector<std::string> files = storedFiles(dir.path, c.root);
    ASSERT_FALSE(files.empty()) << c.action;
    EXPECT_TRUE(readFile(dir.file(files.back())) == image) << c.action << ": stored bytes differ";
    std::filesystem::remove_all("uploads");
  }
}

}  // namespace
