// form_fields.cpp -- reading the POST actions' fields from their forms.
#include "api/form_fields.h"

#include <cstddef>

#include "http/request_text.h"

bool readFormInteger(std::string_view text, int& value) { return readDecimalInt(text, value); }

std::string withoutTrailingLineBreaks(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

std::string multipartText(const FormPart& part) {
  const std::string_view data = part.data;
  if (part.dataCutByLength) return withoutTrailingLineBreaks(std::string(data));
  std::size_t end = data.size();
  while (end > 0) {
    const char c = data[end - 1];
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
    --end;
  }
  return std::string(data.substr(0, end));
}

bool hasOverlongField(const UserFormFields& fields) {
  return fields.sid.size() > kMaxUserFieldBytes || fields.nickname.size() > kMaxUserFieldBytes ||
         fields.hash.size() > kMaxUserFieldBytes;
}

bool hasOverlongField(const NicknameFormFields& fields) {
  return fields.sid.size() > kMaxUserFieldBytes || fields.nickname.size() > kMaxUserFieldBytes;
}

bool readUserFormFields(const std::vector<FormPart>& parts, UserFormFields& fields) {
  for (const FormPart& part : parts) {
    if (part.name == "uid") {
      if (!readFormInteger(part.data, fields.uid)) return false;
    } else if (part.name == "sid") {
      fields.sid = multipartText(part);
    } else if (part.name == "nickname") {
      fields.nickname = multipartText(part);
    } else if (part.name == "avatar") {
      fields.avatar = part.data;
      fields.hasAvatar = true;
    } else if (part.name == "hash") {
      fields.hash = multipartText(part);
      fields.hasHash = true;
    }
  }
  return true;
}

bool readNewsFormFields(const std::vector<FormPart>& parts, NewsFormFields& fields) {
  for (const FormPart& part : parts) {
    if (part.name == "uid") {
      if (!readFormInteger(part.data, fields.uid)) return false;
    } else if (part.name == "id") {
      if (!readFormInteger(part.data, fields.id)) return false;
    } else if (part.name == "sid") {
      fields.sid = multipartText(part);
    } else if (part.name == "title") {
      fields.title = multipartText(part);
    } else if (part.name == "content") {
      fields.content = multipartText(part);
    } else {
      continue;
    }
    ++fields.textParts;
  }
  return true;
}

bool readNicknameFormFields(const UrlForm& form, NicknameFormFields& fields) {
  for (const auto& [name, value] : form) {
    if (name == "uid") {
      if (!readFormInteger(value, fields.uid)) return false;
    } else if (name == "sid") {
      fields.sid = withoutTrailingLineBreaks(value);
    } else if (name == "nickname") {
      fields.nickname = withoutTrailingLineBreaks(value);
    }
  }
  return true;
}

bool readLikeFormFields(const UrlForm& form, LikeFormFields& fields) {
  for (const auto& [name, value] : form) {
    if (name == "id") {
      if (!readFormInteger(value, fields.id)) return false;
      fields.hasId = true;
    } else if (name == "sid") {
      fields.sid = value;
    } else if (name == "uid") {
      if (!readFormInteger(value, fields.uid)) return false;
    }
  }
  return true;
}

bool readDeleteNewsFormFields(const UrlForm& form, DeleteNewsFormFields& fields) {
  for (const auto& [name, value] : form) {
    if (name == "uid") {
      if (!readFormInteger(value, fields.uid)) return false;
    } else if (name == "id") {
      if (!readFormInteger(value, fields.id)) return false;
    } else if (name == "sid") {
      fields.sid = withoutTrailingLineBreaks(value);
    }
  }
  return true;
}
