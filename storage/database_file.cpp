// database_file.cpp -- the load and the save of data/index.ndb.
#include "storage/database_file.h"

#include <sys/stat.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "storage/atomic_file.h"
#include "storage/database.h"
#include "storage/database_print.h"
#include "storage/deferred_removals.h"
#include "storage/file_helpers.h"
#include "storage/json_tree.h"
#include "storage/zlib_codec.h"

namespace {

// Records printed under one hold of the database lock before a save: a few
// milliseconds' work, so that a save after a start or many changes never
// holds the lock for long.
constexpr size_t kPrintBatch = 512;
// Between two batches, the waiting requests are given the database lock for
// up to this long, looked at every kHandOffPoll.
constexpr std::chrono::microseconds kHandOffLimit{2000};
constexpr std::chrono::microseconds kHandOffPoll{50};

// One save at a time: a save prints its snapshot and renames its file under
// this lock, so an older snapshot can never be renamed over a newer one.
// Always taken before the database lock, never while holding it.
std::mutex saveMutex;

constexpr const char* kCounterKeys[] = {"news_maxid", "user_maxid", "like_maxid"};
constexpr const char* kArrayKeys[] = {"news", "news_detail", "user", "like"};

// A loaded file may spell a root key in another case; it is saved as spelled
// here, in its place. The array nodes themselves stay the same nodes.
void respellKey(cJSON* item, const char* key) {
  if (item == nullptr || item->string == nullptr || std::strcmp(item->string, key) == 0) return;
  if ((item->type & cJSON_StringIsConst) != 0) return;
  size_t size = std::strlen(key) + 1;
  char* copy = static_cast<char*>(cJSON_malloc(size));
  if (copy == nullptr) return;
  std::memcpy(copy, key, size);
  cJSON_free(item->string);
  item->string = copy;
}

// What the last save that reached its file held: the database's change count
// and the counters. A save that finds both unchanged would write the same
// file again and is skipped. Guarded by saveMutex.
struct SavedState {
  bool saved = false;
  uint64_t changeCount = 0;
  int counters[3] = {0, 0, 0};
};
SavedState lastSaved;

// Copies the counters into the tree and takes a snapshot of its text; false
// when it cannot be printed. Notes in state what the snapshot holds.
bool snapshotLocked(DatabaseSnapshot& snapshot, SavedState& state) REQUIRES(databaseMutex) {
  if (databaseState.root == nullptr) return false;
  const int counters[] = {databaseState.news_maxid, databaseState.user_maxid,
                          databaseState.like_maxid};
  for (size_t i = 0; i < 3; ++i) {
    cJSON* number = cJSON_CreateNumber(counters[i]);
    if (number == nullptr) return false;
    if (!cJSON_ReplaceItemInObject(databaseState.root, kCounterKeys[i], number))
      cJSON_Delete(number);
    state.counters[i] = counters[i];
  }
  for (const char* key : kArrayKeys) respellKey(cJSON_GetObjectItem(databaseState.root, key), key);
  state.changeCount = databaseChangeCount();
  state.saved = true;
  return snapshotDatabase(snapshot);
}

// True when the database holds what the last save wrote.
bool unchangedSinceLastSave() REQUIRES(databaseMutex) {
  return lastSaved.saved && lastSaved.changeCount == databaseChangeCount() &&
         lastSaved.counters[0] == databaseState.news_maxid &&
         lastSaved.counters[1] == databaseState.user_maxid &&
         lastSaved.counters[2] == databaseState.like_maxid;
}

// The zlib stream of the snapshot's text, fed to deflate piece by piece
// without joining the text: the same bytes as compressString of the joined
// text, since deflate's output depends only on the input bytes, the level and
// the flushes asked for (none before the end), not on how the input is handed
// over.
std::string compressSnapshot(const DatabaseSnapshot& snapshot, int level) {
  Deflater deflater(level, kZlibMaxPieceBytes);
  writeDatabaseText(snapshot,
                    [&](const char* data, size_t size) { deflater.add(data, size, Z_NO_FLUSH); });
  deflater.add(nullptr, 0, Z_FINISH);
  return std::move(deflater.result);
}

// Prints the records added or changed since the last save a batch at a time,
// releasing the database lock between batches, so that the snapshot itself
// prints only what changed in the meantime. std::mutex is not fair: taken
// again at once, the lock would mostly go back to this thread, and a request
// could wait for the whole print. So after each batch the threads waiting
// for the lock get it first (for up to kHandOffLimit), and no request waits
// for more than one batch.
void printInBatches() EXCLUDES(databaseMutex) {
  while (true) {
    {
      DatabaseLock lock(databaseMutex);
      if (printPendingRecords(kPrintBatch)) return;
    }
    const auto deadline = std::chrono::steady_clock::now() + kHandOffLimit;
    while (databaseMutex.waiters() > 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(kHandOffPoll);
    }
  }
}

// What one save writes: the snapshot to print, or nothing when the database
// holds what the last save wrote.
struct SaveJob {
  bool unchanged = false;
  bool printed = false;
  DatabaseSnapshot snapshot;
  SavedState state;
};

SaveJob prepareSave() REQUIRES(databaseMutex) {
  SaveJob job;
  job.unchanged = unchangedSinceLastSave();
  if (!job.unchanged) job.printed = snapshotLocked(job.snapshot, job.state);
  return job;
}

// Joins, compresses and writes the snapshot, without the database lock.
// Caller holds saveMutex.
bool finishSave(const std::string& path, SaveJob& job) {
  if (job.unchanged) return true;
  std::string reason;
  try {
    if (!job.printed) {
      reason = "the database could not be printed";
    } else {
      std::string bytes = compressSnapshot(job.snapshot, Z_DEFAULT_COMPRESSION);
      job.snapshot = DatabaseSnapshot();
      if (writeFileAtomically(path, bytes, reason)) {
        lastSaved = job.state;
        return true;
      }
    }
  } catch (const std::exception& e) {
    reason = e.what();
  }
  fprintf(stderr, "Database save failed: %s\n", reason.c_str());
  fflush(stderr);
  return false;
}

// Prints every record of the database just loaded from text, so that no save
// has them all to print, and counts the database as saved when that print is
// the loaded text itself: a node that changes nothing never writes. A text in
// another spelling or layout is left to the first save. Caller holds
// saveMutex.
void noteLoadedText(const std::string& text) EXCLUDES(databaseMutex) {
  SaveJob job;
  {
    DatabaseLock lock(databaseMutex);
    job = prepareSave();
  }
  if (job.unchanged || !job.printed) return;
  size_t offset = 0;
  bool same = true;
  writeDatabaseText(job.snapshot, [&](const char* data, size_t size) {
    if (!same) return;
    same = size <= text.size() - offset && std::memcmp(text.data() + offset, data, size) == 0;
    offset += size;
  });
  if (same && offset == text.size()) lastSaved = job.state;
}

// Saves begun by saveDatabaseNow in this process.
std::atomic<std::uint64_t> savesBegun{0};

}  // namespace

namespace databasefile_detail {

std::uint64_t savesBegunCount() { return savesBegun.load(std::memory_order_relaxed); }

}  // namespace databasefile_detail

std::string emptyDatabaseText() {
  JsonTree root(cJSON_CreateObject());
  if (!root) return "";
  for (const char* key : kCounterKeys) {
    if (cJSON_AddNumberToObject(root.get(), key, 0) == nullptr) return "";
  }
  for (const char* key : kArrayKeys) {
    if (cJSON_AddArrayToObject(root.get(), key) == nullptr) return "";
  }
  JsonText text(cJSON_Print(root.get()));
  return text ? std::string(text.get()) : std::string();
}

bool adoptDatabaseText(const std::string& text) {
  JsonTree root(cJSON_ParseWithLength(text.data(), text.size()));
  if (!root || !cJSON_IsObject(root.get())) return false;
  cJSON* counters[3];
  for (size_t i = 0; i < 3; ++i) {
    counters[i] = cJSON_GetObjectItem(root.get(), kCounterKeys[i]);
    if (!cJSON_IsNumber(counters[i])) return false;
  }
  cJSON* arrays[4];
  for (size_t i = 0; i < 4; ++i) {
    arrays[i] = cJSON_GetObjectItem(root.get(), kArrayKeys[i]);
    if (!cJSON_IsArray(arrays[i])) return false;
  }
  DatabaseLock lock(databaseMutex);
  if (!installDatabase(root.get())) return false;
  root.release();
  return true;
}

bool loadDatabaseFile(const std::string& path) {
  FileHandle file(fopen(path.c_str(), "rb"));
  if (!file) return false;
  // A directory opens too, and its end offset is no size to allocate.
  struct stat st;
  if (fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (fseeko(file.get(), 0, SEEK_END) != 0) return false;
  off_t size = ftello(file.get());
  if (size < 0 || fseeko(file.get(), 0, SEEK_SET) != 0) return false;
  try {
    // A file too large for memory is a failed load, not an uncaught exception.
    std::string bytes(static_cast<size_t>(size), '\0');
    if (fread(&bytes[0], 1, bytes.size(), file.get()) != bytes.size()) return false;
    file.reset();
    std::string text = decompressString(bytes);
    bytes = std::string();
    std::lock_guard<std::mutex> saveLock(saveMutex);
    if (!adoptDatabaseText(text)) return false;
    noteLoadedText(text);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool saveDatabaseNow(const std::string& path) {
  savesBegun.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> saveLock(saveMutex);
  printInBatches();
  SaveJob job;
  {
    DatabaseLock lock(databaseMutex);
    job = prepareSave();
  }
  if (!finishSave(path, job)) return false;
  // The file on disk no longer names what the changes up to its snapshot
  // stopped naming: those files may go now.
  removeSavedAwayFiles(lastSaved.changeCount);
  return true;
}

bool saveDatabaseForExit(const std::string& path) {
  // The process ends after this save: nothing may change the database or
  // start another save from here on, so both locks stay held.
  saveMutex.lock();
  printInBatches();
  databaseMutex.lock();
  SaveJob job = prepareSave();
  if (!finishSave(path, job)) return false;
  removeSavedAwayFilesAtExit(lastSaved.changeCount);
  return true;
}
