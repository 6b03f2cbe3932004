// request_text.cpp -- searches of the request text (request line, headers, body).
#include "http/request_text.h"

#include <climits>
#include <cstddef>
#include <stdexcept>

namespace {

constexpr const char* kContentTypeName = "Content-Type:";
constexpr const char* kContentLengthName = "Content-Length:";
constexpr const char* kBoundaryName = "boundary=";
constexpr const char* kEmptyLine = "\r\n\r\n";
constexpr std::size_t kEmptyLineLength = 4;

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// First occurrence of name in text, ASCII letters compared without case
// (HTTP field names are case-insensitive), or npos.
std::size_t findIgnoringCase(const std::string& text, const std::string& name) {
  if (name.size() > text.size()) return std::string::npos;
  for (std::size_t at = 0; at + name.size() <= text.size(); ++at) {
    std::size_t i = 0;
    while (i < name.size() && asciiLower(text[at + i]) == asciiLower(name[i])) ++i;
    if (i == name.size()) return at;
  }
  return std::string::npos;
}

// The Content-Length value: where it ends in the text and its number.
struct LengthValue {
  bool found = false;  // false: no header, or a value without digits
  int number = 0;
  std::size_t end = 0;  // index of the first CR after the value, or the text's length
};

// Reads the first "Content-Length:" value with std::stoi (leading white
// space skipped, optional sign, digits; the rest ignored). A value beyond
// the int range lets std::out_of_range leave.
LengthValue readContentLength(const std::string& text) {
  LengthValue value;
  std::size_t at = findIgnoringCase(text, kContentLengthName);
  if (at == std::string::npos) return value;
  std::size_t start = at + std::string(kContentLengthName).size();
  if (start < text.size() && text[start] == ' ') ++start;
  std::size_t end = text.find('\r', start);
  if (end == std::string::npos) end = text.size();
  try {
    value.number = std::stoi(text.substr(start, end - start), nullptr, 10);
  } catch (const std::invalid_argument&) {
    return value;
  }
  value.found = true;
  value.end = end;
  return value;
}

}  // namespace

int parseRequestLine(std::string text, std::string& method, std::string& path) {
  std::size_t first = text.find(' ');
  if (first == std::string::npos) return 1;
  method = text.substr(0, first);
  std::size_t second = text.find(' ', first + 1);
  if (second == std::string::npos) return 1;
  path = text.substr(first + 1, second - first - 1);
  return 0;
}

std::string getContentType(const std::string& text) {
  std::size_t at = findIgnoringCase(text, kContentTypeName);
  if (at == std::string::npos) return kRequestItemMissing;
  std::size_t start = at + std::string(kContentTypeName).size();
  if (start < text.size() && text[start] == ' ') ++start;
  std::size_t end = text.find_first_of(std::string("\r\n;\0", 4), start);
  if (end == std::string::npos) end = text.size();
  return text.substr(start, end - start);
}

std::string getBoundary(const std::string& text) {
  std::size_t at = findIgnoringCase(text, kBoundaryName);
  if (at == std::string::npos) return kRequestItemMissing;
  std::size_t start = at + std::string(kBoundaryName).size();
  std::size_t end = text.find('\r', start);
  if (end == std::string::npos) end = text.size();
  return text.substr(start, end - start);
}

int expectedRequestLength(const std::string& text) {
  LengthValue length = readContentLength(text);
  if (!length.found) return -1;
  std::size_t blank = text.find(kEmptyLine, length.end);
  if (blank == std::string::npos) return 1;
  // Formed in 64 bits: a large announced length must not wrap the int total.
  long long total = static_cast<long long>(length.number) + static_cast<long long>(blank) +
                    static_cast<long long>(kEmptyLineLength);
  if (total > INT_MAX) throw std::out_of_range("announced request length beyond the int range");
  return static_cast<int>(total);
}

std::string getRequestBody(const std::string& text) {
  LengthValue length = readContentLength(text);
  if (!length.found) return kRequestItemMissing;
  std::size_t blank = text.find(kEmptyLine, length.end);
  if (blank == std::string::npos) return kRequestItemMissing;
  std::size_t start = blank + kEmptyLineLength;
  long long end = static_cast<long long>(length.number) + static_cast<long long>(start);
  if (end < 0 || end > static_cast<long long>(text.size())) return kRequestItemMissing;
  if (length.number < 0) return text.substr(start);
  return text.substr(start, static_cast<std::size_t>(length.number));
}

bool isDigits(const std::string& text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool readDecimalInt(const std::string& text, int& value) {
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
    if (magnitude > static_cast<long long>(INT_MAX) + 1) return false;
    ++i;
  }
  if (i == digitsStart) return false;
  const long long signedValue = negative ? -magnitude : magnitude;
  if (signedValue > INT_MAX || signedValue < INT_MIN) return false;
  value = static_cast<int>(signedValue);
  return true;
}
