// bench_uploads.cpp -- ondrix-bench-uploads: what storing one upload costs,
// for a 200 KB and a 60 MiB file: writeUploadFile (written, synced, renamed,
// its directory synced) against the same store without the two syncs.
// Files are written in the current directory.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <string_view>

#include "api/uploads.h"
#include "storage/file_helpers.h"

namespace {

constexpr const char* kPath = "bench-upload.webp.";

std::string randomBytes(std::size_t size) {
  std::mt19937 generator(7);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

// The store as it was without syncs: temporary file, write, close, rename.
bool storeUnsynced(const std::string& path, std::string_view bytes) {
  std::string temp;
  const int fd = createUniqueFile(path + kUploadTempSuffix, temp);
  if (fd < 0) return false;
  bool written = writeAllBytes(fd, bytes.data(), bytes.size());
  if (close(fd) != 0) written = false;
  if (written && std::rename(temp.c_str(), path.c_str()) == 0) return true;
  unlink(temp.c_str());
  return false;
}

// Stores bytes at a new path per iteration, as every upload of the node
// lands on a path of its own (a rename over an existing file makes the file
// system start its writeback at once); the file is removed untimed.
template <bool (*store)(const std::string&, std::string_view)>
void storeEach(benchmark::State& state) {
  const std::string bytes = randomBytes(static_cast<std::size_t>(state.range(0)));
  long long serial = 0;
  for (auto _ : state) {
    const std::string path = kPath + std::to_string(serial++);
    if (!store(path, bytes)) state.SkipWithError("store failed");
    state.PauseTiming();
    std::remove(path.c_str());
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_UploadStore(benchmark::State& state) { storeEach<writeUploadFile>(state); }
void BM_UploadStoreUnsynced(benchmark::State& state) { storeEach<storeUnsynced>(state); }

constexpr long long kSmall = 200 * 1024;
constexpr long long kLarge = 60LL * 1024 * 1024;

BENCHMARK(BM_UploadStoreUnsynced)->Arg(kSmall)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UploadStore)->Arg(kSmall)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UploadStoreUnsynced)->Arg(kLarge)->Iterations(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UploadStore)->Arg(kLarge)->Iterations(8)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
