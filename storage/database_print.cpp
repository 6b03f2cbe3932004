// database_print.cpp -- kept prints of the records and the database text
// made from them.
#include "storage/database_print.h"

#include <cstring>
#include <new>
#include <unordered_map>
#include <utility>

namespace {

struct PrintFree {
  void operator()(char* text) const { cJSON_free(text); }
};
using PrintedText = std::unique_ptr<char, PrintFree>;

// The print of one element, and the element and stamp it was made of.
struct KeptPrint {
  const cJSON* element = nullptr;
  double stamp = 0;
  std::shared_ptr<const std::string> text;
};

// The kept prints of one of the four arrays, in array order.
struct KeptArray {
  const cJSON* array = nullptr;
  std::vector<KeptPrint> prints;
};

constexpr int kKeptArrays = 4;
// The buffer records are printed into before their text is kept; a record
// that needs more is printed by cJSON_Print.
constexpr size_t kPrintBufferBytes = 64 * 1024;
// How deep the root's members and their arrays' elements are nested.
constexpr int kMemberLevels = 1;
constexpr int kElementLevels = 2;
// How far ahead among the kept prints an element is looked for before the
// kept prints are looked up by element.
constexpr size_t kLookAhead = 8;

struct KeptPrints {
  KeptArray arrays[kKeptArrays];
};

KeptPrints& keptPrints() REQUIRES(databaseMutex) {
  static KeptPrints prints;
  return prints;
}

// The text cJSON prints for a text item: a key or a text value.
bool printQuoted(const char* text, std::string& out) {
  std::unique_ptr<cJSON, decltype(&cJSON_Delete)> item(cJSON_CreateString(text != nullptr ? text : ""),
                                                       &cJSON_Delete);
  if (item == nullptr) return false;
  PrintedText printed(cJSON_PrintUnformatted(item.get()));
  if (printed == nullptr) return false;
  out += printed.get();
  return true;
}

// Brings kept up to date with array: an element found among the kept prints
// with the same stamp keeps its text; any other is printed now. Elements
// without a stamp (numbers, or records placed without a storage routine) are
// printed every time.
bool refresh(KeptArray& kept, const cJSON* array) {
  std::vector<KeptPrint> old;
  if (kept.array == array) old = std::move(kept.prints);
  kept.array = array;
  kept.prints.clear();
  std::unordered_map<const cJSON*, size_t> oldPlaces;  // made at the first misfit only
  size_t next = 0;
  for (const cJSON* element = array->child; element != nullptr; element = element->next) {
    const double stamp = recordStamp(element);
    KeptPrint* reused = nullptr;
    if (stamp != 0) {
      size_t place = next;
      // A few elements removed since the last print are stepped over.
      for (size_t ahead = 1; ahead <= kLookAhead && place < old.size() &&
                             old[place].element != element && next + ahead < old.size();
           ++ahead) {
        if (old[next + ahead].element == element) place = next + ahead;
      }
      if (place >= old.size() || old[place].element != element) {
        if (oldPlaces.empty()) {
          for (size_t i = 0; i < old.size(); ++i) oldPlaces.emplace(old[i].element, i);
        }
        auto found = oldPlaces.find(element);
        place = found != oldPlaces.end() ? found->second : old.size();
      }
      if (place < old.size()) {
        next = place + 1;
        if (old[place].stamp == stamp && old[place].text != nullptr) reused = &old[place];
      }
    }
    if (reused != nullptr) {
      kept.prints.push_back(std::move(*reused));
      continue;
    }
    std::string text = printNested(element, kElementLevels);
    if (text.empty()) return false;
    kept.prints.push_back(
        KeptPrint{element, stamp, std::make_shared<const std::string>(std::move(text))});
  }
  return true;
}

// The kept prints of array, brought up to date; null when array is not one of
// the four (or memory ran out).
const KeptArray* keptFor(const cJSON* array) REQUIRES(databaseMutex) {
  const cJSON* handles[kKeptArrays] = {newsArray, newsDetailArray, userArray, likeArray};
  for (int i = 0; i < kKeptArrays; ++i) {
    if (array != nullptr && handles[i] == array) {
      KeptArray& kept = keptPrints().arrays[i];
      if (!refresh(kept, array)) {
        kept = KeptArray();
        return nullptr;
      }
      return &kept;
    }
  }
  return nullptr;
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
  const size_t length = std::strlen(from);
  std::string text;
  // A record prints about one line per member.
  text.reserve(length + length / 8 * static_cast<size_t>(levels));
  const char* rest = from;
  const char* end = from + length;
  while (rest < end) {
    const char* lineBreak = static_cast<const char*>(std::memchr(rest, '\n', end - rest));
    if (lineBreak == nullptr) {
      text.append(rest, end);
      break;
    }
    text.append(rest, lineBreak + 1);
    text.append(static_cast<size_t>(levels), '\t');
    rest = lineBreak + 1;
  }
  return text;
}

bool snapshotDatabase(DatabaseSnapshot& snapshot) {
  snapshot.stretches.clear();
  if (!cJSON_IsObject(databaseRoot)) return false;
  try {
    PrintedStretch fixed;
    fixed.text = "{\n";
    for (const cJSON* member = databaseRoot->child; member != nullptr; member = member->next) {
      fixed.text += '\t';
      if (!printQuoted(member->string, fixed.text)) return false;
      fixed.text += ":\t";
      const KeptArray* kept = cJSON_IsArray(member) ? keptFor(member) : nullptr;
      if (kept != nullptr) {
        fixed.text += '[';
        snapshot.stretches.push_back(std::move(fixed));
        PrintedStretch elements;
        elements.isArray = true;
        elements.elements.reserve(kept->prints.size());
        for (const KeptPrint& print : kept->prints) elements.elements.push_back(print.text);
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

std::string databaseText(const DatabaseSnapshot& snapshot) {
  size_t size = 0;
  for (const PrintedStretch& stretch : snapshot.stretches) {
    size += stretch.text.size();
    for (const auto& element : stretch.elements) size += element->size() + 2;
  }
  std::string text;
  text.reserve(size);
  for (const PrintedStretch& stretch : snapshot.stretches) {
    if (!stretch.isArray) {
      text += stretch.text;
      continue;
    }
    bool first = true;
    for (const auto& element : stretch.elements) {
      if (!first) text += ", ";
      first = false;
      text += *element;
    }
  }
  return text;
}

bool keepPrintedRecords() {
  try {
    const cJSON* handles[kKeptArrays] = {newsArray, newsDetailArray, userArray, likeArray};
    for (const cJSON* array : handles) {
      if (cJSON_IsArray(array) && keptFor(array) == nullptr) return false;
    }
    return true;
  } catch (const std::bad_alloc&) {
    forgetPrintedRecords();
    return false;
  }
}

void forgetPrintedRecords() { keptPrints() = KeptPrints(); }
