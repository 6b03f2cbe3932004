// database_writer.cpp -- persistDatabase and its pauses.
#include "storage/database_writer.h"

#include <chrono>
#include <cstdint>
#include <thread>

#include "storage/database.h"
#include "storage/database_file.h"

namespace {

// A writer saving back to back sleeps while nothing changes, looking at its
// stop flag this often.
constexpr std::chrono::milliseconds kStopPoll{100};

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

void pauseBeforeCycle(int interval_ms) {
  if (interval_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
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
