// database_print.cpp -- kept prints of the elements of the four arrays and
// the database text made from them.
#include "storage/database_print.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "storage/database.h"
#include "storage/json_tree.h"

namespace {

using Text = std::shared_ptr<const std::string>;

// A vector or a hash table's bucket array holding more than kSparseFactor
// times the room its elements need (and more than kShrinkFloor) is shrunk.
constexpr std::size_t kSparseFactor = 4;
constexpr std::size_t kShrinkFloor = 16;
// How deep the root's members and their arrays' elements are nested.
constexpr int kMemberLevels = 1;
constexpr int kElementLevels = 2;
// The buffer records are printed into before their text is kept; a record
// that needs more is printed by cJSON_Print.
constexpr std::size_t kPrintBufferBytes = 64 * 1024;

const cJSON* handleAt(int kind) REQUIRES(databaseMutex) {
  const cJSON* handles[kKeptArrays] = {databaseState.newsArray, databaseState.newsDetailArray,
                                       databaseState.userArray, databaseState.likeArray};
  return handles[kind];
}

int kindOf(const cJSON* array) REQUIRES(databaseMutex) {
  for (int kind = 0; kind < kKeptArrays; ++kind) {
    if (array != nullptr && handleAt(kind) == array) return kind;
  }
  return -1;
}

// Gives back the room of a vector that removals left far below its capacity
// (a copy of its size), so that a peak of elements is not kept for ever.
template <typename T>
void shrinkIfSparse(std::vector<T>& items) {
  if (items.capacity() > kSparseFactor * std::max(items.size(), kShrinkFloor)) {
    items.shrink_to_fit();
  }
}

// The same for the bucket array of a hash map or set, which erasing never
// shrinks: rehash(0) gives it the size its elements need.
template <typename Table>
void rehashIfSparse(Table& table) {
  if (table.bucket_count() > kSparseFactor * std::max(table.size(), kShrinkFloor)) {
    table.rehash(0);
  }
}

// Where the element of rank is kept: its chunk and its slot in it.
struct Place {
  std::size_t chunk;
  std::size_t slot;
};

// The place of rank, one of the ranks kept.
Place placeOf(const KeptArray& kept, std::uint64_t rank) {
  auto after = std::upper_bound(
      kept.chunks.begin(), kept.chunks.end(), rank,
      [](std::uint64_t r, const KeptChunk& chunk) { return r < chunk.ranks.front(); });
  const std::size_t chunk = static_cast<std::size_t>(after - kept.chunks.begin()) - 1;
  const std::vector<std::uint64_t>& ranks = kept.chunks[chunk].ranks;
  const auto slot = std::lower_bound(ranks.begin(), ranks.end(), rank) - ranks.begin();
  return {chunk, static_cast<std::size_t>(slot)};
}

// The prints of chunk as the store's own: a chunk given to a snapshot is
// copied first.
std::vector<Text>& ownPrints(KeptChunk& chunk) {
  if (chunk.shared) {
    chunk.prints = std::make_shared<PrintedChunk>(*chunk.prints);
    chunk.shared = false;
  }
  return chunk.prints->texts;
}

// Merges the chunk at index with the next one into one chunk of the store's
// own.
void mergeWithNext(KeptArray& kept, std::size_t index) {
  KeptChunk& into = kept.chunks[index];
  KeptChunk& from = kept.chunks[index + 1];
  auto merged = std::make_shared<PrintedChunk>();
  merged->texts.reserve(into.ranks.size() + from.ranks.size());
  merged->texts.insert(merged->texts.end(), into.prints->texts.begin(), into.prints->texts.end());
  merged->texts.insert(merged->texts.end(), from.prints->texts.begin(), from.prints->texts.end());
  into.ranks.insert(into.ranks.end(), from.ranks.begin(), from.ranks.end());
  into.prints = std::move(merged);
  into.shared = false;
  kept.chunks.erase(kept.chunks.begin() + static_cast<std::ptrdiff_t>(index) + 1);
}

// After a removal from the chunk at index: drops it when empty, or merges it
// into the smaller of its neighbours when it is at most a quarter full and
// the two fit one chunk. Chunks are made only by appends, one per chunkSlots
// of them, so merges cost no more than the appends did.
void closeUp(KeptArray& kept, std::size_t index) REQUIRES(databaseMutex) {
  const std::size_t size = kept.chunks[index].ranks.size();
  const std::size_t slots = databaseState.keptPrints.chunkSlots;
  if (size == 0) {
    kept.chunks.erase(kept.chunks.begin() + static_cast<std::ptrdiff_t>(index));
  } else if (size <= slots / 4) {
    auto room = [&](std::size_t other) {
      return other < kept.chunks.size() && size + kept.chunks[other].ranks.size() <= slots
                 ? kept.chunks[other].ranks.size()
                 : SIZE_MAX;
    };
    const std::size_t before = index > 0 ? room(index - 1) : SIZE_MAX;
    const std::size_t after = room(index + 1);
    if (before != SIZE_MAX && before <= after) {
      mergeWithNext(kept, index - 1);
    } else if (after != SIZE_MAX) {
      mergeWithNext(kept, index);
    } else {
      shrinkIfSparse(kept.chunks[index].ranks);
      shrinkIfSparse(ownPrints(kept.chunks[index]));
    }
  }
  shrinkIfSparse(kept.chunks);
}

// Gives element, just appended to its array, the next rank and an empty slot
// at the end of the last chunk, to be printed by the next save.
void addSlot(KeptArray& kept, const cJSON* element) REQUIRES(databaseMutex) {
  const std::uint64_t rank = kept.nextRank++;
  kept.rankOf[element] = rank;
  kept.pending.insert(element);
  if (kept.chunks.empty() ||
      kept.chunks.back().ranks.size() >= databaseState.keptPrints.chunkSlots) {
    kept.chunks.push_back(KeptChunk{std::make_shared<PrintedChunk>(), {}, false});
  }
  KeptChunk& last = kept.chunks.back();
  ownPrints(last).push_back(nullptr);
  last.ranks.push_back(rank);
}

// Every element of array given a slot afresh, to be printed.
void addSlotsForAll(KeptArray& kept, const cJSON* array) REQUIRES(databaseMutex) {
  kept = KeptArray();
  if (cJSON_IsArray(array)) {
    for (const cJSON* element = array->child; element != nullptr; element = element->next) {
      addSlot(kept, element);
    }
  }
}

// Prints up to limit pending elements of kept; false when memory runs out.
bool printPending(KeptArray& kept, std::size_t& limit) {
  auto it = kept.pending.begin();
  while (it != kept.pending.end() && limit > 0) {
    const cJSON* element = *it;
    auto rank = kept.rankOf.find(element);
    if (rank != kept.rankOf.end()) {
      std::string text = printNested(element, kElementLevels);
      if (text.empty()) return false;
      const Place place = placeOf(kept, rank->second);
      ownPrints(kept.chunks[place.chunk])[place.slot] =
          std::make_shared<const std::string>(std::move(text));
      --limit;
    }
    it = kept.pending.erase(it);
  }
  rehashIfSparse(kept.pending);
  return true;
}

// The text cJSON prints for a text item: a key or a text value.
bool printQuoted(const char* text, std::string& out) {
  JsonTree item(cJSON_CreateString(text != nullptr ? text : ""));
  if (item == nullptr) return false;
  JsonText printed(cJSON_PrintUnformatted(item.get()));
  if (printed == nullptr) return false;
  out += printed.get();
  return true;
}

}  // namespace

std::string printNested(const cJSON* item, int levels) {
  // Most records fit the reused buffer and cost no allocation to print
  // (cJSON_PrintPreallocated prints exactly as cJSON_Print does).
  thread_local std::vector<char> buffer(kPrintBufferBytes);
  JsonText large;
  const char* from = buffer.data();
  if (!cJSON_PrintPreallocated(const_cast<cJSON*>(item), buffer.data(),
                               static_cast<int>(buffer.size()), 1)) {
    large.reset(cJSON_Print(item));
    if (large == nullptr) return "";
    from = large.get();
  }
  const std::size_t length = std::strlen(from);
  std::string text;
  // A record prints about one line per member.
  text.reserve(length + length / 8 * static_cast<std::size_t>(levels));
  const char* rest = from;
  const char* end = from + length;
  while (rest < end) {
    const char* lineBreak = static_cast<const char*>(std::memchr(rest, '\n', end - rest));
    if (lineBreak == nullptr) {
      text.append(rest, end);
      break;
    }
    text.append(rest, lineBreak + 1);
    text.append(static_cast<std::size_t>(levels), '\t');
    rest = lineBreak + 1;
  }
  return text;
}

bool printPendingRecords(std::size_t limit) {
  try {
    for (int kind = 0; kind < kKeptArrays; ++kind) {
      if (!printPending(databaseState.keptPrints.arrays[kind], limit))
        return true;  // the snapshot fails then
      if (limit == 0) break;
    }
    for (int kind = 0; kind < kKeptArrays; ++kind) {
      if (!databaseState.keptPrints.arrays[kind].pending.empty()) return false;
    }
  } catch (const std::bad_alloc&) {
  }
  return true;
}

bool snapshotDatabase(DatabaseSnapshot& snapshot) {
  snapshot.stretches.clear();
  if (!cJSON_IsObject(databaseState.root)) return false;
  try {
    std::size_t unlimited = SIZE_MAX;
    for (int kind = 0; kind < kKeptArrays; ++kind) {
      if (!printPending(databaseState.keptPrints.arrays[kind], unlimited)) return false;
    }
    PrintedStretch fixed;
    fixed.text = "{\n";
    for (const cJSON* member = databaseState.root->child; member != nullptr;
         member = member->next) {
      fixed.text += '\t';
      if (!printQuoted(member->string, fixed.text)) return false;
      fixed.text += ":\t";
      const int kind = kindOf(member);
      if (kind >= 0) {
        fixed.text += '[';
        snapshot.stretches.push_back(std::move(fixed));
        PrintedStretch elements;
        elements.isArray = true;
        KeptArray& kept = databaseState.keptPrints.arrays[kind];
        elements.chunks.reserve(kept.chunks.size());
        for (KeptChunk& chunk : kept.chunks) {
          elements.chunks.push_back(chunk.prints);
          chunk.shared = true;
        }
        snapshot.stretches.push_back(std::move(elements));
        fixed = PrintedStretch();
        fixed.text = "]";
      } else {
        std::string value = printNested(member, kMemberLevels);
        if (value.empty()) return false;
        fixed.text += value;
      }
      if (member->next != nullptr) fixed.text += ',';
      fixed.text += '\n';
    }
    fixed.text += '}';
    snapshot.stretches.push_back(std::move(fixed));
    return true;
  } catch (const std::bad_alloc&) {
    snapshot.stretches.clear();
    return false;
  }
}

void writeDatabaseText(const DatabaseSnapshot& snapshot,
                       const std::function<void(const char* data, std::size_t size)>& write) {
  constexpr char kSeparator[] = ", ";
  for (const PrintedStretch& stretch : snapshot.stretches) {
    write(stretch.text.data(), stretch.text.size());
    bool first = true;
    for (const auto& chunk : stretch.chunks) {
      if (chunk == nullptr) continue;
      for (const Text& text : chunk->texts) {
        if (text == nullptr) continue;
        if (!first) write(kSeparator, sizeof kSeparator - 1);
        first = false;
        write(text->data(), text->size());
      }
    }
  }
}

std::string databaseText(const DatabaseSnapshot& snapshot) {
  std::string joined;
  writeDatabaseText(snapshot,
                    [&](const char* data, std::size_t size) { joined.append(data, size); });
  return joined;
}

void resetPrintedRecords() {
  for (int kind = 0; kind < kKeptArrays; ++kind) {
    addSlotsForAll(databaseState.keptPrints.arrays[kind], handleAt(kind));
  }
}

void printAppended(const cJSON* array, const cJSON* element) {
  const int kind = kindOf(array);
  if (kind < 0) return;
  addSlot(databaseState.keptPrints.arrays[kind], element);
}

void printRemoved(const cJSON* array, const cJSON* element) {
  const int kind = kindOf(array);
  if (kind < 0) return;
  KeptArray& kept = databaseState.keptPrints.arrays[kind];
  auto rank = kept.rankOf.find(element);
  if (rank == kept.rankOf.end()) return;
  const Place place = placeOf(kept, rank->second);
  KeptChunk& chunk = kept.chunks[place.chunk];
  std::vector<Text>& texts = ownPrints(chunk);
  texts.erase(texts.begin() + static_cast<std::ptrdiff_t>(place.slot));
  chunk.ranks.erase(chunk.ranks.begin() + static_cast<std::ptrdiff_t>(place.slot));
  closeUp(kept, place.chunk);
  kept.rankOf.erase(rank);
  kept.pending.erase(element);
  rehashIfSparse(kept.rankOf);
  rehashIfSparse(kept.pending);
}

void printChanged(const cJSON* element) {
  for (KeptArray& kept : databaseState.keptPrints.arrays) {
    if (kept.rankOf.count(element) != 0) {
      kept.pending.insert(element);
      return;
    }
  }
}

KeptPrintsFootprint keptPrintsFootprint(const cJSON* array) {
  KeptPrintsFootprint footprint;
  const int kind = kindOf(array);
  if (kind < 0) return footprint;
  const KeptArray& kept = databaseState.keptPrints.arrays[kind];
  footprint.elements = kept.rankOf.size();
  footprint.chunks = kept.chunks.size();
  for (const KeptChunk& chunk : kept.chunks) {
    footprint.slots += std::max(chunk.ranks.capacity(), chunk.prints->texts.capacity());
  }
  footprint.buckets = kept.rankOf.bucket_count() + kept.pending.bucket_count();
  return footprint;
}

namespace databaseprint_detail {

void setChunkSlots(std::size_t slots) {
  databaseState.keptPrints.chunkSlots = std::max<std::size_t>(slots, 1);
  resetPrintedRecords();
}

}  // namespace databaseprint_detail
