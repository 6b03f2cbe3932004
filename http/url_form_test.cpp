// url_form_test.cpp -- percent-decoding, path segments, form splitting and
// versioned target splitting, as tables.
#include "http/url_form.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using Form = std::map<std::string, std::string>;

TEST(UrlDecode, Table) {
  struct {
    std::string text;
    std::string decoded;
  } cases[] = {
      {"%41", "A"},
      {"a+b%20c", "a b c"},
      {"%2B", "+"},
      {"%2541", "%41"},
      {"%zz", std::string(1, '\0')},
      {"%4z", "\x04"},
      {"%-1", "\xFF"},
      {"% 9", "\x09"},
      {"100%", "100%"},
      {"abc%4", "abc%4"},
      {"%41%", "A%"},
      {"%", "%"},
      {"%4", "%4"},
      {"", ""},
      {"++", "  "},
      {"%c3%A9", "\xC3\xA9"},
      {"plain", "plain"},
  };
  for (const auto& c : cases) EXPECT_EQ(urlDecode(c.text), c.decoded) << c.text;
}

TEST(SplitPath, Table) {
  using Segments = std::vector<std::string>;
  struct {
    std::string path;
    Segments segments;
  } cases[] = {
      {"", {}},
      {"/", {}},
      {"//", {}},
      {"///", {}},
      {"/v1/news/7", {"v1", "news", "7"}},
      {"/v1//list/", {"v1", "list"}},
      {"v1/list", {"v1", "list"}},
      {"/v1/connect-test?x=1", {"v1", "connect-test?x=1"}},
      {"/a%20b.webp", {"a%20b.webp"}},
      {"x", {"x"}},
  };
  for (const auto& c : cases) EXPECT_EQ(splitPath(c.path), c.segments) << c.path;
}

TEST(ParseUrlEncodedForm, Table) {
  struct {
    std::string body;
    Form form;
  } cases[] = {
      {"", {}},
      {"a=1&a=2", {{"a", "2"}}},
      {"a&b=", {{"b", ""}}},
      {"=x", {{"", "x"}}},
      {"k=a=b", {{"k", "a=b"}}},
      {"a%3Db=c", {{"a=b", "c"}}},
      {"x=1&&y=2&", {{"x", "1"}, {"y", "2"}}},
      {"n=J+D%C3%A9", {{"n", "J D\xC3\xA9"}}},
      {"a=%26&b=2", {{"a", "&"}, {"b", "2"}}},
      {"id=7&uid=3&sid=abc", {{"id", "7"}, {"uid", "3"}, {"sid", "abc"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(parseUrlEncodedForm(c.body), c.form) << c.body;
}

TEST(UndecodedForms, MapAndUnorderedMap) {
  EXPECT_EQ(parseFormToMap("a=%41+b"), (Form{{"a", "%41+b"}}));
  EXPECT_EQ(parseFormToMap("x=1&&y&z=2=3&x=4"), (Form{{"x", "4"}, {"z", "2=3"}}));
  EXPECT_EQ(parseFormToMap(""), Form{});

  char text[] = "a=%41+b";
  auto fields = parseFormToUnorderedMap(text);
  ASSERT_EQ(fields.size(), 1u);
  EXPECT_EQ(fields["a"], "%41+b");
  EXPECT_EQ(text[1], '\0');  // the '=' was overwritten

  char runs[] = "&&x=1&&&y=&z&";
  auto more = parseFormToUnorderedMap(runs);
  EXPECT_EQ(more.size(), 2u);
  EXPECT_EQ(more["x"], "1");
  EXPECT_EQ(more["y"], "");
}

TEST(SplitApiUrl, Table) {
  struct {
    const char* target;
    int result;
    const char* version;
    const char* path;
    const char* query;
  } cases[] = {
      {"/v1/news/7?page=2", 0, "v1", "news/7", "page=2"},
      {"/v2/list", 0, "v2", "list", "unchanged"},
      {"/?q=/v1/a", 0, "v1", "", "q=/v1/a"},
      {"/list/2", 1, "unchanged", "unchanged", "unchanged"},
      {"/v1", 1, "unchanged", "unchanged", "unchanged"},
      {"/v1/", 0, "v1", "", "unchanged"},
      {"/v1/a?", 0, "v1", "a", ""},
      {"/x/v3/p/q", 0, "v3", "p/q", "unchanged"},
  };
  for (const auto& c : cases) {
    char version[64] = "unchanged", path[64] = "unchanged", query[64] = "unchanged";
    EXPECT_EQ(splitApiUrl(c.target, version, path, query), c.result) << c.target;
    EXPECT_STREQ(version, c.version) << c.target;
    EXPECT_STREQ(path, c.path) << c.target;
    EXPECT_STREQ(query, c.query) << c.target;
  }
}

}  // namespace
