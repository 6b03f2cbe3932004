// response.cpp -- reply header blocks, status objects, content types, fixed
// pages and complete sends.
#include "http/response.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "storage/json_tree.h"

namespace {

constexpr const char* kCrLf = "\r\n";
constexpr const char* kDateFormat = "%a, %d %b %Y %H:%M:%S GMT";
constexpr std::size_t kDateBufferSize = 100;
// Room for a header block without its content type: one allocation builds it.
constexpr std::size_t kHeaderReserveBytes = 128;
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

namespace {

// Appends the header block of status and contentType to header.
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

}  // namespace

std::string buildResponseHeader(int status, std::string contentType, int /*bodyLength*/) {
  std::string header;
  header.reserve(kHeaderReserveBytes + contentType.size());
  appendResponseHeader(header, status, contentType);
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

// Where a socket takes no sendfile, file bodies go out in reads of this size.
constexpr std::size_t kFileChunk = 64 * 1024;
// The most one sendfile call is asked to send.
constexpr std::size_t kSendfileChunk = 1 << 20;

// The reply whose sends on deferredSocket are not to wait (see DeferredSends).
thread_local int deferredSocket = -1;
thread_local PendingReply* deferredReply = nullptr;

PendingReply* deferralFor(int socket) {
  return deferredReply != nullptr && socket == deferredSocket ? deferredReply : nullptr;
}

// Sends what the non-blocking socket takes now and keeps the rest in reply,
// behind anything it holds already. False once a send has failed.
bool deferSend(int socket, PendingReply& reply, const char* data, std::size_t length, int flags) {
  if (reply.failed) return false;
  if (hasUnsent(reply)) {
    // A file ends a reply: nothing may follow it.
    if (reply.file.valid()) {
      reply.failed = true;
      return false;
    }
    reply.bytes.append(data, length);
    return true;
  }
  std::size_t sent = 0;
  while (sent < length) {
    ssize_t n = ::send(socket, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT | flags);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      reply.bytes.assign(data + sent, length - sent);
      reply.bytesSent = 0;
      return true;
    }
    reply.failed = true;
    return false;
  }
  return true;
}

// sendAll with extra send flags.
bool sendAllWith(int socket, const char* data, std::size_t length, int flags) {
  if (PendingReply* deferred = deferralFor(socket)) {
    return deferSend(socket, *deferred, data, length, flags);
  }
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

namespace {

// Sends the header block of status and contentType and then length bytes of
// body in one send: the reply leaves in one system call and one segment.
bool sendWithHeader(int socket, int status, const std::string& contentType, const char* body,
                    std::size_t length) {
  std::string reply;
  reply.reserve(kHeaderReserveBytes + contentType.size() + length);
  appendResponseHeader(reply, status, contentType);
  reply.append(body, length);
  return sendAll(socket, reply);
}

}  // namespace

bool sendReply(int socket, int status, const std::string& contentType, const std::string& body) {
  return sendWithHeader(socket, status, contentType, body.data(), body.size());
}

bool sendJsonReply(int socket, int status, const cJSON* reply) {
  JsonText text(reply != nullptr ? cJSON_PrintUnformatted(reply) : nullptr);
  if (text == nullptr) {
    // The tree could not be printed: answer as for a missing record.
    std::string type;
    JsonTree fallback(makeStatusJson(404, type));
    status = 404;
    if (fallback != nullptr) text.reset(cJSON_PrintUnformatted(fallback.get()));
    if (text == nullptr) return sendReply(socket, status, kJsonType, "{\"r\":404}");
  }
  return sendWithHeader(socket, status, kJsonType, text.get(), std::strlen(text.get()));
}

namespace {

// Blocks SIGPIPE on the calling thread from its first file send on (sendfile
// has no MSG_NOSIGNAL), and takes back one that a send raised meanwhile. The
// block stays: set and lifted around every file it would cost three system
// calls per reply.
struct BrokenPipeGuard {
  sigset_t pipeOnly;
  bool broken = false;
  BrokenPipeGuard() {
    thread_local bool blocked = false;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    if (!blocked) {
      blocked = pthread_sigmask(SIG_BLOCK, &pipeOnly, nullptr) == 0;
    }
  }
  ~BrokenPipeGuard() {
    if (broken) {
      const timespec noWait{0, 0};
      sigtimedwait(&pipeOnly, nullptr, &noWait);
    }
  }
  BrokenPipeGuard(const BrokenPipeGuard&) = delete;
  BrokenPipeGuard& operator=(const BrokenPipeGuard&) = delete;
};

enum class FilePart { kSent, kEnd, kBlocked, kFailed };

// Sends the next part of file fd from offset (advanced by what left) up to
// end: kEnd once offset has reached end or the file ends sooner. On a
// blocking socket kBlocked means its send time-out ran out.
FilePart sendFilePart(int socket, int fd, off_t& offset, off_t end, bool wait,
                      BrokenPipeGuard& guard) {
  if (offset >= end) return FilePart::kEnd;
  const std::size_t wanted =
      static_cast<std::size_t>(std::min<off_t>(end - offset, static_cast<off_t>(kSendfileChunk)));
  ssize_t sent = sendfile(socket, fd, &offset, wanted);
  if (sent > 0) return FilePart::kSent;
  if (sent == 0) return FilePart::kEnd;
  if (errno == EINTR) return FilePart::kSent;
  if (errno == EAGAIN || errno == EWOULDBLOCK) return FilePart::kBlocked;
  if (errno == EPIPE) guard.broken = true;
  if (errno != EINVAL && errno != ENOSYS) return FilePart::kFailed;
  // The socket takes no sendfile: read and send the same bytes.
  char buffer[kFileChunk];
  ssize_t read = pread(fd, buffer, std::min(sizeof buffer, wanted), offset);
  if (read < 0) return errno == EINTR ? FilePart::kSent : FilePart::kFailed;
  if (read == 0) return FilePart::kEnd;
  ssize_t n = ::send(socket, buffer, static_cast<std::size_t>(read),
                     MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT));
  if (n > 0) {
    offset += n;
    return FilePart::kSent;
  }
  if (n < 0 && errno == EINTR) return FilePart::kSent;
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return FilePart::kBlocked;
  return FilePart::kFailed;
}

// Keeps a duplicate of fd in reply, to be sent from offset up to end by the
// I/O side.
bool deferFile(PendingReply& reply, int fd, off_t offset, off_t end) {
  reply.file = FileDescriptor(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  reply.fileOffset = offset;
  reply.fileEnd = end;
  if (!reply.file.valid()) reply.failed = true;
  return !reply.failed;
}

}  // namespace

bool sendFileContents(int socket, int fd, off_t length) {
  PendingReply* deferred = deferralFor(socket);
  if (deferred != nullptr) {
    if (deferred->failed) return false;
    if (hasUnsent(*deferred)) {
      if (deferred->file.valid()) deferred->failed = true;
      return !deferred->failed && deferFile(*deferred, fd, 0, length);
    }
  }
  BrokenPipeGuard guard;
  off_t offset = 0;
  while (true) {
    switch (sendFilePart(socket, fd, offset, length, deferred == nullptr, guard)) {
      case FilePart::kSent:
        continue;
      case FilePart::kEnd:
        return true;
      case FilePart::kBlocked:
        if (deferred != nullptr) return deferFile(*deferred, fd, offset, length);
        return false;  // the send time-out ran out
      case FilePart::kFailed:
        if (deferred != nullptr) deferred->failed = true;
        return false;
    }
  }
}

bool hasUnsent(const PendingReply& reply) {
  return reply.bytesSent < reply.bytes.size() || reply.file.valid();
}

DeferredSends::DeferredSends(int socket, PendingReply& reply) {
  deferredSocket = socket;
  deferredReply = &reply;
}

DeferredSends::~DeferredSends() {
  deferredSocket = -1;
  deferredReply = nullptr;
}

ReplyProgress continueReply(int socket, PendingReply& reply, bool& progressed) {
  progressed = false;
  while (reply.bytesSent < reply.bytes.size()) {
    ssize_t n = ::send(socket, reply.bytes.data() + reply.bytesSent,
                       reply.bytes.size() - reply.bytesSent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      reply.bytesSent += static_cast<std::size_t>(n);
      progressed = true;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ReplyProgress::kBlocked;
    return ReplyProgress::kFailed;
  }
  std::string().swap(reply.bytes);
  reply.bytesSent = 0;
  if (!reply.file.valid()) return ReplyProgress::kDone;
  BrokenPipeGuard guard;
  while (true) {
    switch (sendFilePart(socket, reply.file.get(), reply.fileOffset, reply.fileEnd, false, guard)) {
      case FilePart::kSent:
        progressed = true;
        continue;
      case FilePart::kEnd:
        reply.file = FileDescriptor();
        return ReplyProgress::kDone;
      case FilePart::kBlocked:
        return ReplyProgress::kBlocked;
      case FilePart::kFailed:
        return ReplyProgress::kFailed;
    }
  }
}
