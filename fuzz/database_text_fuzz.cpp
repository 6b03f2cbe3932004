// database_text_fuzz.cpp -- fuzz target for damaged databases: the input's
// first byte picks a real request of the whole-request seed corpus, the rest
// is the database text. A text that loads is served that request, then saved
// and loaded again; the raw input also goes through the zlib reader.
//
// A loaded database may hold records of any shape: nothing may fail, nothing
// outside uploads/ may change or be removed, and the saved file must be the
// zlib stream of cJSON_Print of the tree and load.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "fuzz/node_fixture.h"
#include "storage/database_file.h"
#include "storage/zlib_codec.h"

using namespace fuzzfixture;

namespace {

std::vector<std::string> requests;
std::unique_ptr<testsupport::TempDir> scratch;  // beside the fixture, removed at exit
std::string scratchSave;                        // where the served database is saved

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::vector<fs::path> names;
  for (const auto& entry : fs::directory_iterator(ONDRIX_FUZZ_REQUESTS_DIR)) {
    if (entry.path().filename().string().rfind("curl-", 0) == 0) names.push_back(entry.path());
  }
  std::sort(names.begin(), names.end());
  for (const fs::path& name : names) {
    std::ifstream in(name, std::ios::binary);
    requests.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  FUZZ_CHECK(!requests.empty());
  setUp();
  scratch = std::make_unique<testsupport::TempDir>(fixtureRoot.parent_path().string());
  scratchSave = scratch->file("index.ndb");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  try {
    decompressString(bytes);
  } catch (const std::exception&) {
    // Not one zlib stream: start-up refuses such a file.
  }

  const std::string text = bytes.substr(1);
  if (!adoptDatabaseText(text)) return 0;
  FUZZ_CHECK(decompressString(compressString(text, -1)) == text);

  serve(requests[data[0] % requests.size()]);
  FUZZ_CHECK(snapshotOutsideUploads() == filesOutsideUploads);
  FUZZ_CHECK(saveDatabaseNow(scratchSave));
  // The file is exactly the zlib stream of cJSON_Print of the served tree.
  std::string printed;
  {
    DatabaseLock lock(databaseMutex);
    char* tree = cJSON_Print(databaseRoot);
    FUZZ_CHECK(tree != nullptr);
    printed = tree;
    cJSON_free(tree);
  }
  std::ifstream saved(scratchSave, std::ios::binary);
  FUZZ_CHECK(std::string(std::istreambuf_iterator<char>(saved), std::istreambuf_iterator<char>()) ==
             compressString(printed, -1));
  FUZZ_CHECK(loadDatabaseFile(scratchSave));
  resetUploads();
  return 0;
}
