// form_fields.cpp -- reading the POST actions' fields from their forms.
#include "api/form_fields.h"

#include <climits>
#include <cstddef>

namespace {

bool isFormSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

bool readFormInteger(const std::string& text, int& value) {
  std::size_t i = 0;
  while (i < text.size() && isFormSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const std::size_t digitsStart = i;
  long long magnitude = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    magnitude = magnitude * 10 + (text[i] - '0');
    // Past this the number is out of range whatever follows; stop before overflow.
    if (magnitude > static_cast<long long>(INT_MAX) + 1) return false;
    ++i;
  }
  if (i == digitsStart) return false;
  const long long signedValue = negative ? -magnitude : magnitude;
  if (signedValue > INT_MAX || signedValue < INT_MIN) return false;
  value = static_cast<int>(signedValue);
  return true;
}

std::string withoutTrailingLineBreaks(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

std::string multipartText(const std::string& data) {
  std::size_t end = data.size();
  while (end > 0) {
    const char c = data[end - 1];
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
    --end;
  }
  return data.substr(0, end);
}

bool readUserFormFields(const std::vector<FormPart>& parts, UserFormFields& fields) {
  for (const FormPart& part : parts) {
    if (part.name == "uid") {
      if (!readFormInteger(part.data, fields.uid)) return false;
    } else if (part.name == "sid") {
      fields.sid = multipartText(part.data);
    } else if (part.name == "nickname") {
      fields.nickname = multipartText(part.data);
    } else if (part.name == "avatar") {
      fields.avatar = part.data;
      fields.hasAvatar = true;
    } else if (part.name == "hash") {
      fields.hash = multipartText(part.data);
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
      fields.sid = multipartText(part.data);
    } else if (part.name == "title") {
      fields.title = multipartText(part.data);
    } else if (part.name == "content") {
      fields.content = multipartText(part.data);
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
