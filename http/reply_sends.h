// reply_sends.h -- the sends of a reply: its bytes and its file, whole, or
// deferred while a DeferredSends lives.
#pragma once

#include <cjson/cJSON.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

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
// together in one send. Returns false when a send failed; the reply then
// ends where it failed.
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
