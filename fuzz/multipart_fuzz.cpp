// multipart_fuzz.cpp -- fuzz target for the multipart parser and the stored
// path split. The input is the boundary, a line feed, then the body (no line
// feed: an empty boundary and the whole input as body); the whole input is
// also cut as a stored upload path.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "http/multipart.h"

namespace {

bool onlyDigitsAndSlashes(const std::string& text) {
  return text.find_first_not_of("0123456789/") == std::string::npos;
}

bool hasBlankEnds(std::string_view text) {
  if (text.empty()) return false;
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  return blank(text.front()) || blank(text.back());
}

// True when view lies within text's bytes (an empty view anywhere counts).
bool inside(std::string_view view, const std::string& text) {
  if (view.empty()) return true;
  return view.data() >= text.data() && view.data() + view.size() <= text.data() + text.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t newline = input.find('\n');
  const std::string boundary = newline == std::string::npos ? "" : input.substr(0, newline);
  const std::string body = newline == std::string::npos ? input : input.substr(newline + 1);

  const std::vector<FormPart> parts = parseMultipart(boundary, body);
  // Every part stands between two delimiters, so parts never share bytes:
  // their contents together are no longer than the body, and each part's
  // data begins after the previous one's ends. Every field views the body.
  size_t dataBytes = 0;
  const char* previousEnd = body.data();
  for (const FormPart& part : parts) {
    dataBytes += part.data.size();
    FUZZ_CHECK(part.name.find('"') == std::string_view::npos);
    FUZZ_CHECK(part.filename.find('"') == std::string_view::npos);
    FUZZ_CHECK(!hasBlankEnds(part.contentType));
    FUZZ_CHECK(part.name.size() < body.size() && part.filename.size() < body.size());
    FUZZ_CHECK(inside(part.name, body) && inside(part.data, body));
    FUZZ_CHECK(inside(part.filename, body) && inside(part.contentType, body));
    if (!part.data.empty()) {
      FUZZ_CHECK(part.data.data() >= previousEnd);
      previousEnd = part.data.data() + part.data.size();
    }
  }
  FUZZ_CHECK(dataBytes <= body.size());
  const std::string delimiter = "--" + boundary;
  size_t delimiters = 0;
  for (size_t at = body.find(delimiter); at != std::string::npos;
       at = body.find(delimiter, at + delimiter.size())) {
    ++delimiters;
  }
  FUZZ_CHECK(parts.empty() || parts.size() < delimiters);

  // The bounded parse counts the same delimiters and gives the same parts.
  std::vector<FormPart> within;
  FUZZ_CHECK(parseMultipartWithin(boundary, body, delimiters, within));
  FUZZ_CHECK(within.size() == parts.size());
  for (size_t i = 0; i < parts.size(); ++i) {
    FUZZ_CHECK(within[i].name.data() == parts[i].name.data() && within[i].name == parts[i].name);
    FUZZ_CHECK(within[i].data.data() == parts[i].data.data() && within[i].data == parts[i].data);
    FUZZ_CHECK(within[i].filename == parts[i].filename);
    FUZZ_CHECK(within[i].contentType == parts[i].contentType);
    FUZZ_CHECK(within[i].dataCutByLength == parts[i].dataCutByLength);
  }
  if (delimiters > 0) FUZZ_CHECK(!parseMultipartWithin(boundary, body, delimiters - 1, within));

  const PathSplit split = splitPathAtNumber(input);
  FUZZ_CHECK(onlyDigitsAndSlashes(split.numbers));
  FUZZ_CHECK(split.prefix.size() + split.numbers.size() + split.rest.size() <= input.size());
  return 0;
}
