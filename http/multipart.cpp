// multipart.cpp -- multipart/form-data parser and the split of stored upload
// paths at their dated directory chain.
#include "http/multipart.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "http/request_text.h"

namespace {

constexpr std::string_view kNameParam = "name=\"";
constexpr std::string_view kFilenameParam = "filename=\"";
constexpr std::string_view kContentTypeHeader = "content-type:";  // matched ignoring case
constexpr std::string_view kContentLengthHeader = "Content-Length:";

// The text between the first `param` (which ends in a double quote) and the
// next double quote in header; empty when either is missing.
std::string_view quotedParameter(std::string_view header, std::string_view param) {
  std::size_t start = header.find(param);
  if (start == std::string_view::npos) return {};
  start += param.size();
  std::size_t end = header.find('"', start);
  if (end == std::string_view::npos) return {};
  return header.substr(start, end - start);
}

// End of a header value that starts at `from`: the first CR LF after it, or
// only when there is none the first LF; npos when no line break follows
// (the value stands on the last line of the header block).
std::size_t headerValueEnd(std::string_view header, std::size_t from) {
  std::size_t end = header.find("\r\n", from);
  if (end == std::string_view::npos) end = header.find('\n', from);
  return end;
}

bool isBlankOrTab(char c) { return c == ' ' || c == '\t'; }

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// First occurrence of lowerName (all lower case) in text, the ASCII letters
// of text compared without case; npos when there is none.
std::size_t findIgnoringCase(std::string_view text, std::string_view lowerName) {
  for (std::size_t at = 0; at + lowerName.size() <= text.size(); ++at) {
    std::size_t i = 0;
    while (i < lowerName.size() && asciiLower(text[at + i]) == lowerName[i]) ++i;
    if (i == lowerName.size()) return at;
  }
  return std::string_view::npos;
}

std::string_view partContentType(std::string_view header) {
  std::size_t found = findIgnoringCase(header, kContentTypeHeader);
  if (found == std::string_view::npos) return {};
  std::size_t start = found + kContentTypeHeader.size();
  std::size_t end = headerValueEnd(header, start);
  if (end == std::string_view::npos) return {};
  while (start < end && isBlankOrTab(header[start])) ++start;
  while (end > start && isBlankOrTab(header[end - 1])) --end;
  return header.substr(start, end - start);
}

// The part's data: the first n bytes of content when a usable Content-Length
// n shorter than the content is given; otherwise the content without the one
// line break that separates it from the next delimiter. Uploaded bytes are
// never trimmed beyond that line break. cutByLength tells which of the two it is.
std::string_view partData(std::string_view header, std::string_view content, bool& cutByLength) {
  cutByLength = false;
  std::size_t found = header.find(kContentLengthHeader);
  if (found != std::string_view::npos) {
    std::size_t start = found + kContentLengthHeader.size();
    std::size_t end = headerValueEnd(header, start);
    int length = 0;
    if (end != std::string_view::npos &&
        readDecimalInt(header.substr(start, end - start), length) && length >= 0 &&
        static_cast<std::size_t>(length) < content.size()) {
      cutByLength = true;
      return content.substr(0, static_cast<std::size_t>(length));
    }
  }
  std::size_t size = content.size();
  if (size >= 2 && content[size - 2] == '\r' && content[size - 1] == '\n') {
    size -= 2;
  } else if (size >= 1 && content[size - 1] == '\n') {
    size -= 1;
  }
  return content.substr(0, size);
}

// True when body holds at most left copies of delimiter from position from on.
bool atMost(std::string_view body, std::string_view delimiter, std::size_t from, std::size_t left) {
  for (std::size_t at = findBytes(body, delimiter, from); at != std::string_view::npos;
       at = findBytes(body, delimiter, at + delimiter.size())) {
    if (left-- == 0) return false;
  }
  return true;
}

// The part between a delimiter and the next one, when it has an empty line
// after its header lines.
std::optional<FormPart> readPart(std::string_view partText) {
  std::size_t headerEnd = findBytes(partText, "\r\n\r\n");
  std::size_t headerEndLength = 4;
  if (headerEnd == std::string_view::npos) {
    headerEnd = findBytes(partText, "\n\n");
    headerEndLength = 2;
  }
  if (headerEnd == std::string_view::npos) return std::nullopt;
  const std::string_view header = partText.substr(0, headerEnd);
  const std::string_view content = partText.substr(headerEnd + headerEndLength);
  FormPart part;
  part.name = quotedParameter(header, kNameParam);
  part.data = partData(header, content, part.dataCutByLength);
  part.filename = quotedParameter(header, kFilenameParam);
  part.contentType = partContentType(header);
  return part;
}

}  // namespace

bool parseMultipartWithin(std::string_view boundary, std::string_view body,
                          std::size_t maxDelimiters, std::vector<FormPart>& parts) {
  parts.clear();
  std::string delimiter = "--";
  delimiter += boundary;
  // The search starts after the leading line breaks; a delimiter begins with
  // '-', so it misses none.
  const std::size_t start = body.find_first_not_of("\r\n");
  if (start == std::string_view::npos) return true;
  std::size_t found = 0;  // the delimiters passed, each once
  std::size_t delimiterAt = findBytes(body, delimiter, start);
  while (delimiterAt != std::string_view::npos) {
    if (++found > maxDelimiters) return false;
    const std::size_t partStart = delimiterAt + delimiter.size();
    if (body.size() - partStart >= 2 && body.compare(partStart, 2, "--") == 0) {
      return atMost(body, delimiter, partStart, maxDelimiters - found);
    }
    // A part is taken only when a further delimiter follows it.
    const std::size_t next = findBytes(body, delimiter, partStart);
    if (next == std::string_view::npos) return true;
    if (std::optional<FormPart> part = readPart(body.substr(partStart, next - partStart))) {
      parts.push_back(*part);
    }
    delimiterAt = next;
  }
  return true;
}

PathSplit splitPathAtNumber(const std::string& path) {
  std::vector<std::string> segments;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) {
      // The piece after the last '/' counts only when it is not empty.
      if (start < path.size()) segments.push_back(path.substr(start));
      break;
    }
    segments.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }

  auto join = [&segments](std::size_t from, std::size_t to) {
    std::string joined;
    for (std::size_t i = from; i < to; ++i) {
      if (i > from) joined += '/';
      joined += segments[i];
    }
    return joined;
  };

  PathSplit split;
  std::size_t runStart = 0;
  while (runStart < segments.size() && !isDigits(segments[runStart])) ++runStart;
  if (runStart == segments.size()) return split;
  std::size_t runEnd = runStart;
  while (runEnd < segments.size() && isDigits(segments[runEnd])) ++runEnd;
  split.prefix = join(0, runStart);
  split.numbers = join(runStart, runEnd);
  split.rest = join(runEnd, segments.size());
  return split;
}

std::vector<FormPart> parseMultipart(std::string_view boundary, std::string_view body) {
  std::vector<FormPart> parts;
  parseMultipartWithin(boundary, body, SIZE_MAX, parts);
  return parts;
}
