// text_utils.cpp -- small byte-string operations of the API.
#include "api/text_utils.h"

static_assert(sizeof(wchar_t) == 4, "wide characters hold one code point each");

namespace {

constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr char32_t kSurrogateFirst = 0xD800;
constexpr char32_t kSurrogateLast = 0xDFFF;

bool isPosixSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

std::string removeSpaces(const std::string& text) {
  std::string result;
  result.reserve(text.size());
  for (char c : text) {
    if (!isPosixSpace(static_cast<unsigned char>(c))) result.push_back(c);
  }
  return result;
}

std::string toLowerCopy(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string eraseAll(std::string text, const std::string& pattern) {
  if (pattern.empty()) return text;
  size_t pos = text.find(pattern);
  while (pos != std::string::npos) {
    text.erase(pos, pattern.size());
    pos = text.find(pattern, pos);
  }
  return text;
}

std::string cutAfter(std::string text, const std::string& pattern) {
  size_t pos = text.find(pattern);
  if (pos != std::string::npos) text.resize(pos + pattern.size());
  return text;
}

std::wstring utf8ToWide(const std::string& text) {
  std::wstring result;
  const size_t size = text.size();
  size_t i = 0;
  while (i < size) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      result.push_back(static_cast<wchar_t>(lead));
      ++i;
      continue;
    }
    size_t length;
    char32_t code;
    char32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1F;
      minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0F;
      minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07;
      minimum = 0x10000;
    } else {
      // A continuation byte in lead position, an overlong two-byte lead
      // (0xC0, 0xC1) or a lead from 0xF5 up.
      return std::wstring();
    }
    for (size_t k = 1; k < length; ++k) {
      if (i + k >= size) return result;  // cut off by the end: dropped
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if (!isContinuation(next)) return std::wstring();
      code = (code << 6) | (next & 0x3F);
      // Overlong forms, surrogates and values above the last code point
      // show themselves in the first continuation byte already; refusing
      // them there keeps a cut-off sequence from passing for a valid one.
      if (k == 1) {
        const char32_t least = code << (6 * (length - 2));
        const char32_t most = least | ((char32_t{1} << (6 * (length - 2))) - 1);
        if (most < minimum || least > kMaxCodePoint ||
            (least >= kSurrogateFirst && most <= kSurrogateLast)) {
          return std::wstring();
        }
      }
    }
    if (code < minimum || code > kMaxCodePoint ||
        (code >= kSurrogateFirst && code <= kSurrogateLast)) {
      return std::wstring();
    }
    result.push_back(static_cast<wchar_t>(code));
    i += length;
  }
  return result;
}
