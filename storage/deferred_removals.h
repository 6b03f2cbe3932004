// deferred_removals.h -- removals of the files the database no longer names,
// carried out once a save that no longer names them is on disk, and the names
// requests hold while they write or name a file without the database lock.
//
// A change that stops naming a file queues its removal in the same hold of
// the lock (deferRemoval, record_changes.h); a change that names it again
// drops it (keepFile). The writer removes a file only after a save holding
// that change is renamed and synced: until then a crash restores a record
// that must find its file. It passes over held names, and no name is held
// for writing twice, so no request loses a file it is about to name. Every
// routine but removeSavedAwayFiles needs the database lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "storage/database_lock.h"

// What a removal does with the directories its file leaves empty.
enum class EmptiedDirectories {
  kKept,             // none is removed
  kRemovedWithFile,  // removed only when the file itself was removed
  kRemoved,          // removed whether or not the file could be removed
};

// One file to remove, and the chain of directories above it that goes when
// left empty: deepestDirectory, then each parent, up to (never including)
// stopAt. deepestDirectory empty: no directory is removed.
struct FileRemoval {
  std::string path;
  std::string deepestDirectory;
  std::string stopAt;
  EmptiedDirectories directories = EmptiedDirectories::kKept;
};

struct QueuedRemoval {
  FileRemoval removal;
  std::uint64_t queuedAt = 0;  // databaseChangeCount() when it was queued
  bool removing = false;       // picked by the writer, whose removal is under way
};

struct NameHold {
  int keepers = 0;
  bool writer = false;
};

// The pending removals part of the database (DatabaseState::removals): the
// queued files and the held names, each by path.
struct DeferredRemovals {
  std::unordered_map<std::string, QueuedRemoval> queued;
  std::unordered_map<std::string, NameHold> holds;
};

// True while the removal of path waits or is being carried out.
bool removalPending(const std::string& path) REQUIRES(databaseMutex);

// The number of files whose removal waits or is being carried out.
std::size_t pendingRemovalCount() REQUIRES(databaseMutex);

// Holds path for a request that is about to write the file. False, with
// nothing held, when another request holds it for writing or the writer is
// removing it now: the caller refuses its request.
bool holdForWriting(const std::string& path) REQUIRES(databaseMutex);

// Holds path for a request that is about to name the file as it is. Several
// requests may hold a name so, also beside one that writes it.
void holdForKeeping(const std::string& path) REQUIRES(databaseMutex);

// Ends a hold taken above (the same kind); a name not so held is ignored.
void releaseWritingHold(const std::string& path) REQUIRES(databaseMutex);
void releaseKeepingHold(const std::string& path) REQUIRES(databaseMutex);

// After a save whose snapshot was taken at databaseChangeCount() ==
// savedChanges is on disk (renamed and its directory synced): removes every
// queued file whose removal was queued by then and whose name no request
// holds, with the directories its entry says. Takes the database lock only
// to pick the files and to drop them from the list; the files themselves are
// removed without it. Errors are passed over: a file that cannot be removed
// is dropped from the list all the same.
void removeSavedAwayFiles(std::uint64_t savedChanges) EXCLUDES(databaseMutex);

// The same for the final save on stop, whose caller holds the database lock
// for good (nothing may change after that snapshot): the files are removed
// with the lock held, since no request can be served any more.
void removeSavedAwayFilesAtExit(std::uint64_t savedChanges) REQUIRES(databaseMutex);

// Forgets every queued removal and every hold: a database installed in place
// of another starts with nothing pending.
void forgetDeferredRemovals() REQUIRES(databaseMutex);
