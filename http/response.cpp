// response.cpp -- reply header blocks, status objects, content types, fixed
// pages and complete sends.
#include "http/response.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

namespace {

constexpr const char* kCrLf = "\r\n";
constexpr const char* kDateFormat = "%a, %d %b %Y %H:%M:%S GMT";
constexpr std::size_t kDateBufferSize = 100;
constexpr const char* kJsonType = "application/json";
constexpr const char* kDefaultType = "text/plain; charset=UTF-8";
constexpr const char* kNotFoundTitle = "404 Not Found";
// Link target of the not-found page's product word.
constexpr const char* kProductSite = "https://example.com/";
constexpr const char* kProductWord = "Ondrix";

struct MimeRow {
  const char* extension;
  const char* type;
};

constexpr MimeRow kMimeTable[] = {
    {".html", "text/html; charset=UTF-8"},
    {".htm", "text/html; charset=UTF-8"},
    {".xhtml", "application/xhtml+xml; charset=UTF-8"},
    {".xht", "application/xhtml+xml; charset=UTF-8"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".gif", "image/gif"},
    {".png", "image/png"},
    {".css", "text/css"},
    {".js", "text/javascript"},
    {".xml", "text/xml; charset=UTF-8"},
    {".xsl", "text/xml; charset=UTF-8"},
    {".au", "audio/basic"},
    {".wav", "audio/wav"},
    {".avi", "video/x-msvideo"},
    {".mov", "video/quicktime"},
    {".qt", "video/quicktime"},
    {".mpeg", "video/mpeg"},
    {".mpe", "video/mpeg"},
    {".vrml", "model/vrml"},
    {".wrl", "model/vrml"},
    {".midi", "audio/midi"},
    {".mid", "audio/midi"},
    {".mp3", "audio/mpeg"},
    {".ogg", "application/ogg"},
    {".pac", "application/x-ns-proxy-autoconfig"},
    {".json", "application/json"},
};

const char* reasonFor(int status) {
  if (status == 200) return "OK";
  if (status == 404) return "Not Found";
  return "Unknown";
}

std::string currentHttpDate() {
  std::time_t now = std::time(nullptr);
  std::tm calendar{};
  char buffer[kDateBufferSize];
  // gmtime_r: each call has its own calendar result, since many workers
  // build headers at once.
  if (gmtime_r(&now, &calendar) == nullptr) return "";
  std::size_t n = std::strftime(buffer, sizeof buffer, kDateFormat, &calendar);
  return std::string(buffer, n);
}

}  // namespace

std::string buildResponseHeader(int status, std::string contentType, int /*bodyLength*/) {
  std::string header;
  header += "HTTP/1.1 ";
  header += std::to_string(status);
  header += ' ';
  header += reasonFor(status);
  header += kCrLf;
  header += "Server: ";
  header += kServerName;
  header += ' ';
  header += kServerVersion;
  header += ' ';
  header += kCrLf;
  header += "Date: ";
  header += currentHttpDate();
  header += kCrLf;
  if (!contentType.empty()) {
    header += "Content-Type: ";
    header += contentType;
    header += kCrLf;
  }
  header += "Connection: close";
  header += kCrLf;
  header += kCrLf;
  return header;
}

cJSON* makeStatusJson(int code, std::string& contentType) {
  contentType = kJsonType;
  cJSON* object = cJSON_CreateObject();
  if (object == nullptr) return nullptr;
  if (cJSON_AddNumberToObject(object, "r", code) == nullptr) {
    cJSON_Delete(object);
    return nullptr;
  }
  return object;
}

const char* mimeTypeFor(const char* name) {
  if (name == nullptr) return kDefaultType;
  const char* dot = std::strrchr(name, '.');
  if (dot == nullptr) return kDefaultType;
  for (const MimeRow& row : kMimeTable) {
    if (std::strcmp(dot, row.extension) == 0) return row.type;
  }
  return kDefaultType;
}

std::string helloWorldPage() {
  return "<!DOCTYPE html>\t<html>\t\t<head>\t\t\t<meta http-equiv=\"Content-Type\" "
         "content=\"text/html; charset=utf-8\" />\t\t\t<title>Hello World!</title>\t\t</head>"
         "\t\t<body>\t\t\t<h1>Hello World! </h1>\t\t</body>\t</html>";
}

std::string notFoundPage() {
  std::string page;
  page += "<!DOCTYPE html>\t\t<html>\t\t\t\t<head>\t\t<meta charset=\"UTF-8\">\t\t<title>";
  page += kNotFoundTitle;
  page += "</title>\t\t</head>\t\t\t\t<body>\t\t<h1>";
  page += kNotFoundTitle;
  page += "</h1><br><br>";
  page += kServerName;
  page += " v";
  page += kServerVersion;
  page += " by <a href=\"";
  page += kProductSite;
  page += "\" target=\"_blank\">";
  page += kProductWord;
  page += "</a>\t\t</body>\t\t</html>\t\t";
  return page;
}

namespace {

// sendAll with extra send flags.
bool sendAllWith(int socket, const char* data, std::size_t length, int flags) {
  std::size_t sent = 0;
  while (sent < length) {
    // MSG_NOSIGNAL: a peer that has gone makes the send fail with EPIPE
    // instead of ending the process.
    ssize_t n = ::send(socket, data + sent, length - sent, MSG_NOSIGNAL | flags);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool sendAll(int socket, const char* data, std::size_t length) {
  return sendAllWith(socket, data, length, 0);
}

bool sendAll(int socket, const std::string& bytes) {
  return sendAll(socket, bytes.data(), bytes.size());
}

bool sendHeaderBeforeBody(int socket, const std::string& header) {
  // MSG_MORE holds the header block back until the body's first send joins
  // it: the reply's start leaves in one segment instead of two.
  return sendAllWith(socket, header.data(), header.size(), MSG_MORE);
}

bool sendReply(int socket, int status, const std::string& contentType, const std::string& body) {
  std::string header = buildResponseHeader(status, contentType, static_cast<int>(body.size()));
  if (body.empty()) return sendAll(socket, header);
  if (!sendHeaderBeforeBody(socket, header)) return false;
  return sendAll(socket, body);
}

bool sendJsonReply(int socket, int status, const cJSON* reply) {
  std::unique_ptr<char, decltype(&cJSON_free)> text(
      reply != nullptr ? cJSON_PrintUnformatted(reply) : nullptr, &cJSON_free);
  if (text == nullptr) {
    // The tree could not be printed: answer as for a missing record.
    std::string type;
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> fallback(makeStatusJson(404, type),
                                                             &cJSON_Delete);
    status = 404;
    if (fallback != nullptr) text.reset(cJSON_PrintUnformatted(fallback.get()));
    if (text == nullptr) return sendReply(socket, status, kJsonType, "{\"r\":404}");
  }
  return sendReply(socket, status, kJsonType, std::string(text.get()));
}
