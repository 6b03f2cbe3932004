// deferred_sends.h -- what a reply leaves for the I/O side, the thread-local
// deferral of sends, and the sends that finish a reply.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "storage/file_helpers.h"

// What a reply left behind for the I/O side to finish: bytes the socket did
// not take at once, then the rest of a file from fileOffset (a file always
// ends a reply).
struct PendingReply {
  bool failed = false;  // a send failed: the peer has gone
  std::string bytes;
  std::size_t bytesSent = 0;
  FileDescriptor file;  // a duplicate of the file being sent, or none
  off_t fileOffset = 0;
  off_t fileEnd = 0;  // where the file's part of the reply ends
};

// True when reply still has bytes or a file to send.
bool hasUnsent(const PendingReply& reply);

// While one lives, the sends of reply_sends.h and file_sends.h on socket
// from this thread never wait: what socket (non-blocking) does not take at
// once is kept in reply, in order, and the send reports success. Sends on
// other sockets are not affected. One at a time per thread.
struct DeferredSends {
  DeferredSends(int socket, PendingReply& reply);
  ~DeferredSends();
  DeferredSends(const DeferredSends&) = delete;
  DeferredSends& operator=(const DeferredSends&) = delete;
};

// The reply whose sends on socket this thread defers (see DeferredSends);
// null when none.
PendingReply* deferralFor(int socket);

// Sends what the non-blocking socket takes now and keeps the rest in reply,
// behind anything it holds already. False once a send has failed.
bool deferSend(int socket, PendingReply& reply, const char* data, std::size_t length, int flags);

// Keeps a duplicate of fd in reply, to be sent from offset up to end by the
// I/O side.
bool deferFile(PendingReply& reply, int fd, off_t offset, off_t end);

// How far continueReply got.
enum class ReplyProgress { kDone, kBlocked, kFailed };

// Sends what reply left behind on the non-blocking socket until it is all
// gone (kDone), the socket takes no more for now (kBlocked) or a send fails
// (kFailed). progressed tells whether any byte left. SIGPIPE is blocked on
// the calling thread as by sendFileContents.
ReplyProgress continueReply(int socket, PendingReply& reply, bool& progressed);
