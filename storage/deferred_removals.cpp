// deferred_removals.cpp -- the list of files to remove after a save, and the
// names that requests hold meanwhile.
#include "storage/deferred_removals.h"

#include <cstdio>
#include <utility>
#include <vector>

#include "storage/database.h"
#include "storage/file_helpers.h"
#include "storage/record_changes.h"

namespace {

bool held(const std::string& path) REQUIRES(databaseMutex) {
  return databaseState.removals.holds.count(path) != 0;
}

// The stronger of two directory rules: a file queued twice goes with its
// directories when either removal would take them.
EmptiedDirectories stronger(EmptiedDirectories a, EmptiedDirectories b) {
  return static_cast<int>(a) > static_cast<int>(b) ? a : b;
}

void dropHoldIfUnused(std::unordered_map<std::string, NameHold>::iterator it)
    REQUIRES(databaseMutex) {
  if (it->second.keepers == 0 && !it->second.writer) databaseState.removals.holds.erase(it);
}

// Marks the removals that a save taken at savedChanges allows, and returns
// them.
std::vector<QueuedRemoval> pickRemovals(std::uint64_t savedChanges) REQUIRES(databaseMutex) {
  std::vector<QueuedRemoval> picked;
  for (auto& [path, entry] : databaseState.removals.queued) {
    if (entry.removing || entry.queuedAt > savedChanges || held(path)) continue;
    entry.removing = true;
    picked.push_back(entry);
  }
  return picked;
}

void carryOut(const std::vector<QueuedRemoval>& picked) {
  for (const QueuedRemoval& entry : picked) {
    const FileRemoval& r = entry.removal;
    const bool removed = std::remove(r.path.c_str()) == 0;
    const bool directories = r.directories == EmptiedDirectories::kRemoved ||
                             (r.directories == EmptiedDirectories::kRemovedWithFile && removed);
    if (directories && !r.deepestDirectory.empty()) {
      removeEmptyDirectoryChain(r.deepestDirectory, r.stopAt);
    }
  }
}

// Drops the removals carried out. One queued again meanwhile (its file named
// and left again) is no longer marked and stays for a later save.
void dropCarriedOut(const std::vector<QueuedRemoval>& picked) REQUIRES(databaseMutex) {
  for (const QueuedRemoval& entry : picked) {
    auto it = databaseState.removals.queued.find(entry.removal.path);
    if (it != databaseState.removals.queued.end() && it->second.removing)
      databaseState.removals.queued.erase(it);
  }
}

}  // namespace

void deferRemoval(const FileRemoval& removal) {
  // Counted as a change of its own: the save that allows the removal is one
  // whose snapshot comes after this hold of the lock, which therefore holds
  // the change that stopped naming the file, made before or after this call.
  databaseChanged();
  const std::uint64_t now = databaseChangeCount();
  auto [it, added] = databaseState.removals.queued.try_emplace(removal.path);
  QueuedRemoval& entry = it->second;
  if (added || entry.removing) {
    entry.removal = removal;
  } else {
    entry.removal.directories = stronger(entry.removal.directories, removal.directories);
  }
  entry.queuedAt = now;
  entry.removing = false;
}

void keepFile(const std::string& path) {
  auto it = databaseState.removals.queued.find(path);
  if (it != databaseState.removals.queued.end() && !it->second.removing)
    databaseState.removals.queued.erase(it);
}

bool removalPending(const std::string& path) {
  return databaseState.removals.queued.count(path) != 0;
}

std::size_t pendingRemovalCount() { return databaseState.removals.queued.size(); }

bool holdForWriting(const std::string& path) {
  auto it = databaseState.removals.queued.find(path);
  if (it != databaseState.removals.queued.end() && it->second.removing) return false;
  NameHold& hold = databaseState.removals.holds[path];
  if (hold.writer) return false;
  hold.writer = true;
  return true;
}

void holdForKeeping(const std::string& path) { ++databaseState.removals.holds[path].keepers; }

void releaseWritingHold(const std::string& path) {
  auto it = databaseState.removals.holds.find(path);
  if (it == databaseState.removals.holds.end() || !it->second.writer) return;
  it->second.writer = false;
  dropHoldIfUnused(it);
}

void releaseKeepingHold(const std::string& path) {
  auto it = databaseState.removals.holds.find(path);
  if (it == databaseState.removals.holds.end() || it->second.keepers == 0) return;
  --it->second.keepers;
  dropHoldIfUnused(it);
}

void removeSavedAwayFiles(std::uint64_t savedChanges) {
  std::vector<QueuedRemoval> picked;
  {
    DatabaseLock lock(databaseMutex);
    if (databaseState.removals.queued.empty()) return;
    picked = pickRemovals(savedChanges);
  }
  if (picked.empty()) return;
  carryOut(picked);
  DatabaseLock lock(databaseMutex);
  dropCarriedOut(picked);
}

void removeSavedAwayFilesAtExit(std::uint64_t savedChanges) {
  const std::vector<QueuedRemoval> picked = pickRemovals(savedChanges);
  carryOut(picked);
  dropCarriedOut(picked);
}

void forgetDeferredRemovals() {
  databaseState.removals.queued.clear();
  databaseState.removals.holds.clear();
}
