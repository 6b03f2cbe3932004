// database_print.cpp -- kept prints of the elements of the four arrays and
// the database text made from them.
#include "storage/database_print.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace {

struct PrintFree {
  void operator()(char* text) const { cJSON_free(text); }
};
using PrintedText = std::unique_ptr<char, PrintFree>;
using Text = std::shared_ptr<const std::string>;

constexpr int kKeptArrays = 4;
// Elements per chunk: a snapshot copies one pointer per chunk, a change
// copies at most the chunk it falls in.
constexpr std::uint64_t kChunkSlots = 1024;
// How deep the root's members and their arrays' elements are nested.
constexpr int kMemberLevels = 1;
constexpr int kElementLevels = 2;
// The buffer records are printed into before their text is kept; a record
// that needs more is printed by cJSON_Print.
constexpr std::size_t kPrintBufferBytes = 64 * 1024;

// The kept prints of one array. Every element has a rank: ranks grow in
// array order (elements are only appended, never inserted) and a removed
// element leaves its slot empty, so the prints in rank order are the array's.
struct KeptArray {
  const cJSON* array = nullptr;
  // The ends the routines left the array with: other ends mean it was
  // changed some other way.
  const cJSON* first = nullptr;
  const cJSON* last = nullptr;
  std::vector<std::shared_ptr<PrintedChunk>> chunks;
  // The chunks a snapshot was given: they are copied before their next
  // change, so that the snapshot is read outside the lock while the store
  // changes only chunks of its own.
  std::vector<bool> chunkShared;
  std::uint64_t nextRank = 0;
  std::unordered_map<const cJSON*, std::uint64_t> rankOf;
  std::unordered_set<const cJSON*> pending;  // added or changed, not printed since
};

struct KeptPrints {
  KeptArray arrays[kKeptArrays];
};

KeptPrints& keptPrints() REQUIRES(databaseMutex) {
  static KeptPrints prints;
  return prints;
}

const cJSON* handleAt(int kind) REQUIRES(databaseMutex) {
  const cJSON* handles[kKeptArrays] = {newsArray, newsDetailArray, userArray, likeArray};
  return handles[kind];
}

int kindOf(const cJSON* array) REQUIRES(databaseMutex) {
  for (int kind = 0; kind < kKeptArrays; ++kind) {
    if (array != nullptr && handleAt(kind) == array) return kind;
  }
  return -1;
}

const cJSON* lastOf(const cJSON* array) {
  return array != nullptr && array->child != nullptr ? array->child->prev : nullptr;
}

void noteEnds(KeptArray& kept) {
  kept.first = kept.array != nullptr ? kept.array->child : nullptr;
  kept.last = lastOf(kept.array);
}

bool endsKnown(const KeptArray& kept) {
  auto known = [&](const cJSON* end) { return end == nullptr || kept.rankOf.count(end) != 0; };
  return known(kept.first) && known(kept.last);
}

// The slot of rank, in a chunk of the store's own: a chunk given to a
// snapshot is copied first.
Text& slotFor(KeptArray& kept, std::uint64_t rank) {
  const std::size_t chunk = static_cast<std::size_t>(rank / kChunkSlots);
  const std::size_t slot = static_cast<std::size_t>(rank % kChunkSlots);
  if (kept.chunks.size() <= chunk) {
    kept.chunks.resize(chunk + 1);
    kept.chunkShared.resize(chunk + 1, false);
  }
  std::shared_ptr<PrintedChunk>& held = kept.chunks[chunk];
  if (held == nullptr) {
    held = std::make_shared<PrintedChunk>();
  } else if (kept.chunkShared[chunk]) {
    held = std::make_shared<PrintedChunk>(*held);
  }
  kept.chunkShared[chunk] = false;
  if (held->texts.size() <= slot) held->texts.resize(slot + 1);
  return held->texts[slot];
}

void enter(KeptArray& kept, const cJSON* element) {
  const std::uint64_t rank = kept.nextRank++;
  kept.rankOf[element] = rank;
  kept.pending.insert(element);
  slotFor(kept, rank) = nullptr;
}

// Every element of array to be printed afresh.
void enterAll(KeptArray& kept, const cJSON* array) {
  kept = KeptArray();
  kept.array = array;
  if (cJSON_IsArray(array)) {
    for (const cJSON* element = array->child; element != nullptr; element = element->next) {
      enter(kept, element);
    }
  }
  noteEnds(kept);
}

// The kept prints of kind, started afresh when its array is another node or
// was changed without the routines.
KeptArray& currentKept(int kind) REQUIRES(databaseMutex) {
  KeptArray& kept = keptPrints().arrays[kind];
  const cJSON* array = handleAt(kind);
  if (kept.array != array ||
      (array != nullptr && (array->child != kept.first || lastOf(array) != kept.last))) {
    enterAll(kept, array);
  }
  return kept;
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
      slotFor(kept, rank->second) = std::make_shared<const std::string>(std::move(text));
      --limit;
    }
    it = kept.pending.erase(it);
  }
  return true;
}

// The text cJSON prints for a text item: a key or a text value.
bool printQuoted(const char* text, std::string& out) {
  std::unique_ptr<cJSON, decltype(&cJSON_Delete)> item(
      cJSON_CreateString(text != nullptr ? text : ""), &cJSON_Delete);
  if (item == nullptr) return false;
  PrintedText printed(cJSON_PrintUnformatted(item.get()));
  if (printed == nullptr) return false;
  out += printed.get();
  return true;
}

}  // namespace

std::string printNested(const cJSON* item, int levels) {
  // Most records fit the reused buffer and cost no allocation to print
  // (cJSON_PrintPreallocated prints exactly as cJSON_Print does).
  thread_local std::vector<char> buffer(kPrintBufferBytes);
  PrintedText large;
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
      if (!printPending(currentKept(kind), limit)) return true;  // the snapshot fails then
      if (limit == 0) break;
    }
    for (int kind = 0; kind < kKeptArrays; ++kind) {
      if (!keptPrints().arrays[kind].pending.empty()) return false;
    }
  } catch (const std::bad_alloc&) {
  }
  return true;
}

bool snapshotDatabase(DatabaseSnapshot& snapshot) {
  snapshot.stretches.clear();
  if (!cJSON_IsObject(databaseRoot)) return false;
  try {
    std::size_t unlimited = SIZE_MAX;
    for (int kind = 0; kind < kKeptArrays; ++kind) {
      if (!printPending(currentKept(kind), unlimited)) return false;
    }
    PrintedStretch fixed;
    fixed.text = "{\n";
    for (const cJSON* member = databaseRoot->child; member != nullptr; member = member->next) {
      fixed.text += '\t';
      if (!printQuoted(member->string, fixed.text)) return false;
      fixed.text += ":\t";
      const int kind = kindOf(member);
      if (kind >= 0) {
        fixed.text += '[';
        snapshot.stretches.push_back(std::move(fixed));
        PrintedStretch elements;
        elements.isArray = true;
        KeptArray& kept = keptPrints().arrays[kind];
        elements.chunks.assign(kept.chunks.begin(), kept.chunks.end());
        kept.chunkShared.assign(kept.chunks.size(), true);
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
    enterAll(keptPrints().arrays[kind], handleAt(kind));
  }
}

void printAppended(const cJSON* array, const cJSON* element) {
  const int kind = kindOf(array);
  if (kind < 0) return;
  KeptArray& kept = keptPrints().arrays[kind];
  // The element before it must be the last one the routines left; else the
  // array changed some other way and is taken afresh, element included.
  const cJSON* before = array->child != element ? element->prev : nullptr;
  if (kept.array != array || kept.last != before ||
      kept.first != (before != nullptr ? array->child : nullptr)) {
    enterAll(kept, array);
    return;
  }
  enter(kept, element);
  noteEnds(kept);
}

void printRemoved(const cJSON* array, const cJSON* element) {
  const int kind = kindOf(array);
  if (kind < 0) return;
  KeptArray& kept = keptPrints().arrays[kind];
  auto rank = kept.rankOf.find(element);
  if (kept.array != array || rank == kept.rankOf.end()) {
    kept.array = nullptr;  // taken afresh when next used
    return;
  }
  slotFor(kept, rank->second) = nullptr;
  kept.rankOf.erase(rank);
  kept.pending.erase(element);
  noteEnds(kept);
  if (!endsKnown(kept)) kept.array = nullptr;
}

void printChanged(const cJSON* element) {
  for (KeptArray& kept : keptPrints().arrays) {
    if (kept.rankOf.count(element) != 0) {
      kept.pending.insert(element);
      return;
    }
  }
}
