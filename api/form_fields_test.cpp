// form_fields_test.cpp -- the form integer and the field readers of the POST actions.
#include "api/form_fields.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace {

TEST(FormInteger, Table) {
  struct {
    const char* text;
    bool readable;
    int value;
  } cases[] = {
      {"12abc", true, 12},
      {"+7", true, 7},
      {" -3", true, -3},
      {"\t\r\n\v\f 5", true, 5},
      {"5\r\n", true, 5},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, -2147483647 - 1},
      {"00042", true, 42},
      {"", false, 0},
      {"abc", false, 0},
      {"-", false, 0},
      {"+ 1", false, 0},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
      {"99999999999999999999999", false, 0},
      {"8", true, 8},
  };
  for (const auto& c : cases) {
    int value = -99;
    EXPECT_EQ(readFormInteger(c.text, value), c.readable) << '"' << c.text << '"';
    EXPECT_EQ(value, c.readable ? c.value : -99) << '"' << c.text << '"';
  }
}

FormPart part(std::string_view name, std::string_view data, std::string_view filename = "") {
  return FormPart{name, data, filename, ""};
}

TEST(FormFields, UserFieldsTrimTextButNeverTheAvatarBytes) {
  UserFormFields f;
  std::vector<FormPart> parts = {part("sid", "first"),
                                 part("uid", "5\r\n"),
                                 part("nickname", "Jo \t\r\n\r\n"),
                                 part("avatar", "ab\r\n \t", "a.webp"),
                                 part("hash", "h1\r\n"),
                                 part("sid", "second\r\n"),
                                 part("other", "x")};
  ASSERT_TRUE(readUserFormFields(parts, f));
  EXPECT_EQ(f.uid, 5);
  EXPECT_EQ(f.sid, "second");
  EXPECT_EQ(f.nickname, "Jo");
  EXPECT_EQ(f.avatar, "ab\r\n \t");
  EXPECT_EQ(f.hash, "h1");
  EXPECT_TRUE(f.hasAvatar);
  EXPECT_TRUE(f.hasHash);

  UserFormFields empty;
  ASSERT_TRUE(readUserFormFields({part("avatar", "")}, empty));
  EXPECT_EQ(empty.uid, -1);
  EXPECT_TRUE(empty.hasAvatar);
  EXPECT_FALSE(empty.hasHash);

  UserFormFields bad;
  EXPECT_FALSE(readUserFormFields({part("uid", "1"), part("uid", "x")}, bad));
}

// A text field loses its trailing blanks, tabs, CR and LF; when its part's
// own Content-Length line gave the data, only its trailing CR and LF.
TEST(FormFields, MultipartTextTrimsOnlyLineBreaksOfDataCutByLength) {
  struct {
    const char* data;
    bool cutByLength;
    const char* text;
  } cases[] = {
      {"Jo \t\r\n", false, "Jo"}, {"Jo \t\r\n", true, "Jo \t"}, {" \t", true, " \t"},
      {"\r\n\r\n", true, ""},     {" \t\r\n", false, ""},       {"a b", false, "a b"},
  };
  for (const auto& c : cases) {
    FormPart p = part("nickname", c.data);
    p.dataCutByLength = c.cutByLength;
    EXPECT_EQ(multipartText(p), c.text) << c.data << " cut " << c.cutByLength;
  }
  // Through the parser: a nickname part whose Content-Length keeps a trailing blank.
  UserFormFields f;
  ASSERT_TRUE(readUserFormFields(
      parseMultipart("B",
                     "--B\r\nContent-Disposition: form-data; name=\"nickname\"\r\n"
                     "Content-Length: 4\r\nX: y\r\n\r\nJo \t  \r\n--B--"),
      f));
  EXPECT_EQ(f.nickname, "Jo \t");
}

TEST(FormFields, NewsFieldsCountTheirTextParts) {
  NewsFormFields f;
  std::vector<FormPart> parts = {
      part("uid", "1"),    part("sid", "s"),         part("id", "0"),       part("title", "T "),
      part("title", "T2"), part("content", "C\r\n"), part("img", "xx", "0")};
  ASSERT_TRUE(readNewsFormFields(parts, f));
  EXPECT_EQ(f.textParts, 6);
  EXPECT_EQ(f.uid, 1);
  EXPECT_EQ(f.id, 0);
  EXPECT_EQ(f.title, "T2");
  EXPECT_EQ(f.content, "C");
  NewsFormFields bad;
  EXPECT_FALSE(readNewsFormFields({part("id", "")}, bad));
}

TEST(FormFields, UrlEncodedFields) {
  NicknameFormFields n;
  ASSERT_TRUE(readNicknameFormFields({{"nickname", "Ann\r\n"}, {"sid", "s\r"}, {"uid", "3"}}, n));
  EXPECT_EQ(n.uid, 3);
  EXPECT_EQ(n.sid, "s");
  EXPECT_EQ(n.nickname, "Ann");
  NicknameFormFields n2;
  EXPECT_FALSE(readNicknameFormFields({{"uid", "abc"}}, n2));

  LikeFormFields l;
  ASSERT_TRUE(readLikeFormFields({{"sid", "s\r"}}, l));
  EXPECT_FALSE(l.hasId);
  EXPECT_EQ(l.id, 0);
  EXPECT_EQ(l.uid, 0);
  EXPECT_EQ(l.sid, "s\r");  // like takes the session id unchanged
  LikeFormFields l2;
  EXPECT_FALSE(readLikeFormFields({{"id", "1"}, {"uid", "x"}}, l2));
  LikeFormFields l3;
  EXPECT_FALSE(readLikeFormFields({{"id", "x"}}, l3));

  DeleteNewsFormFields d;
  ASSERT_TRUE(readDeleteNewsFormFields({{"id", "4"}, {"sid", "s\n"}, {"uid", "+2"}}, d));
  EXPECT_EQ(d.id, 4);
  EXPECT_EQ(d.uid, 2);
  EXPECT_EQ(d.sid, "s");
  DeleteNewsFormFields d2;
  ASSERT_TRUE(readDeleteNewsFormFields({}, d2));
  EXPECT_EQ(d2.uid, -1);
  EXPECT_EQ(d2.id, -1);
}

}  // namespace
