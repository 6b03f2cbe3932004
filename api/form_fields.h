// form_fields.h -- the form fields of the six POST actions: which fields each
// action reads, how (text, text without trailing line breaks, form integer),
// and their values when the form does not carry them.
#pragma once

#include <cjson/cJSON.h>

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http/multipart.h"

// A URL-encoded form: decoded names to decoded values, in byte order of the names.
using UrlForm = std::map<std::string, std::string>;

// The longest session id, nickname or avatar hash that signin, postavatar and
// postnickname store (as read, after trimming). Anyone may send these without
// an account, and each is kept in memory and in every save for good.
constexpr std::size_t kMaxUserFieldBytes = 1024;

// Reads a form integer: white space at the start skipped, an optional sign,
// at least one decimal digit, reading stops at the first non-digit. False,
// with value untouched, when there are no digits or the number lies outside
// the int range.
bool readFormInteger(std::string_view text, int& value);

// text without every CR and LF at its end.
std::string withoutTrailingLineBreaks(std::string text);

// The text of a multipart text field: the part's data without its trailing
// blanks, tabs, CR and LF; only without its trailing CR and LF when the
// part's own Content-Length line gave the data. Uploaded file bytes are never
// read through this.
std::string multipartText(const FormPart& part);

// The fields of signin and postavatar (postavatar ignores "nickname").
struct UserFormFields {
  int uid = -1;
  std::string sid;
  std::string nickname;
  std::string_view avatar;  // the image bytes, exactly as uploaded: a view of the part's data
  std::string hash;
  bool hasAvatar = false;  // an "avatar" part was present, even empty
  bool hasHash = false;    // a "hash" part was present, even empty
};

// The text fields of postnews and how many parts carried them.
struct NewsFormFields {
  int uid = -1;
  int id = -1;
  std::string sid;
  std::string title;
  std::string content;
  int textParts = 0;  // parts named uid, sid, id, title or content, repeats included
};

// The fields of postnickname.
struct NicknameFormFields {
  int uid = -1;
  std::string sid;
  std::string nickname;
};

// The fields of like. The session id is taken unchanged.
struct LikeFormFields {
  bool hasId = false;  // without "id" the news item is not looked up
  int id = 0;
  int uid = 0;
  std::string sid;
};

// The fields of delnews.
struct DeleteNewsFormFields {
  int uid = -1;
  int id = -1;
  std::string sid;
};

// True when the sid, nickname or hash is longer than kMaxUserFieldBytes.
bool hasOverlongField(const UserFormFields& fields);
bool hasOverlongField(const NicknameFormFields& fields);

// Each reader visits the form once, in its order; a later field of the same
// name replaces an earlier one. The text fields are copies; the avatar views
// its part's data, valid as long as the request text the parts view. It
// returns false when a form integer cannot be read (the action then ends the
// request), true otherwise.
bool readUserFormFields(const std::vector<FormPart>& parts, UserFormFields& fields);
bool readNewsFormFields(const std::vector<FormPart>& parts, NewsFormFields& fields);
bool readNicknameFormFields(const UrlForm& form, NicknameFormFields& fields);
bool readLikeFormFields(const UrlForm& form, LikeFormFields& fields);
bool readDeleteNewsFormFields(const UrlForm& form, DeleteNewsFormFields& fields);
