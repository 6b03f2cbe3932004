// request_text.cpp -- searches of the request text (request line, headers, body).
#include "http/request_text.h"

#include <string.h>

#include <climits>
#include <cstddef>
#include <stdexcept>

namespace {

constexpr std::string_view kContentTypeName = "Content-Type:";
constexpr std::string_view kContentLengthName = "Content-Length:";
constexpr std::string_view kBoundaryName = "boundary=";
constexpr std::string_view kEmptyLine = "\r\n\r\n";
// Where the Content-Type value ends; the NUL is part of the set.
constexpr std::string_view kContentTypeEnds("\r\n;\0", 4);

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// First occurrence of name in text, ASCII letters compared without case
// (HTTP field names are case-insensitive), or npos.
std::size_t findIgnoringCase(std::string_view text, std::string_view name) {
  if (name.size() > text.size()) return std::string_view::npos;
  for (std::size_t at = 0; at + name.size() <= text.size(); ++at) {
    std::size_t i = 0;
    while (i < name.size() && asciiLower(text[at + i]) == asciiLower(name[i])) ++i;
    if (i == name.size()) return at;
  }
  return std::string_view::npos;
}

enum class Decimal { kNoDigits, kRead, kOutOfRange };

// Reads a decimal int as std::stoi does (leading white space skipped, an
// optional sign, digits; the rest ignored), in place: a long value is never
// copied out of the text.
Decimal readDecimal(std::string_view text, int& value) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t digitsStart = i;
  long long magnitude = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    magnitude = magnitude * 10 + (text[i] - '0');
    // Past this the number is out of range whatever follows; stop before overflow.
    if (magnitude > static_cast<long long>(INT_MAX) + 1) return Decimal::kOutOfRange;
    ++i;
  }
  if (i == digitsStart) return Decimal::kNoDigits;
  const long long signedValue = negative ? -magnitude : magnitude;
  if (signedValue > INT_MAX || signedValue < INT_MIN) return Decimal::kOutOfRange;
  value = static_cast<int>(signedValue);
  return Decimal::kRead;
}

// The Content-Length value: where it ends in the text and its number.
struct LengthValue {
  bool found = false;  // false: no header, or a value without digits
  int number = 0;
  std::size_t end = 0;  // index of the first CR after the value, or the text's length
};

// Reads the first "Content-Length:" value up to the next CR as std::stoi
// would. A value beyond the int range throws std::out_of_range.
LengthValue readContentLength(std::string_view text) {
  LengthValue value;
  std::size_t at = findIgnoringCase(text, kContentLengthName);
  if (at == std::string_view::npos) return value;
  std::size_t start = at + kContentLengthName.size();
  if (start < text.size() && text[start] == ' ') ++start;
  std::size_t end = text.find('\r', start);
  if (end == std::string_view::npos) end = text.size();
  switch (readDecimal(text.substr(start, end - start), value.number)) {
    case Decimal::kNoDigits:
      return value;
    case Decimal::kOutOfRange:
      throw std::out_of_range("Content-Length beyond the int range");
    case Decimal::kRead:
      break;
  }
  value.found = true;
  value.end = end;
  return value;
}

}  // namespace

int parseRequestLine(std::string_view text, std::string_view& method, std::string_view& path) {
  std::size_t first = text.find(' ');
  if (first == std::string_view::npos) return 1;
  method = text.substr(0, first);
  std::size_t second = text.find(' ', first + 1);
  if (second == std::string_view::npos) return 1;
  path = text.substr(first + 1, second - first - 1);
  return 0;
}

std::string getContentType(std::string_view text) {
  std::size_t at = findIgnoringCase(text, kContentTypeName);
  if (at == std::string_view::npos) return kRequestItemMissing;
  std::size_t start = at + kContentTypeName.size();
  if (start < text.size() && text[start] == ' ') ++start;
  std::size_t end = text.find_first_of(kContentTypeEnds, start);
  if (end == std::string_view::npos) end = text.size();
  return std::string(text.substr(start, end - start));
}

std::string getBoundary(std::string_view text) {
  std::size_t at = findIgnoringCase(text, kBoundaryName);
  if (at == std::string_view::npos) return kRequestItemMissing;
  std::size_t start = at + kBoundaryName.size();
  std::size_t end = text.find('\r', start);
  if (end == std::string_view::npos) end = text.size();
  return std::string(text.substr(start, end - start));
}

int expectedRequestLength(std::string_view text) {
  LengthValue length = readContentLength(text);
  if (!length.found) return -1;
  std::size_t blank = text.find(kEmptyLine, length.end);
  if (blank == std::string_view::npos) return 1;
  // Formed in 64 bits: a large announced length must not wrap the int total.
  long long total = static_cast<long long>(length.number) + static_cast<long long>(blank) +
                    static_cast<long long>(kEmptyLine.size());
  if (total > INT_MAX) throw std::out_of_range("announced request length beyond the int range");
  return static_cast<int>(total);
}

std::string_view getRequestBody(std::string_view text) {
  LengthValue length = readContentLength(text);
  if (!length.found) return kRequestItemMissing;
  std::size_t blank = text.find(kEmptyLine, length.end);
  if (blank == std::string_view::npos) return kRequestItemMissing;
  std::size_t start = blank + kEmptyLine.size();
  long long end = static_cast<long long>(length.number) + static_cast<long long>(start);
  if (end < 0 || end > static_cast<long long>(text.size())) return kRequestItemMissing;
  if (length.number < 0) return text.substr(start);
  return text.substr(start, static_cast<std::size_t>(length.number));
}

std::size_t findBytes(std::string_view text, std::string_view needle, std::size_t from) {
  if (from > text.size()) return std::string_view::npos;
  const void* found = memmem(text.data() + from, text.size() - from, needle.data(), needle.size());
  if (found == nullptr) return std::string_view::npos;
  return static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
}

bool isDigits(std::string_view text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool readDecimalInt(std::string_view text, int& value) {
  return readDecimal(text, value) == Decimal::kRead;
}
