// database_print.h -- the saves' database text, made from a kept print of
// every element of the four arrays: a save prints only the elements added or
// changed since the last one, so it holds the database lock for that and a
// copy of a few hundred pointers; joining and compression follow without it.
//
// The text is byte for byte cJSON_Print(databaseRoot): a value nested n
// levels deep prints as its own cJSON_Print with n more tabs after every line
// break (the root object and an element's array each count a level). The
// routines of record_changes.h keep the prints in step through printAppended,
// printRemoved and printChanged.
#pragma once

#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "storage/database_lock.h"

// Kept prints of consecutive elements of one array, in array order (null for
// an element not printed yet), shared between the store and the snapshots
// taken of it. A removed element leaves no slot: the store's memory and the
// saves' walk over it follow the live elements only.
struct PrintedChunk {
  std::vector<std::shared_ptr<const std::string>> texts;
};

// One stretch of the database text: fixed text, or the prints of an array's
// elements, written between "[" and "]" and separated by ", ".
struct PrintedStretch {
  std::string text;
  bool isArray = false;
  std::vector<std::shared_ptr<const PrintedChunk>> chunks;
};

// The database text as it stood when the snapshot was taken; only read after,
// it needs no lock.
struct DatabaseSnapshot {
  std::vector<PrintedStretch> stretches;
};

// The four arrays, in the order of their kept prints: news, news details,
// users, likes.
constexpr int kKeptArrays = 4;
// Elements per chunk: a snapshot copies one pointer per chunk, a change
// copies at most the chunk it falls in.
constexpr std::size_t kChunkSlots = 1024;

// The prints of a run of consecutive elements of one array, as the store
// keeps them: the prints (shared with the snapshots) and the rank of each.
struct KeptChunk {
  std::shared_ptr<PrintedChunk> prints;
  std::vector<std::uint64_t> ranks;  // ascending, one per print
  // Given to a snapshot: copied before its next change, so that the snapshot
  // is read outside the lock while the store changes only chunks of its own.
  bool shared = false;
};

// The kept prints of one array. Every element has a rank: ranks grow in
// array order (elements are only appended, never inserted), so the chunks in
// rank order hold the array's prints in its order. A removed element leaves
// no slot behind: chunks hold the live elements only, a chunk left empty is
// dropped, and a chunk that falls to a quarter full is merged into a
// neighbour with room, so that memory follows the live elements.
struct KeptArray {
  std::vector<KeptChunk> chunks;  // in rank order, none empty
  std::uint64_t nextRank = 0;
  std::unordered_map<const cJSON*, std::uint64_t> rankOf;
  std::unordered_set<const cJSON*> pending;  // added or changed, not printed since
};

// The kept prints part of the database (DatabaseState::keptPrints).
struct KeptPrints {
  KeptArray arrays[kKeptArrays];
  std::size_t chunkSlots = kChunkSlots;  // or what a test set
};

// Prints up to limit of the elements added or changed since they were last
// printed. True when none is left to print.
bool printPendingRecords(std::size_t limit) REQUIRES(databaseMutex);

// Prints every element still to print and fills snapshot with the whole text
// of databaseRoot. False when the database is missing or memory runs out.
bool snapshotDatabase(DatabaseSnapshot& snapshot) REQUIRES(databaseMutex);

// Hands the text of snapshot to write in order, one piece at a time: the text
// cJSON_Print would have printed of the tree then, never joined whole here.
void writeDatabaseText(const DatabaseSnapshot& snapshot,
                       const std::function<void(const char* data, std::size_t size)>& write);

// The text of snapshot joined. Throws std::bad_alloc when memory runs out.
std::string databaseText(const DatabaseSnapshot& snapshot);

// Starts the kept prints afresh for the database now installed: every
// element of the four arrays is to be printed.
void resetPrintedRecords() REQUIRES(databaseMutex);

// element was appended to array, one of the four arrays, by a routine.
void printAppended(const cJSON* array, const cJSON* element) REQUIRES(databaseMutex);

// element was detached from array by a routine (it is not read again).
void printRemoved(const cJSON* array, const cJSON* element) REQUIRES(databaseMutex);

// element, an element of one of the four arrays, was changed in place.
void printChanged(const cJSON* element) REQUIRES(databaseMutex);

// What the kept prints of array, one of the four arrays, hold now: the
// elements they know, the slots their chunks have room for, their chunks, and
// the buckets of their rank map and pending set. For the tests, which check
// that the bookkeeping follows the live elements.
struct KeptPrintsFootprint {
  std::size_t elements = 0;
  std::size_t slots = 0;
  std::size_t chunks = 0;
  std::size_t buckets = 0;
};
KeptPrintsFootprint keptPrintsFootprint(const cJSON* array) REQUIRES(databaseMutex);

namespace databaseprint_detail {
// Sets the elements per chunk (1024 in the node; at least 1) and starts the
// kept prints afresh, so that tests and the fuzz target reach the merging of
// chunks with few elements.
void setChunkSlots(std::size_t slots) REQUIRES(databaseMutex);
}  // namespace databaseprint_detail

// cJSON_Print(item) as it appears nested levels deep (that many tabs after
// every line break); "" when cJSON cannot print it.
std::string printNested(const cJSON* item, int levels);
