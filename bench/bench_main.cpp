// bench_main.cpp -- ondrix-bench: the in-process benchmarks (Google Benchmark)
// over generated databases of 1,000, 10,000 and 100,000 news items: list
// pages, news details, islike, the like toggle, the database file's
// compression, the start-up load, the writer's lock hold and the memory a
// loaded database takes; and the longest wait for the database lock during
// one real save of 100,000 items and 100,000 users, and while four readers
// read the detail of an item of 30 MB content.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/get_routes.h"
#include "api/post_routes.h"
#include "bench/bench_database.h"
#include "node/config.h"
#include "node/startup.h"
#include "storage/database.h"
#include "storage/database_file.h"
#include "storage/database_print.h"
#include "storage/json_tree.h"
#include "storage/news_index.h"
#include "storage/record_changes.h"
#include "storage/zlib_codec.h"

namespace {

// One generated database, built once per size and kept for the whole run.
struct Loaded {
  cJSON* root = nullptr;
  std::string text;        // its formatted print, as data/index.ndb holds it inflated
  std::string compressed;  // the file's bytes
  size_t heapBytes = 0;    // heap in use by the parsed tree
};

std::map<int, Loaded>& loadedDatabases() {
  static std::map<int, Loaded> databases;
  return databases;
}

size_t heapInUse() { return mallinfo2().uordblks + mallinfo2().hblkhd; }

// Installs root as the node's database, as start-up does after a load. The
// tree installed before stays kept here (it is not the database's to free).
void useTree(cJSON* root) {
  DatabaseLock lock(databaseMutex);
  databaseRoot = nullptr;
  installDatabase(root);
}

// The database of newsCount items, loaded the way start-up loads one (text
// parsed into a tree) and installed as the node's database.
Loaded& useDatabase(int newsCount) {
  auto& databases = loadedDatabases();
  auto found = databases.find(newsCount);
  if (found == databases.end()) {
    Loaded loaded;
    JsonTree built(buildBenchDatabase(newsCount));
    char* printed = cJSON_Print(built.get());
    loaded.text = printed;
    cJSON_free(printed);
    built.reset();
    loaded.compressed = compressString(loaded.text, -1);
    malloc_trim(0);
    size_t before = heapInUse();
    loaded.root = cJSON_Parse(loaded.text.c_str());
    loaded.heapBytes = heapInUse() - before;
    found = databases.emplace(newsCount, std::move(loaded)).first;
  }
  if (databaseRoot != found->second.root) useTree(found->second.root);
  return found->second;
}

// The configuration of a generated node directory, kept as start-up keeps it.
void installConfig() {
  static bool done = false;
  if (done) return;
  done = true;
  loadConfigurationText(benchConfigText(8080));
}

// One end of a new socket pair whose other end a thread drains for the whole
// run, so handlers send their replies as they do to a client.
int drainedSocket() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
    std::perror("socketpair");
    std::exit(1);
  }
  std::thread([fd = fds[1]] {
    char buf[1 << 16];
    while (read(fd, buf, sizeof buf) > 0) {
    }
  }).detach();
  return fds[0];
}

// The drained socket the benchmarks on the main thread send to.
int replySocket() {
  static int sendEnd = drainedSocket();
  return sendEnd;
}

void prepare(int newsCount) {
  installConfig();
  useDatabase(newsCount);
}

// The status line of the reply handleGet gives for path, to make sure a
// benchmark measures the route it names.
std::string statusLineOf(const std::string& path) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return "";
  std::string reply;
  // Read while the reply is sent: a large one does not fit a socket buffer.
  std::thread reader([&reply, fd = fds[1]] {
    char buf[1 << 16];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
      if (reply.size() < 4096) reply.append(buf, static_cast<size_t>(n));
    }
  });
  handleGet(fds[0], path);
  close(fds[0]);
  reader.join();
  close(fds[1]);
  return reply.substr(0, reply.find("\r\n"));
}

void runGet(benchmark::State& state, const std::string& path) {
  std::string status = statusLineOf(path);
  if (status != "HTTP/1.1 200 OK") {
    state.SkipWithError((path + " answered " + status).c_str());
    return;
  }
  int fd = replySocket();
  for (auto _ : state) handleGet(fd, path);
}

void BM_ListPage1(benchmark::State& state) {
  prepare(static_cast<int>(state.range(0)));
  runGet(state, "/v1/list/1");
}

// List page 1 built again each time: a view of its newest item (not timed)
// changes what the page shows before every request.
void BM_ListPage1AfterView(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  prepare(n);
  const std::string list = "/v1/list/1";
  const std::string detail = "/v1/news/" + std::to_string(benchShape(n).newestNewsId);
  if (statusLineOf(list) != "HTTP/1.1 200 OK" || statusLineOf(detail) != "HTTP/1.1 200 OK") {
    state.SkipWithError("list page 1 or the newest item not answered");
    return;
  }
  int fd = replySocket();
  for (auto _ : state) {
    state.PauseTiming();
    handleGet(fd, detail);
    state.ResumeTiming();
    handleGet(fd, list);
  }
}

void BM_ListPage50(benchmark::State& state) {
  prepare(static_cast<int>(state.range(0)));
  runGet(state, "/v1/list/50");
}

void BM_DetailNewest(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  prepare(n);
  runGet(state, "/v1/news/" + std::to_string(benchShape(n).newestNewsId));
}

void BM_DetailOldest(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  prepare(n);
  runGet(state, "/v1/news/" + std::to_string(benchShape(n).oldestNewsId));
}

void BM_IsLike(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  prepare(n);
  BenchShape shape = benchShape(n);
  runGet(state, "/v1/islike/" + std::to_string(shape.likerId) + "/" + shape.likerSid + "/" +
                    std::to_string(shape.oldestNewsId));
}

// POST like of one item by one user: each call adds or removes the like.
void runLikeToggle(benchmark::State& state, int newsId) {
  BenchShape shape = benchShape(static_cast<int>(state.range(0)));
  std::string body = "id=" + std::to_string(newsId) + "&sid=" + shape.likerSid +
                     "&uid=" + std::to_string(shape.likerId);
  std::string request =
      "POST /v1/like HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n"
      "Content-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body;
  int fd = replySocket();
  for (auto _ : state) handlePost(fd, "/v1/like", request);
}

void BM_LikeToggle(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  prepare(n);
  runLikeToggle(state, benchShape(n).oldestNewsId);
}

void BM_LikeToggleNewest(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  prepare(n);
  runLikeToggle(state, benchShape(n).newestNewsId);
}

void BM_Compress(benchmark::State& state) {
  Loaded& db = useDatabase(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(compressString(db.text, -1));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(db.text.size()));
  state.counters["text_MB"] = static_cast<double>(db.text.size()) / 1e6;
  state.counters["file_MB"] = static_cast<double>(db.compressed.size()) / 1e6;
}

void BM_Decompress(benchmark::State& state) {
  Loaded& db = useDatabase(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(decompressString(db.compressed));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(db.text.size()));
}

// The database part of start-up: data/index.ndb read, inflated and parsed
// into the node's database with its handles and counters (loadDatabaseFile).
void BM_StartupLoad(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  Loaded& db = useDatabase(n);
  char dir[] = "/tmp/ondrix-bench-load-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  std::string path = std::string(dir) + "/index.ndb";
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(db.compressed.data(), 1, db.compressed.size(), f);
    std::fclose(f);
  }
  for (auto _ : state) {
    databaseRoot = nullptr;  // the kept tree is not the loader's to free
    if (!loadDatabaseFile(path)) {
      state.SkipWithError("loadDatabaseFile failed");
      break;
    }
    state.PauseTiming();
    cJSON_Delete(databaseRoot);
    databaseRoot = nullptr;
    state.ResumeTiming();
  }
  useTree(db.root);
  std::remove(path.c_str());
  rmdir(dir);
  state.counters["heap_MB"] = static_cast<double>(db.heapBytes) / 1e6;
  state.counters["heap_B_per_item"] = static_cast<double>(db.heapBytes) / n;
}

// The longest hold of the database lock in one save after a request changed
// one record, as the writer makes it: the changed records printed in batches
// of 512 (a hold each), then the counters copied into the tree and a snapshot
// of the kept prints taken. Joining and compressing follow without the lock.
void BM_WriterLockHold(benchmark::State& state) {
  prepare(static_cast<int>(state.range(0)));
  using Clock = std::chrono::steady_clock;
  auto held = [](Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
  };
  // A database just installed has every record still to print: the first
  // save after start-up does that in batches too, and is not what is timed.
  while (true) {
    DatabaseLock lock(databaseMutex);
    if (printPendingRecords(512)) break;
  }
  for (auto _ : state) {
    {
      DatabaseLock lock(databaseMutex);
      countNewsView(newsRecordAt(0));
    }
    double longest = 0;
    bool done = false;
    while (!done) {
      auto start = Clock::now();
      DatabaseLock lock(databaseMutex);
      done = printPendingRecords(512);
      longest = std::max(longest, held(start));
    }
    DatabaseSnapshot snapshot;
    auto start = Clock::now();
    {
      DatabaseLock lock(databaseMutex);
      cJSON_ReplaceItemInObject(databaseRoot, "news_maxid", cJSON_CreateNumber(news_maxid));
      cJSON_ReplaceItemInObject(databaseRoot, "user_maxid", cJSON_CreateNumber(user_maxid));
      cJSON_ReplaceItemInObject(databaseRoot, "like_maxid", cJSON_CreateNumber(like_maxid));
      snapshotDatabase(snapshot);
    }
    state.SetIterationTime(std::max(longest, held(start)));
  }
}

// The database of 100,000 items and 100,000 users, saved to a file in dir
// and loaded from it with loadDatabaseFile, as start-up loads one: its
// records are printed at load and its indexes built, so that a save prints
// only what changed since, as on a running node. False when it cannot be.
constexpr int kScaleItems = 100000;
constexpr int kScaleUsers = 100000;
constexpr int kBusyIntervalViews = 10000;

bool loadScaleDatabase(const std::string& dir) {
  std::string compressed;
  {
    JsonTree built(buildBenchDatabase(kScaleItems, kScaleUsers));
    char* printed = cJSON_Print(built.get());
    if (printed == nullptr) return false;
    compressed = compressString(printed, -1);
    cJSON_free(printed);
  }
  const std::string path = dir + "/loaded.ndb";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool written = std::fwrite(compressed.data(), 1, compressed.size(), file) == compressed.size();
  written = std::fclose(file) == 0 && written;
  {
    // The tree installed before is kept by the other benchmarks, not freed.
    DatabaseLock lock(databaseMutex);
    databaseRoot = nullptr;
    clearDatabase();
  }
  const bool loaded = written && loadDatabaseFile(path);
  std::remove(path.c_str());
  return loaded;
}

// One real save (saveDatabaseNow: print, compress, write, rename) to a
// temporary directory, while a probe thread takes the database lock back to
// back as a request would. The time is the longest the probe waited for the
// lock during the save: what a request in flight can be stalled by it. A
// like toggled and 10,000 views counted before each save (not timed) give
// every save many batches of records to print.
void BM_SaveLockWaitWithUsers(benchmark::State& state) {
  installConfig();
  char dir[] = "/tmp/ondrix-bench-save-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  if (!loadScaleDatabase(dir)) {
    rmdir(dir);
    state.SkipWithError("the database could not be loaded");
    return;
  }
  const std::string path = std::string(dir) + "/index.ndb";
  const BenchShape shape = benchShape(kScaleItems, kScaleUsers);
  const std::string body = "id=" + std::to_string(shape.oldestNewsId) + "&sid=" + shape.likerSid +
                           "&uid=" + std::to_string(shape.likerId);
  const std::string like =
      "POST /v1/like HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n"
      "Content-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body;
  double longestMs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    handlePost(replySocket(), "/v1/like", like);
    {
      // A busy interval: a view counted on each of 10,000 items, so that the
      // save prints many batches and requests wait between them.
      DatabaseLock lock(databaseMutex);
      for (int i = 0; i < kBusyIntervalViews; ++i) countNewsView(newsRecordAt(i));
    }
    state.ResumeTiming();
    std::atomic<bool> saving{true};
    std::atomic<long long> longestWaitNs{0};
    std::thread probe([&] {
      while (saving.load()) {
        auto before = std::chrono::steady_clock::now();
        { DatabaseLock lock(databaseMutex); }
        long long waited = std::chrono::duration_cast<std::chrono::nanoseconds>(
                               std::chrono::steady_clock::now() - before)
                               .count();
        if (waited > longestWaitNs.load()) longestWaitNs = waited;
        // A pause between takes, so the writer is not kept from the lock.
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    });
    bool saved = saveDatabaseNow(path);
    saving = false;
    probe.join();
    if (!saved) {
      state.SkipWithError("saveDatabaseNow failed");
      break;
    }
    double waitS = static_cast<double>(longestWaitNs.load()) / 1e9;
    state.SetIterationTime(waitS);
    if (waitS * 1e3 > longestMs) longestMs = waitS * 1e3;
  }
  std::remove(path.c_str());
  rmdir(dir);
  state.counters["longest_ms"] = longestMs;
  state.counters["users"] = kScaleUsers;
}

// Four threads read the detail of an item of 30 MB content back to back, as
// four clients would, each sending to its own drained socket, while a probe
// takes the database lock as a request would, with a pause between takes.
// The time is the longest the probe waited for the lock over the window: what
// such readers stall every other request by. The item is added to the
// generated database for the run and deleted after it.
constexpr std::size_t kLargeContentBytes = 30u << 20;
constexpr int kLargeDetailReaders = 4;
constexpr auto kLargeDetailWindow = std::chrono::seconds(2);

// 30 MB of text with quotes and line breaks, as a long article's could be.
std::string largeContent() {
  const std::string line = "The council met again; \"the harbour works\" go on through winter.\n";
  std::string text;
  text.reserve(kLargeContentBytes + line.size());
  while (text.size() < kLargeContentBytes) text += line;
  text.resize(kLargeContentBytes);
  return text;
}

void BM_LockWaitLargeDetail(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  prepare(n);
  const int id = n + 1;  // the generated ids run 1..n
  {
    DatabaseLock lock(databaseMutex);
    cJSON* news = cJSON_CreateObject();
    cJSON_AddNumberToObject(news, "id", id);
    cJSON_AddStringToObject(news, "title", "Large item");
    cJSON_AddNumberToObject(news, "timestamp", 2000000000);
    cJSON_AddNumberToObject(news, "views", 0);
    cJSON_AddNumberToObject(news, "user_id", 1);
    cJSON* detail = cJSON_CreateObject();
    cJSON_AddNumberToObject(detail, "id", id);
    cJSON_AddStringToObject(detail, "content", largeContent().c_str());
    cJSON_AddArrayToObject(detail, "images");
    if (!appendNewsItem(news, detail)) {
      cJSON_Delete(news);
      cJSON_Delete(detail);
    }
  }
  const std::string path = "/v1/news/" + std::to_string(id);
  std::string status = statusLineOf(path);
  if (status != "HTTP/1.1 200 OK") {
    state.SkipWithError((path + " answered " + status).c_str());
    return;
  }
  static const std::vector<int> sockets = [] {
    std::vector<int> made;
    for (int i = 0; i < kLargeDetailReaders; ++i) made.push_back(drainedSocket());
    return made;
  }();

  using Clock = std::chrono::steady_clock;
  double longestMs = 0;
  std::vector<double> waitsMs;
  long long reads = 0;
  for (auto _ : state) {
    std::atomic<bool> reading{true};
    std::atomic<long long> done{0};
    std::vector<std::thread> readers;
    for (int socket : sockets) {
      readers.emplace_back([&, socket] {
        while (reading.load()) {
          handleGet(socket, path);
          ++done;
        }
      });
    }
    double longest = 0;
    const auto end = Clock::now() + kLargeDetailWindow;
    while (Clock::now() < end) {
      const auto before = Clock::now();
      { DatabaseLock lock(databaseMutex); }
      const double waited =
          std::chrono::duration<double, std::milli>(Clock::now() - before).count();
      waitsMs.push_back(waited);
      longest = std::max(longest, waited);
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    reading = false;
    for (auto& reader : readers) reader.join();
    reads += done.load();
    state.SetIterationTime(longest / 1e3);
    longestMs = std::max(longestMs, longest);
  }
  {
    DatabaseLock lock(databaseMutex);
    int index = -1;
    if (findNewsById(id, &index) != nullptr) deleteNewsItem(index);
  }
  std::sort(waitsMs.begin(), waitsMs.end());
  state.counters["longest_ms"] = longestMs;
  state.counters["p99_ms"] =
      waitsMs.empty() ? 0 : waitsMs[std::min(waitsMs.size() - 1, waitsMs.size() * 99 / 100)];
  state.counters["reads"] = static_cast<double>(reads);
}

constexpr int kSizes[] = {1000, 10000, 100000};

void sizes(benchmark::internal::Benchmark* b) {
  for (int n : kSizes) b->Arg(n);
}

BENCHMARK(BM_ListPage1)->Apply(sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ListPage1AfterView)->Apply(sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ListPage50)->Apply(sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DetailNewest)->Apply(sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DetailOldest)->Apply(sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IsLike)->Apply(sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LikeToggle)->Apply(sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LikeToggleNewest)->Apply(sizes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Compress)->Apply(sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decompress)->Apply(sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartupLoad)->Apply(sizes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriterLockHold)->Apply(sizes)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LockWaitLargeDetail)
    ->Arg(1000)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SaveLockWaitWithUsers)
    ->Arg(kScaleItems)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
