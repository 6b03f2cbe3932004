// request_text_test.cpp -- the request line, header and body searches.
#include "http/request_text.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace {

TEST(ParseRequestLine, Cases) {
  struct Case {
    const char* desc;
    std::string text;
    int result;
    std::string method;
    std::string path;
  } cases[] = {
      {"plain GET", "GET / HTTP/1.1\r\n\r\n", 0, "GET", "/"},
      {"single space on the line: path runs to a later space", "GET /x\r\nHost: a\r\n\r\n", 0,
       "GET", "/x\r\nHost:"},
      {"single space in the whole text", "GET /x\r\n\r\n", 1, "GET", "(unset)"},
      {"no space at all", "GET\r\n\r\n", 1, "(unset)", "(unset)"},
      {"leading space gives an empty method", " /a b", 0, "", "/a"},
      {"adjacent spaces give an empty path", "POST  HTTP/1.1", 0, "POST", ""},
      {"tab does not separate", "GET\t/x HTTP/1.1\r\n\r\n", 1, "GET\t/x", "(unset)"},
      {"lower-case method kept as sent", "get /v1 HTTP/1.1\r\n\r\n", 0, "get", "/v1"},
  };
  for (const Case& c : cases) {
    std::string_view method = "(unset)", path = "(unset)";
    EXPECT_EQ(parseRequestLine(c.text, method, path), c.result) << c.desc;
    EXPECT_EQ(method, c.method) << c.desc;
    EXPECT_EQ(path, c.path) << c.desc;
  }
}

TEST(GetContentType, Cases) {
  struct Case {
    const char* desc;
    std::string text;
    std::string type;
  } cases[] = {
      {"with boundary", "Content-Type: multipart/form-data; boundary=X\r\n", "multipart/form-data"},
      {"no space, semicolon ends", "Content-Type:multipart/form-data;boundary=X\r\n",
       "multipart/form-data"},
      {"only one space skipped", "Content-Type:  text/plain\r\n", " text/plain"},
      {"lower-case header name", "content-type: application/x-www-form-urlencoded\r\n",
       "application/x-www-form-urlencoded"},
      {"mixed case header name", "CONTENT-type: a/b\r\n", "a/b"},
      {"value case kept", "Content-Type: Multipart/Form-Data\r\n", "Multipart/Form-Data"},
      {"LF ends", "Content-Type: a/b\nX: y", "a/b"},
      {"NUL ends", std::string("Content-Type: a/b\0c\r\n", 21), "a/b"},
      {"end of text ends", "Content-Type: a/b", "a/b"},
      {"empty value", "Content-Type:\r\n", ""},
      {"first occurrence", "Content-Type: a/b\r\nContent-Type: c/d\r\n", "a/b"},
      {"found in the body too", "GET / HTTP/1.1\r\n\r\nContent-Type: x/y", "x/y"},
      {"missing", "GET / HTTP/1.1\r\nContent-Length: 3\r\n\r\n", "failed"},
      {"name without the colon", "Content-Type a/b\r\n", "failed"},
  };
  for (const Case& c : cases) EXPECT_EQ(getContentType(c.text), c.type) << c.desc;
}

TEST(GetBoundary, Cases) {
  struct Case {
    const char* desc;
    std::string text;
    std::string boundary;
  } cases[] = {
      {"plain", "Content-Type: multipart/form-data; boundary=abc\r\n\r\n", "abc"},
      {"quotes kept", "Content-Type: multipart/form-data; boundary=\"abc\"\r\n", "\"abc\""},
      {"semicolon, space and LF kept", "boundary=a; b\nc\r\n", "a; b\nc"},
      {"upper-case parameter name", "Content-Type: multipart/form-data; BOUNDARY=xyz\r\n", "xyz"},
      {"to the end of the text", "boundary=xyz", "xyz"},
      {"missing", "Content-Type: multipart/form-data\r\n\r\n", "failed"},
  };
  for (const Case& c : cases) EXPECT_EQ(getBoundary(c.text), c.boundary) << c.desc;
}

TEST(ExpectedRequestLength, Cases) {
  const std::string head = "POST /v1/like HTTP/1.1\r\n";
  // Texts that end with their empty line: the total is their length plus the
  // announced body length.
  struct Case {
    const char* desc;
    std::string text;
    int announced;
  } complete[] = {
      {"value 12 directly", head + "Content-Length:12\r\n\r\n", 12},
      {"one space", head + "Content-Length: 12\r\n\r\n", 12},
      {"three spaces", head + "Content-Length:   12\r\n\r\n", 12},
      {"plus sign", head + "Content-Length: +12\r\n\r\n", 12},
      {"trailing letters ignored", head + "Content-Length: 12abc\r\n\r\n", 12},
      {"lower-case name", head + "content-length: 12\r\n\r\n", 12},
      {"later headers counted", head + "Content-Length: 7\r\nHost: a\r\n\r\n", 7},
      {"negative value", head + "Content-Length: -1\r\n\r\n", -1},
      {"zero", head + "Content-Length: 0\r\n\r\n", 0},
  };
  for (const Case& c : complete) {
    EXPECT_EQ(expectedRequestLength(c.text), static_cast<int>(c.text.size()) + c.announced)
        << c.desc;
  }
  struct Code {
    const char* desc;
    std::string text;
    int result;
  } codes[] = {
      {"no digits", head + "Content-Length: abc\r\n\r\n", -1},
      {"empty value", head + "Content-Length:\r\n\r\n", -1},
      {"no header", head + "Content-Type: a/b\r\n\r\n", -1},
      {"empty line not yet arrived", head + "Content-Length: 12\r\nHost: a\r\n", 1},
      {"empty line searched after the value: the body's header counts",
       "POST / HTTP/1.1\r\n\r\nbody Content-Length: 5\r\n\r\nxyz", 45 + 5},
  };
  for (const Code& c : codes) EXPECT_EQ(expectedRequestLength(c.text), c.result) << c.desc;
}

TEST(ExpectedRequestLength, BeyondIntRangeThrows) {
  EXPECT_THROW(expectedRequestLength("Content-Length: 2147483648\r\n\r\n"), std::out_of_range);
  EXPECT_THROW(expectedRequestLength("Content-Length: 99999999999999999999\r\n\r\n"),
               std::out_of_range);
  // The value fits but the total with the header block does not.
  EXPECT_THROW(expectedRequestLength("Content-Length: 2147483647\r\n\r\n"), std::out_of_range);
  EXPECT_EQ(expectedRequestLength("Content-Length: 2147483600\r\n\r\n"), 2147483600 + 30);
}

TEST(GetRequestBody, Cases) {
  const std::string head = "POST /v1/like HTTP/1.1\r\nContent-Length: ";
  struct Case {
    const char* desc;
    std::string text;
    std::string body;
  } cases[] = {
      {"exact", head + "5\r\n\r\nid=12", "id=12"},
      {"longer than announced", head + "2\r\n\r\nid=12", "id"},
      {"shorter than announced", head + "9\r\n\r\nid=12", "failed"},
      {"zero length", head + "0\r\n\r\nxyz", ""},
      {"negative length: everything after the empty line", head + "-1\r\n\r\nid=12", "id=12"},
      {"very negative length", head + "-1000\r\n\r\nid=12", "failed"},
      {"NUL bytes kept", head + "3\r\n\r\n" + std::string("a\0b", 3), std::string("a\0b", 3)},
      {"no empty line", head + "5\r\nid=12", "failed"},
      {"no digits", head + "x\r\n\r\nid=12", "failed"},
      {"no header", "POST / HTTP/1.1\r\n\r\nid=12", "failed"},
      {"header found in the body", "POST / HTTP/1.1\r\n\r\nContent-Length: 2\r\n\r\nabc", "ab"},
      {"lower-case name", "POST / HTTP/1.1\r\ncontent-length: 2\r\n\r\nabc", "ab"},
  };
  for (const Case& c : cases) EXPECT_EQ(getRequestBody(c.text), c.body) << c.desc;
  EXPECT_THROW(getRequestBody(head + "2147483648\r\n\r\nx"), std::out_of_range);
  EXPECT_EQ(getRequestBody(head + "2147483647\r\n\r\nx"), "failed");
}

// findBytes is std::string_view::find by other means: every case gives the same.
TEST(FindBytes, FindsWhatFindFinds) {
  const std::string nul("a\0b--B\0--B", 11);
  struct {
    std::string text;
    std::string needle;
    std::size_t from;
  } cases[] = {
      {"--B\r\nx\r\n--B--", "--B", 0},
      {"--B\r\nx\r\n--B--", "--B", 1},
      {"--B\r\nx\r\n--B--", "--B--", 0},
      {"abc", "abcd", 0},
      {"abc", "c", 2},
      {"abc", "c", 3},
      {"abc", "", 3},
      {"abc", "", 4},
      {"abc", "x", 9},
      {"", "", 0},
      {nul, std::string("\0--B", 4), 0},
      {nul, std::string("\0--B", 4), 3},
      {"----B", "---B", 0},
      {"xy\r\n\r\n", "\r\n\r\n", 0},
  };
  for (const auto& c : cases) {
    const std::string_view text = c.text;
    EXPECT_EQ(findBytes(text, c.needle, c.from), text.find(c.needle, c.from))
        << '"' << c.text << "\" \"" << c.needle << "\" " << c.from;
  }
}

TEST(IsDigits, Cases) {
  EXPECT_TRUE(isDigits(""));
  EXPECT_TRUE(isDigits("0123456789"));
  EXPECT_FALSE(isDigits("12a"));
  EXPECT_FALSE(isDigits("-1"));
  EXPECT_FALSE(isDigits(" 1"));
  EXPECT_FALSE(isDigits(std::string("1\0", 2)));
}

}  // namespace
