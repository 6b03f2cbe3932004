// response.h -- reply header blocks, {"r": code} status objects, content
// types, the two fixed HTML pages and the routines that send a reply.
#pragma once

#include <cjson/cJSON.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

#include "storage/file_helpers.h"

// The name and version the node announces in its Server line and pages.
constexpr const char* kServerName = "Ondrix Node Server";
constexpr const char* kServerVersion = "0.1.0";

// The header block of a reply: status line, Server, Date (UTC), Content-Type
// only when contentType is not empty, Connection: close, then an empty line.
// bodyLength is accepted for the callers' sake and not written (the body ends
// when the connection closes).
std::string buildResponseHeader(int status, std::string contentType, int bodyLength);

// A new object {"r": code}, owned by the caller (free with cJSON_Delete).
// Sets contentType to "application/json". Returns null only when memory runs out.
cJSON* makeStatusJson(int code, std::string& contentType);

// The content type for a file name by its last extension (case-sensitive);
// "text/plain; charset=UTF-8" when it has none or an unknown one. The result
// is a constant text.
const char* mimeTypeFor(const char* name);

// The fixed hello page and the not-found page.
std::string helloWorldPage();
std::string notFoundPage();

// Sends all length bytes of data on the socket, continuing after short sends
// and retrying on EINTR. Never raises SIGPIPE. Returns false when a send
// fails (the peer has gone); the rest of the bytes are then lost.
bool sendAll(int socket, const char* data, std::size_t length);
bool sendAll(int socket, const std::string& bytes);

// Sends a header block like sendAll, but lets the kernel hold it back until
// the next send on socket (the body, which must follow at once and not be
// empty), so that both may leave together. Returns false when a send failed.
bool sendHeaderBeforeBody(int socket, const std::string& header);

// Sends one reply: the header block of status and contentType, then body,
// together in one send. Returns false when a send failed; the reply then ends where it failed.
bool sendReply(int socket, int status, const std::string& contentType, const std::string& body);

// Sends a JSON reply: reply printed unformatted as the body, with status and
// type "application/json". When the tree cannot be printed, {"r":404} with
// status 404 goes out instead. The tree stays the caller's. Returns false
// when a send failed.
bool sendJsonReply(int socket, int status, const cJSON* reply);

// Sends the first length bytes of the open file fd (fewer when the file ends
// sooner; bytes past length, as of a file that grew since its size was
// announced, are not sent): with sendfile, from the page cache to the socket
// without a copy through this process, or by reads and sends where the
// socket takes no sendfile. fd stays the caller's. A peer that has gone ends
// the reply only: SIGPIPE is blocked on the calling thread from then on, and
// one that sendfile raises is taken back. Returns false when a send failed.
bool sendFileContents(int socket, int fd, off_t length);

// What a reply left behind for the I/O side to finish: bytes the socket did
// not take at once, then the rest of a file from fileOffset (a file always
// ends a reply).
struct PendingReply {
  bool failed = false;   // a send failed: the peer has gone
  std::string bytes;
  std::size_t bytesSent = 0;
  FileDescriptor file;  // a duplicate of the file being sent, or none
  off_t fileOffset = 0;
  off_t fileEnd = 0;  // where the file's part of the reply ends
};

// True when reply still has bytes or a file to send.
bool hasUnsent(const PendingReply& reply);

// While one lives, the sends above on socket from this thread never wait:
// what socket (non-blocking) does not take at once is kept in reply, in
// order, and the send reports success. Sends on other sockets are not
// affected. One at a time per thread.
struct DeferredSends {
  DeferredSends(int socket, PendingReply& reply);
  ~DeferredSends();
  DeferredSends(const DeferredSends&) = delete;
  DeferredSends& operator=(const DeferredSends&) = delete;
};

// How far continueReply got.
enum class ReplyProgress { kDone, kBlocked, kFailed };

// Sends what reply left behind on the non-blocking socket until it is all
// gone (kDone), the socket takes no more for now (kBlocked) or a send fails
// (kFailed). progressed tells whether any byte left. SIGPIPE is blocked on
// the calling thread as by sendFileContents.
ReplyProgress continueReply(int socket, PendingReply& reply, bool& progressed);
