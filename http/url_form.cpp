// url_form.cpp -- request path splitting, percent-decoding and form splitting.
#include "http/url_form.h"

#include <cstdlib>
#include <cstring>
#include <sstream>

std::string urlDecode(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  const std::size_t length = text.size();
  for (std::size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c == '+') {
      decoded += ' ';
    } else if (c == '%' && i + 2 < length) {
      char hex[3] = {text[i + 1], text[i + 2], '\0'};
      long value = std::strtol(hex, nullptr, 16);
      decoded += static_cast<char>(static_cast<unsigned char>(value & 0xFF));
      i += 2;
    } else {
      decoded += c;
    }
  }
  return decoded;
}

std::vector<std::string> splitPath(std::string_view path) {
  std::vector<std::string> segments;
  if (!path.empty() && path[0] == '/') path.remove_prefix(1);
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > start) segments.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return segments;
}

std::map<std::string, std::string> parseUrlEncodedForm(std::string_view body) {
  std::map<std::string, std::string> form;
  if (body.empty()) return form;
  std::size_t start = 0;
  while (true) {
    std::size_t amp = body.find('&', start);
    const std::string_view piece =
        body.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start);
    std::size_t eq = piece.find('=');
    if (eq != std::string_view::npos) {
      form[urlDecode(piece.substr(0, eq))] = urlDecode(piece.substr(eq + 1));
    }
    if (amp == std::string_view::npos) break;
    start = amp + 1;
  }
  return form;
}

std::map<std::string, std::string> parseFormToMap(const std::string& form) {
  std::map<std::string, std::string> fields;
  std::istringstream stream(form);
  std::string piece;
  while (std::getline(stream, piece, '&')) {
    std::size_t eq = piece.find('=');
    if (eq == std::string::npos) continue;
    fields[piece.substr(0, eq)] = piece.substr(eq + 1);
  }
  return fields;
}

std::unordered_map<std::string, std::string> parseFormToUnorderedMap(char* form) {
  std::unordered_map<std::string, std::string> fields;
  if (form == nullptr) return fields;
  for (char* piece = std::strtok(form, "&"); piece != nullptr; piece = std::strtok(nullptr, "&")) {
    char* eq = std::strchr(piece, '=');
    if (eq == nullptr) continue;
    *eq = '\0';
    fields[piece] = eq + 1;
  }
  return fields;
}

int splitApiUrl(const char* target, char* version, char* path, char* query) {
  const char* versionStart = std::strstr(target, "/v");
  if (versionStart == nullptr) return 1;
  const char* slash = std::strchr(versionStart + 2, '/');
  if (slash == nullptr) return 1;
  std::size_t versionLength = static_cast<std::size_t>(slash - versionStart);
  std::memcpy(version, versionStart, versionLength);
  version[versionLength] = '\0';
  const char* question = std::strchr(target, '?');
  if (question != nullptr) {
    if (slash < question) {
      std::size_t pathLength = static_cast<std::size_t>(question - slash);
      std::memcpy(path, slash, pathLength);
      path[pathLength] = '\0';
    } else {
      path[0] = '\0';
    }
    std::strcpy(query, question + 1);
  } else {
    std::strcpy(path, slash);
  }
  // Drop the leading '/' of the version and of the path.
  if (version[0] == '/') std::memmove(version, version + 1, std::strlen(version));
  if (path[0] == '/') std::memmove(path, path + 1, std::strlen(path));
  return 0;
}
