// deferred_sends.cpp -- what a reply leaves for the I/O side, the
// thread-local deferral of sends, and the sends that finish a reply.
#include "http/deferred_sends.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>

#include "http/file_sends.h"

namespace {

// The reply whose sends on deferredSocket are not to wait (see DeferredSends).
thread_local int deferredSocket = -1;
thread_local PendingReply* deferredReply = nullptr;

}  // namespace

PendingReply* deferralFor(int socket) {
  return deferredReply != nullptr && socket == deferredSocket ? deferredReply : nullptr;
}

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

bool deferFile(PendingReply& reply, int fd, off_t offset, off_t end) {
  reply.file = FileDescriptor(fcntl(fd, F_DUPFD_CLOEXEC, 0));
  reply.fileOffset = offset;
  reply.fileEnd = end;
  if (!reply.file.valid()) reply.failed = true;
  return !reply.failed;
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
