// reply_sends.cpp -- the sends of a reply's bytes and file.
#include "http/reply_sends.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>

#include "http/deferred_sends.h"
#include "http/file_sends.h"
#include "http/reply_text.h"

namespace {

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
  const JsonText text = jsonReplyText(reply, status);
  if (text == nullptr) return sendReply(socket, status, kJsonReplyType, "{\"r\":404}");
  return sendWithHeader(socket, status, kJsonReplyType, text.get(), std::strlen(text.get()));
}

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
