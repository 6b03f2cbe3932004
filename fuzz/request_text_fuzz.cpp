// request_text_fuzz.cpp -- fuzz target for the request text helpers: one input
// is the whole request text, searched by every helper.
#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "http/request_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  std::string_view method = "\x01unset";
  std::string_view path = "\x02unset";
  const int split = parseRequestLine(text, method, path);
  FUZZ_CHECK(split == 0 || split == 1);
  if (split == 0) {
    // Method and path are the two pieces before the first two spaces.
    FUZZ_CHECK(method.size() + path.size() + 2 <= size);
    FUZZ_CHECK(text.compare(0, method.size(), method) == 0);
    FUZZ_CHECK(text[method.size()] == ' ');
    FUZZ_CHECK(text.compare(method.size() + 1, path.size(), path) == 0);
    FUZZ_CHECK(text[method.size() + 1 + path.size()] == ' ');
    FUZZ_CHECK(method.find(' ') == std::string_view::npos &&
               path.find(' ') == std::string_view::npos);
    // Both are views of the text itself.
    FUZZ_CHECK(method.data() == text.data() && path.data() == text.data() + method.size() + 1);
  } else if (text.find(' ') == std::string::npos) {
    FUZZ_CHECK(method == "\x01unset" && path == "\x02unset");
  } else {
    FUZZ_CHECK(path == "\x02unset");
  }

  const std::string type = getContentType(text);
  if (type != kRequestItemMissing) {
    FUZZ_CHECK(type.size() < size);
    FUZZ_CHECK(type.find_first_of(std::string("\r\n;\0", 4)) == std::string::npos);
  }

  const std::string boundary = getBoundary(text);
  if (boundary != kRequestItemMissing) {
    FUZZ_CHECK(boundary.size() < size);
    FUZZ_CHECK(boundary.find('\r') == std::string::npos);
  }

  bool lengthRead = false;
  try {
    const int total = expectedRequestLength(text);
    lengthRead = total != -1;
  } catch (const std::out_of_range&) {
    lengthRead = true;
  }

  try {
    const std::string_view body = getRequestBody(text);
    if (body != kRequestItemMissing) {
      // A body needs a readable Content-Length, and is part of the text: a
      // view of bytes after its start, never of all of them.
      FUZZ_CHECK(lengthRead);
      FUZZ_CHECK(body.size() < size);
      FUZZ_CHECK(body.data() > text.data() && body.data() + body.size() <= text.data() + size);
    }
  } catch (const std::out_of_range&) {
    FUZZ_CHECK(lengthRead);
  }

  // The fast search agrees with std::string_view::find, for a needle taken
  // from the text's second half searched from every quarter.
  const std::string_view whole = text;
  const std::string_view needle = whole.substr(size / 2, std::min<size_t>(size / 4 + 1, 64));
  for (size_t from = 0; from <= size + 1; from += size / 4 + 1) {
    FUZZ_CHECK(findBytes(whole, needle, from) == whole.find(needle, from));
  }

  const bool digits =
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  FUZZ_CHECK(isDigits(text) == digits);
  return 0;
}
