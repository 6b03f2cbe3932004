// database_file.cpp -- zlib compression of the database text, the atomic
// save of data/index.ndb and the writer thread's loops.
#include "storage/database_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "storage/database.h"
#include "storage/database_print.h"
#include "storage/deferred_removals.h"
#include "storage/file_helpers.h"
#include "storage/json_tree.h"

namespace {

constexpr size_t kZlibChunkBytes = 32768;
// zlib counts its input in 32 bits: longer inputs are handed over in pieces.
constexpr size_t kZlibMaxPieceBytes = std::numeric_limits<uInt>::max();
// Symbolic links followed before a save gives up (as the kernel's own limit).
constexpr int kMaxLinkHops = 40;
// Records printed under one hold of the database lock before a save: a few
// milliseconds' work, so that a save after a start or many changes never
// holds the lock for long.
constexpr size_t kPrintBatch = 512;
// Between two batches, the waiting requests are given the database lock for
// up to this long, looked at every kHandOffPoll.
constexpr std::chrono::microseconds kHandOffLimit{2000};
constexpr std::chrono::microseconds kHandOffPoll{50};
// A writer saving back to back sleeps while nothing changes, looking at its
// stop flag this often.
constexpr std::chrono::milliseconds kStopPoll{100};

// Feeds a zlib stream from input, at most pieceBytes at a time.
struct InputFeeder {
  const Bytef* next;
  size_t remaining;
  size_t pieceBytes;
  void feed(z_stream& stream) {
    if (stream.avail_in != 0 || remaining == 0) return;
    size_t piece = std::min(remaining, pieceBytes);
    stream.next_in = const_cast<Bytef*>(next);
    stream.avail_in = static_cast<uInt>(piece);
    next += piece;
    remaining -= piece;
  }
};

InputFeeder feederFor(const std::string& input, size_t pieceBytes) {
  pieceBytes = std::max<size_t>(1, std::min(pieceBytes, kZlibMaxPieceBytes));
  return InputFeeder{reinterpret_cast<const Bytef*>(input.data()), input.size(), pieceBytes};
}

// One zlib stream being written: input is handed to deflate in pieces of at
// most pieceBytes, its output appended to result.
struct Deflater {
  z_stream stream{};
  std::unique_ptr<z_stream, int (*)(z_stream*)> end{nullptr, &deflateEnd};
  std::vector<Bytef> chunk = std::vector<Bytef>(kZlibChunkBytes, 0);
  std::string result;
  size_t pieceBytes;

  Deflater(int level, size_t piece) : pieceBytes(piece) {
    if (deflateInit(&stream, level) != Z_OK) {
      throw std::runtime_error("deflateInit failed while compressing.");
    }
    end.reset(&stream);
  }
  // zlib's state points back at stream: it stays where it was made.
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;

  // Deflates size bytes of data, then flush (Z_NO_FLUSH: more input follows;
  // Z_FINISH: the stream ends here).
  void add(const char* data, size_t size, int flush) {
    InputFeeder feeder{reinterpret_cast<const Bytef*>(data), size, pieceBytes};
    while (true) {
      feeder.feed(stream);
      stream.next_out = chunk.data();
      stream.avail_out = static_cast<uInt>(chunk.size());
      int code = deflate(&stream, feeder.remaining == 0 ? flush : Z_NO_FLUSH);
      if (code != Z_OK && code != Z_STREAM_END && code != Z_BUF_ERROR) {
        throw std::runtime_error("deflate failed while compressing: " + std::to_string(code));
      }
      result.append(reinterpret_cast<const char*>(chunk.data()), chunk.size() - stream.avail_out);
      if (code == Z_STREAM_END) return;
      // Without a finish, a call is done once its input is taken and the
      // output did not fill the chunk (nothing more is pending).
      if (flush == Z_NO_FLUSH && feeder.remaining == 0 && stream.avail_in == 0 &&
          stream.avail_out != 0) {
        return;
      }
    }
  }
};

std::string errnoText(int code) { return std::generic_category().message(code); }

std::string parentDirectory(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string baseName(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file that path leads to through symbolic links (a relative target
// counts from its link's directory); path itself when it is no link, and the
// last name reached when nothing is there yet. False with errno set when a
// link cannot be read or there are too many.
bool followLinks(const std::string& path, std::string& target) {
  std::string current = path;
  for (int hops = 0; hops <= kMaxLinkHops; ++hops) {
    struct stat st;
    if (lstat(current.c_str(), &st) != 0) {
      if (errno != ENOENT && errno != ENOTDIR) return false;
      target = current;  // nothing there yet: the save creates it
      return true;
    }
    if (!S_ISLNK(st.st_mode)) {
      target = current;
      return true;
    }
    std::vector<char> buffer(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
    ssize_t length = readlink(current.c_str(), buffer.data(), buffer.size());
    if (length < 0) return false;
    std::string link(buffer.data(), static_cast<size_t>(length));
    const bool relative = !link.empty() && link[0] != '/' && current.find('/') != std::string::npos;
    current = relative ? parentDirectory(current) + "/" + link : link;
  }
  errno = ELOOP;
  return false;
}

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

// The pause before a cycle; sleep_for resumes after a signal for the time left.
void pauseBeforeCycle(int interval_ms) {
  if (interval_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
}

// Saves begun by saveDatabaseNow in this process.
std::atomic<std::uint64_t> savesBegun{0};

std::uint64_t currentChangeCount() EXCLUDES(databaseMutex) {
  DatabaseLock lock(databaseMutex);
  return databaseChangeCount();
}

// The pause of a writer saving back to back after a good save: until the
// change count moves from seen, the count taken before that save began (a
// change since is saved next, or found saved already), or until stop is set,
// which it looks at every kStopPoll.
void awaitChange(std::uint64_t seen, const std::atomic<bool>& stop) {
  while (!stop.load() && !waitForDatabaseChange(seen, kStopPoll)) {
  }
}

}  // namespace

namespace databasefile_detail {

std::uint64_t savesBegunCount() { return savesBegun.load(std::memory_order_relaxed); }

std::string compressInPieces(const std::string& input, int level, size_t pieceBytes) {
  Deflater deflater(level, feederFor(input, pieceBytes).pieceBytes);
  deflater.result.reserve(input.size() / 2 + 12);
  deflater.add(input.data(), input.size(), Z_FINISH);
  return std::move(deflater.result);
}

std::string decompressInPieces(const std::string& input, size_t pieceBytes) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) {
    throw std::runtime_error("inflateInit failed while decompressing.");
  }
  std::unique_ptr<z_stream, int (*)(z_stream*)> end(&stream, &inflateEnd);
  std::string result;
  if (input.size() <= result.max_size() / 2) result.reserve(2 * input.size());
  std::vector<Bytef> chunk(kZlibChunkBytes, 0);
  InputFeeder feeder = feederFor(input, pieceBytes);
  while (true) {
    feeder.feed(stream);
    stream.next_out = chunk.data();
    stream.avail_out = static_cast<uInt>(chunk.size());
    int code = inflate(&stream, Z_NO_FLUSH);
    if (code == Z_NEED_DICT || code == Z_DATA_ERROR || code == Z_MEM_ERROR) {
      throw std::runtime_error("zlib decompression error: " + std::to_string(code));
    }
    if (code != Z_OK && code != Z_STREAM_END) {
      throw std::runtime_error("Unexpected zlib error during decompression: " +
                               std::to_string(code));
    }
    result.append(reinterpret_cast<const char*>(chunk.data()), chunk.size() - stream.avail_out);
    if (code == Z_STREAM_END) break;
  }
  return result;
}

}  // namespace databasefile_detail

std::string compressString(const std::string& input, int level) {
  return databasefile_detail::compressInPieces(input, level, kZlibMaxPieceBytes);
}

std::string decompressString(const std::string& input) {
  return databasefile_detail::decompressInPieces(input, kZlibMaxPieceBytes);
}

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

bool writeFileAtomically(const std::string& linkPath, const std::string& bytes,
                         std::string& error) {
  // A symbolic link stays: the file it leads to is the one replaced.
  std::string path;
  if (!followLinks(linkPath, path)) {
    error = "follow " + linkPath + ": " + errnoText(errno);
    return false;
  }
  std::string pattern = path + kSaveFileSuffix + "XXXXXX";
  std::string tempPath;
  // Created as open(2) creates a file: 0666 less the umask.
  int fd = createUniqueFile(path + kSaveFileSuffix, tempPath);
  if (fd < 0) {
    error = "create " + pattern + ": " + errnoText(errno);
    return false;
  }
  auto fail = [&](const char* step) {
    int code = errno;
    if (fd >= 0) close(fd);
    unlink(tempPath.c_str());
    error = std::string(step) + " " + tempPath + ": " + errnoText(code);
    return false;
  };
  // The new file keeps the permissions of the one it replaces.
  struct stat previous;
  if (stat(path.c_str(), &previous) == 0 && fchmod(fd, previous.st_mode & 07777) != 0) {
    return fail("chmod");
  }
  if (!writeAllBytes(fd, bytes.data(), bytes.size())) return fail("write");
  if (fsync(fd) != 0) return fail("fsync");
  int closed = close(fd);
  fd = -1;
  if (closed != 0) return fail("close");
  if (rename(tempPath.c_str(), path.c_str()) != 0) {
    int code = errno;
    unlink(tempPath.c_str());
    error = "rename " + tempPath + " to " + path + ": " + errnoText(code);
    return false;
  }
  // The rename is durable only once the directory entry is on disk.
  std::string dir = parentDirectory(path);
  int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0 || fsync(dirFd) != 0) {
    error = "sync directory " + dir + ": " + errnoText(errno);
    if (dirFd >= 0) close(dirFd);
    return false;
  }
  close(dirFd);
  return true;
}

void removeStaleSaveFiles(const std::string& linkPath) {
  // Saves write beside the file that a symbolic link leads to.
  std::string path;
  if (!followLinks(linkPath, path)) return;
  std::string dir = parentDirectory(path);
  std::string prefix = baseName(path) + kSaveFileSuffix;
  DirHandle listing(opendir(dir.c_str()));
  if (!listing) return;
  while (dirent* entry = readdir(listing.get())) {
    if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
      unlink((dir + "/" + entry->d_name).c_str());
    }
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

void persistDatabase(std::string path, int interval_ms, std::atomic<bool>& stop) {
  if (interval_ms > 0) {
    while (!stop.load()) {
      pauseBeforeCycle(interval_ms);
      saveDatabaseNow(path);
    }
    return;
  }
  // Back to back while changes come; asleep while none do. A failed save
  // leaves changes unsaved and is tried again at once.
  while (!stop.load()) {
    const std::uint64_t seen = currentChangeCount();
    if (saveDatabaseNow(path)) awaitChange(seen, stop);
  }
}

void writeTextLoop(const char* path, const std::string& text, int interval_ms,
                   std::atomic<bool>& stop) {
  while (!stop.load()) {
    pauseBeforeCycle(interval_ms);
    writeTextFile(path, text);
  }
}

void writeJsonLoop(const char* path, const cJSON* tree, int interval_ms, std::atomic<bool>& stop) {
  while (!stop.load()) {
    pauseBeforeCycle(interval_ms);
    JsonText text(cJSON_Print(tree));
    if (text) writeTextFile(path, text.get());
  }
}
