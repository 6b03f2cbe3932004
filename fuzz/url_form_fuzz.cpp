// url_form_fuzz.cpp -- fuzz target for percent-decoding, the path split and
// the URL-encoded form splitters; the input is used as a body and as a path.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "http/url_form.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  const std::string decoded = urlDecode(input);
  FUZZ_CHECK(decoded.size() <= input.size());
  if (input.find_first_of("%+") == std::string::npos) FUZZ_CHECK(decoded == input);

  size_t segmentBytes = 0;
  for (const std::string& segment : splitPath(input)) {
    FUZZ_CHECK(!segment.empty());
    FUZZ_CHECK(segment.find('/') == std::string::npos);
    segmentBytes += segment.size();
  }
  FUZZ_CHECK(segmentBytes <= input.size());

  size_t pieces = 1;
  for (char c : input) pieces += c == '&';
  const auto form = parseUrlEncodedForm(input);
  FUZZ_CHECK(form.size() <= pieces);
  for (const auto& field : form) FUZZ_CHECK(field.first.size() + field.second.size() < size);
  const auto plain = parseFormToMap(input);
  FUZZ_CHECK(plain.size() <= pieces);
  for (const auto& field : plain) FUZZ_CHECK(field.first.size() + field.second.size() < size);

  // The C-string routines see the input up to its first NUL, in heap buffers
  // of exactly the documented size so that any overrun is caught.
  const std::string target = input.substr(0, std::strlen(input.c_str()));
  std::vector<char> writable(target.begin(), target.end());
  writable.push_back('\0');
  const auto unordered = parseFormToUnorderedMap(writable.data());
  FUZZ_CHECK(unordered.size() <= pieces);

  const size_t bufferSize = target.size() + 1;
  std::vector<char> version(bufferSize, '\0'), path(bufferSize, '\0'), query(bufferSize, '\0');
  const int r = splitApiUrl(target.c_str(), version.data(), path.data(), query.data());
  FUZZ_CHECK(r == 0 || r == 1);
  if (r == 0) {
    FUZZ_CHECK(std::memchr(version.data(), '\0', bufferSize) != nullptr);
    FUZZ_CHECK(std::memchr(path.data(), '\0', bufferSize) != nullptr);
    FUZZ_CHECK(std::memchr(query.data(), '\0', bufferSize) != nullptr);
  }
  return 0;
}
