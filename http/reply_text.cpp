// reply_text.cpp -- the header block of a reply and the {"r": code} object.
#include "http/reply_text.h"

#include <cstdio>
#include <ctime>

namespace {

constexpr const char* kCrLf = "\r\n";
constexpr const char* kDateFormat = "%a, %d %b %Y %H:%M:%S GMT";
constexpr std::size_t kDateBufferSize = 100;

const char* reasonFor(int status) {
  if (status == 200) return "OK";
  if (status == 404) return "Not Found";
  return "Unknown";
}

// The Date value of the current second. Each thread keeps the text of the
// last second it formatted: replies within one second format it only once.
const std::string& currentHttpDate() {
  thread_local std::time_t formattedSecond = -1;
  thread_local std::string formatted;
  const std::time_t now = std::time(nullptr);
  if (now == formattedSecond) return formatted;
  std::tm calendar{};
  char buffer[kDateBufferSize];
  // gmtime_r: each call has its own calendar result, since many workers
  // build headers at once.
  std::size_t n = 0;
  if (gmtime_r(&now, &calendar) != nullptr) {
    n = std::strftime(buffer, sizeof buffer, kDateFormat, &calendar);
  }
  formatted.assign(buffer, n);
  formattedSecond = n > 0 ? now : -1;
  return formatted;
}

}  // namespace

void appendResponseHeader(std::string& header, int status, const std::string& contentType) {
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
}

std::string buildResponseHeader(int status, std::string contentType, int /*bodyLength*/) {
  std::string header;
  header.reserve(kHeaderReserveBytes + contentType.size());
  appendResponseHeader(header, status, contentType);
  return header;
}

cJSON* makeStatusJson(int code, std::string& contentType) {
  contentType = kJsonReplyType;
  cJSON* object = cJSON_CreateObject();
  if (object == nullptr) return nullptr;
  if (cJSON_AddNumberToObject(object, "r", code) == nullptr) {
    cJSON_Delete(object);
    return nullptr;
  }
  return object;
}

JsonText jsonReplyText(const cJSON* reply, int& status) {
  JsonText text(reply != nullptr ? cJSON_PrintUnformatted(reply) : nullptr);
  if (text != nullptr) return text;
  // The tree could not be printed: answer as for a missing record.
  std::string type;
  JsonTree fallback(makeStatusJson(404, type));
  status = 404;
  if (fallback != nullptr) text.reset(cJSON_PrintUnformatted(fallback.get()));
  return text;
}
