// multipart_test.cpp -- parseMultipart on a body captured from curl -F and
// on damaged bodies; splitPathAtNumber on stored upload paths and edges.
#include "http/multipart.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What `curl -F uid=0 -F sid=abc -F 'nickname=Jo Doe' -F avatar=@tail.bin
// -F hash=h1 -F empty=@empty.bin` sent, where tail.bin holds "ab\r\n \t" and
// empty.bin is empty.
const std::string kCurlBoundary = "------------------------dae5f7440f4e9cde";
const std::string kCurlBody =
    "--------------------------dae5f7440f4e9cde\r\n"
    "Content-Disposition: form-data; name=\"uid\"\r\n"
    "\r\n"
    "0\r\n"
    "--------------------------dae5f7440f4e9cde\r\n"
    "Content-Disposition: form-data; name=\"sid\"\r\n"
    "\r\n"
    "abc\r\n"
    "--------------------------dae5f7440f4e9cde\r\n"
    "Content-Disposition: form-data; name=\"nickname\"\r\n"
    "\r\n"
    "Jo Doe\r\n"
    "--------------------------dae5f7440f4e9cde\r\n"
    "Content-Disposition: form-data; name=\"avatar\"; filename=\"tail.bin\"\r\n"
    "Content-Type: application/octet-stream\r\n"
    "\r\n"
    "ab\r\n"
    " \t\r\n"
    "--------------------------dae5f7440f4e9cde\r\n"
    "Content-Disposition: form-data; name=\"hash\"\r\n"
    "\r\n"
    "h1\r\n"
    "--------------------------dae5f7440f4e9cde\r\n"
    "Content-Disposition: form-data; name=\"empty\"; filename=\"empty.bin\"\r\n"
    "Content-Type: application/octet-stream\r\n"
    "\r\n"
    "\r\n"
    "--------------------------dae5f7440f4e9cde--\r\n";

std::string withLf(std::string text) {
  std::string out;
  for (char c : text) {
    if (c != '\r') out += c;
  }
  return out;
}

TEST(ParseMultipart, CurlBodyKeepsFileBytesExactly) {
  std::vector<FormPart> parts = parseMultipart(kCurlBoundary, kCurlBody);
  ASSERT_EQ(parts.size(), 6u);
  const char* names[] = {"uid", "sid", "nickname", "avatar", "hash", "empty"};
  for (std::size_t i = 0; i < parts.size(); ++i) EXPECT_EQ(parts[i].name, names[i]) << i;
  EXPECT_EQ(parts[0].data, "0");
  EXPECT_EQ(parts[1].data, "abc");
  EXPECT_EQ(parts[2].data, "Jo Doe");
  EXPECT_EQ(parts[3].data, std::string("ab\r\n \t"));
  EXPECT_EQ(parts[3].filename, "tail.bin");
  // curl writes Content-Type as the last header line, which is not taken.
  EXPECT_EQ(parts[3].contentType, "");
  EXPECT_EQ(parts[4].data, "h1");
  EXPECT_EQ(parts[5].data, "");
  EXPECT_EQ(parts[5].filename, "empty.bin");
  EXPECT_EQ(parts[0].filename, "");
}

TEST(ParseMultipart, LineFeedBodyGivesTheSameParts) {
  const std::string body = withLf(kCurlBody);
  std::vector<FormPart> parts = parseMultipart(kCurlBoundary, body);
  ASSERT_EQ(parts.size(), 6u);
  EXPECT_EQ(parts[1].data, "abc");
  EXPECT_EQ(parts[3].data, "ab\n \t");  // the file's own CR is gone with the rewrite
  EXPECT_EQ(parts[5].data, "");
}

TEST(ParseMultipart, BinaryDataWithNulAndTrailingBlanks) {
  const std::string content("\x00\xff\r\n\r\n  \t\x00 \r\n", 12);
  const std::string body =
      "--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"0\"\r\n\r\n" + content +
      "\r\n--B--\r\n";
  std::vector<FormPart> parts = parseMultipart("B", body);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].data, content);
}

TEST(ParseMultipart, MalformedBodies) {
  const std::string good = "--B\r\nContent-Disposition: form-data; name=\"ok\"\r\n\r\nv\r\n";
  struct {
    const char* desc;
    std::string body;
    std::vector<std::string> names;  // the parts expected, by name
  } cases[] = {
      {"empty", "", {}},
      {"line breaks only", "\r\n\n\r\n", {}},
      {"close delimiter first", "--B--\r\n" + good + "--B--", {}},
      {"preamble and epilogue",
       "preamble --X\r\n" + good + "--B--\r\nepilogue --B\r\n\r\nx\r\n--B",
       {"ok"}},
      {"cut after content",
       good + "--B\r\nContent-Disposition: form-data; name=\"cut\"\r\n\r\nxyz",
       {"ok"}},
      {"part without blank line",
       "--B\r\nContent-Disposition: form-data; name=\"a\"\r\nx\r\n" + good.substr(0) + "--B--",
       {"ok"}},
      {"no header lines", "--B\r\n\r\nraw\r\n--B--", {""}},
      {"filename first",
       "--B\r\nContent-Disposition: form-data; filename=\"a.png\"; name=\"file\"\r\n\r\nx\r\n--B--",
       {"a.png"}},
      {"delimiter inside content cuts it",
       "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nxy--Bz\r\n--B--",
       {"a"}},
      {"good body after all", good + good + "--B--", {"ok", "ok"}},
  };
  for (const auto& c : cases) {
    std::vector<FormPart> parts = parseMultipart("B", c.body);
    ASSERT_EQ(parts.size(), c.names.size()) << c.desc;
    for (std::size_t i = 0; i < parts.size(); ++i) EXPECT_EQ(parts[i].name, c.names[i]) << c.desc;
  }
  // The raw part without headers keeps its content as data; the cut part ends at the delimiter.
  EXPECT_EQ(parseMultipart("B", "--B\r\n\r\nraw\r\n--B--")[0].data, "raw");
  EXPECT_EQ(parseMultipart("B", cases[8].body)[0].data, "xy");
}

TEST(ParseMultipart, ContentLengthAndContentTypeHeaders) {
  std::string body;  // the parts view it
  auto parse = [&body](const std::string& headers) {
    body = "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n" + headers +
           "\r\n\r\nabcdef\r\n--B--";
    std::vector<FormPart> parts = parseMultipart("B", body);
    return parts.size() == 1 ? parts[0] : FormPart{"?", "?", "?", "?"};
  };
  struct {
    const char* headers;
    const char* data;
    const char* contentType;
    bool cutByLength;
  } cases[] = {
      {"Content-Length: 3\r\nX: y", "abc", "", true},
      {"Content-Length: 0\r\nX: y", "", "", true},
      {"Content-Length: 8\r\nX: y", "abcdef", "", false},    // not shorter than the content
      {"Content-Length: -1\r\nX: y", "abcdef", "", false},   // negative
      {"Content-Length: abc\r\nX: y", "abcdef", "", false},  // no digits
      {"Content-Length: 99999999999\r\nX: y", "abcdef", "", false},
      {"Content-Length: 3", "abcdef", "", false},  // last header line: not taken
      {"content-length: 3\r\nX: y", "abcdef", "", false},
      {"Content-Type: \t image/webp \r\nX: y", "abcdef", "image/webp", false},
      {"CONTENT-TYPE:text/plain\r\nX: y", "abcdef", "text/plain", false},
      {"Content-Type: image/webp", "abcdef", "", false},  // last header line: not taken
      {"Content-Type:  \t\r\nX: y", "abcdef", "", false},
  };
  for (const auto& c : cases) {
    FormPart part = parse(c.headers);
    EXPECT_EQ(part.data, c.data) << c.headers;
    EXPECT_EQ(part.contentType, c.contentType) << c.headers;
    EXPECT_EQ(part.dataCutByLength, c.cutByLength) << c.headers;
  }
}

TEST(ParseMultipart, TextFieldKeepsBlanksBeforeItsLineBreak) {
  // Trailing blanks of text fields are dropped when the fields are read, not here.
  std::vector<FormPart> parts = parseMultipart(
      "B", "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nabc  \r\n--B--");
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].data, "abc  ");
}

TEST(ParseMultipart, EmptyBoundaryUsesTwoDashes) {
  std::vector<FormPart> parts =
      parseMultipart("", "--\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nv\r\n----");
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].data, "v");
}

// The bound counts every delimiter of the body once, those after the close
// delimiter and those of skipped parts included, as a separate count would.
TEST(ParseMultipartWithin, BoundsAllDelimitersAndGivesTheSameParts) {
  const std::string part = "Content-Disposition: form-data; name=\"a\"\r\n\r\nv\r\n";
  struct {
    const char* desc;
    std::string body;
    std::size_t delimiters;  // in all, the most that is still parsed
  } cases[] = {
      {"two parts", "--B\r\n" + part + "--B\r\n" + part + "--B--\r\n", 3},
      {"delimiters after the close one", "--B\r\n" + part + "--B--\r\n--B --B", 4},
      {"a skipped part", "--B\r\nno blank line\r\n--B\r\n" + part + "--B--", 3},
      {"no close delimiter", "--B\r\n" + part + "--B\r\ncut", 2},
      {"delimiter in the content", "--B\r\n" + part + "x--B--B\r\n--B--", 4},
      {"line breaks only", "\r\n\n", 0},
      {"one good part", "\r\n--B\r\n" + part + "--B--", 2},
  };
  for (const auto& c : cases) {
    std::size_t count = 0;  // the separate count the bound replaces
    for (std::size_t at = c.body.find("--B"); at != std::string::npos;
         at = c.body.find("--B", at + 3)) {
      ++count;
    }
    EXPECT_EQ(count, c.delimiters) << c.desc;
    const std::vector<FormPart> expected = parseMultipart("B", c.body);
    std::vector<FormPart> parts;
    ASSERT_TRUE(parseMultipartWithin("B", c.body, c.delimiters, parts)) << c.desc;
    ASSERT_EQ(parts.size(), expected.size()) << c.desc;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      EXPECT_EQ(parts[i].name, expected[i].name) << c.desc;
      EXPECT_EQ(parts[i].data, expected[i].data) << c.desc;
    }
    if (c.delimiters > 0) {
      EXPECT_FALSE(parseMultipartWithin("B", c.body, c.delimiters - 1, parts)) << c.desc;
    }
  }
}

TEST(SplitPathAtNumber, Table) {
  struct {
    const char* path;
    const char* prefix;
    const char* numbers;
    const char* rest;
  } cases[] = {
      {"uploads/avatar/2024/5/17/317.webp", "uploads/avatar", "2024/5/17", "317.webp"},
      {"uploads/img/2024/5/17/12/017.webp", "uploads/img", "2024/5/17/12", "017.webp"},
      {"2024/5/17", "", "2024/5/17", ""},
      {"a/1/b/2", "a", "1", "b/2"},
      {"a/1//", "a", "1/", ""},
      {"/uploads/img/2024/1.webp", "", "", "uploads/img/2024/1.webp"},
      {"a//b/7", "a", "", "b/7"},
      {"uploads/avatar/x.webp", "", "", ""},
      {"", "", "", ""},
      {"/", "", "", ""},
  };
  for (const auto& c : cases) {
    PathSplit split = splitPathAtNumber(c.path);
    EXPECT_EQ(split.prefix, c.prefix) << c.path;
    EXPECT_EQ(split.numbers, c.numbers) << c.path;
    EXPECT_EQ(split.rest, c.rest) << c.path;
  }
}

}  // namespace
