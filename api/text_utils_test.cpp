// text_utils_test.cpp -- the API's byte-string operations, as tables.
#include "api/text_utils.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

TEST(TextUtilsTest, RemoveSpacesDropsPosixWhiteSpaceOnly) {
  struct {
    std::string in, want;
  } cases[] = {
      {" a\tb\r\n", "ab"},
      {" \t\n\v\f\r", ""},
      {"", ""},
      {"x\0y"s, "x\0y"s},                  // NUL is not white space
      {"\xc2\xa0z\x85", "\xc2\xa0z\x85"},  // bytes from 0x80 up stay
      {"a\x1f\x7f b",
       "a\x1f\x7f"
       "b"},  // other control bytes stay
  };
  for (const auto& c : cases) {
    const std::string input = c.in;
    EXPECT_EQ(removeSpaces(input), c.want);
    EXPECT_EQ(input, c.in);
  }
}

TEST(TextUtilsTest, ToLowerCopyLowersAsciiCapitalsOnly) {
  struct {
    std::string in, want;
  } cases[] = {
      {"AbC-Z", "abc-z"},
      {"@[`{", "@[`{"},                            // neighbours of the letter ranges
      {"\xc3\x89t\xc3\xa9", "\xc3\x89t\xc3\xa9"},  // UTF-8 bytes untouched
      {"", ""},
      {"Q\0R"s, "q\0r"s},
  };
  for (const auto& c : cases) EXPECT_EQ(toLowerCopy(c.in), c.want) << c.in;
}

TEST(TextUtilsTest, EraseAllGoesOnFromTheLastRemoval) {
  struct {
    std::string text, pattern, want;
  } cases[] = {
      {"aabb", "ab", "ab"},     {"abab", "ab", ""},        {"aaa", "aa", "a"},
      {"hello", "", "hello"},   {"hello", "xyz", "hello"}, {"", "a", ""},
      {"a--b--c", "--", "abc"}, {"x\0\0y"s, "\0"s, "xy"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(eraseAll(c.text, c.pattern), c.want) << c.text << " / " << c.pattern;
  }
}

TEST(TextUtilsTest, CutAfterKeepsUpToTheFirstOccurrence) {
  struct {
    std::string text, pattern, want;
  } cases[] = {
      {"a.b.c", ".", "a."},        {"a.b.c", "x", "a.b.c"},    {"a.b.c", "", ""},
      {"a.b.c", "a.b.c", "a.b.c"}, {"a.b.c", "b.c.", "a.b.c"}, {"", "", ""},
      {"k=v&x", "=", "k="},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(cutAfter(c.text, c.pattern), c.want) << c.text << " / " << c.pattern;
  }
}

TEST(TextUtilsTest, Utf8ToWideDecodesOrGivesEmpty) {
  struct {
    const char* desc;
    std::string in;
    std::wstring want;
  } cases[] = {
      {"empty", "", L""},
      {"ascii with NUL", "a\0b"s, L"a\0b"s},
      {"two bytes", "\xc3\xa9", L"\u00e9"},
      {"three bytes", "\xe2\x82\xac", L"\u20ac"},
      {"four bytes", "\xf0\x9f\x98\x80", L"\U0001F600"},
      {"largest code point", "\xf4\x8f\xbf\xbf", L"\U0010FFFF"},
      {"signature kept", "\xef\xbb\xbfx", L"\uFEFFx"},
      {"last before surrogates", "\xed\x9f\xbf", L"\uD7FF"},
      {"first after surrogates", "\xee\x80\x80", L"\uE000"},
      {"no continuation", "\xc3\x28", L""},
      {"continuation as lead", "a\x80", L""},
      {"overlong two bytes", "\xc0\xaf", L""},
      {"overlong two bytes C1", "\xc1\xbf", L""},
      {"overlong three bytes", "\xe0\x80\xaf", L""},
      {"overlong four bytes", "\xf0\x8f\xbf\xbf", L""},
      {"surrogate", "\xed\xa0\x80", L""},
      {"last surrogate", "\xed\xbf\xbf", L""},
      {"above U+10FFFF", "\xf4\x90\x80\x80", L""},
      {"lead F5", "\xf5\x80\x80\x80", L""},
      {"lead FF", "x\xff", L""},
      {"malformed after good text", "abc\xc3\xa9\x80", L""},
      {"cut off two-byte", "a\xc3", L"a"},
      {"cut off four-byte", "a\xf0\x9f\x98", L"a"},
      {"cut off after a bad byte", "a\xe0\x80", L""},
      {"cut off surrogate", "a\xed\xa0", L""},
      {"bad byte before the cut", "a\xe2\x28", L""},
      {"good text after all", "\xc3\xa9t\xc3\xa9", L"\u00e9t\u00e9"},
  };
  for (const auto& c : cases) EXPECT_EQ(utf8ToWide(c.in), c.want) << c.desc;
}

}  // namespace
