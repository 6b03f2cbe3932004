// upload_in_place_test.cpp -- a large upload goes from the request text the
// connection holds to its file without a copy on the heap: answering a
// signin, a postavatar or a postnews that carries a large image allocates a
// small fraction of the image's size, and the file holds the image exactly.
#include <gtest/gtest.h>

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
#include "http/connection.h"
#include "storage/database_file.h"
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

using testsupport::multipartRequest;
using testsupport::readFile;
using testsupport::storedFiles;

constexpr std::size_t kImageBytes = 8 * 1024 * 1024;
// Everything an answer allocates besides the image: fields, paths, records,
// the reply. One copy of the image is eight times this.
constexpr std::size_t kMostAllocatedBytes = kImageBytes / 8;

class UploadInPlaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(
        testsupport::useConfiguration(testsupport::minimalConfig(8080, 10000, "\"admin\": [1]")));
    ASSERT_TRUE(adoptDatabaseText(testsupport::seedDatabaseText({{"s1", "ann"}})));
    chdir = std::make_unique<testsupport::ScopedChdir>(dir.path);
  }
  void TearDown() override { chdir.reset(); }

  testsupport::TempDir dir;
  std::unique_ptr<testsupport::ScopedChdir> chdir;
};

TEST_F(UploadInPlaceTest, LargeImagesAreWrittenFromTheRequestText) {
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
