// connection.h -- the task that serves one accepted connection.
#pragma once

#include <cstddef>
#include <string>

// Limits of one connection. A client that stops sending, or sends too slowly,
// loses its connection instead of holding a worker.
constexpr int kReceiveChunkBytes = 4096;
constexpr int kSocketTimeoutMs = 10000;  // each receive and each send
// The whole request must arrive within this time from its first byte, plus
// one second for every kDeadlineBytesPerSecond bytes it announces.
constexpr int kRequestDeadlineMs = 30000;
constexpr long long kDeadlineBytesPerSecond = 256 * 1024;
// A form POST announcing more than this in total (header block plus body) is
// closed without a reply.
constexpr long long kMaxRequestBytes = 64LL * 1024 * 1024;

// The time limits a connection is served with: the node uses these defaults,
// tests shorten them so that none waits the full time.
struct ConnectionLimits {
  int noProgressMs = kSocketTimeoutMs;        // each receive and each send
  int requestDeadlineMs = kRequestDeadlineMs;  // plus the per-byte allowance
};

// The routines that answer a complete request, given by the layer that owns
// the routes. Each sends at most one reply on socket and never closes it:
// get takes the request path, post the path and the whole request text.
struct RequestHandlers {
  void (*get)(int socket, std::string path);
  void (*post)(int socket, std::string path, std::string request);
};

// Receives one request on socket, completes the body of a form POST
// (multipart/form-data or application/x-www-form-urlencoded) by its
// Content-Length, and hands GET to handlers.get and POST to handlers.post. Requests
// that cannot be read, are malformed, too large or too slow (by limits) get no reply.
// Owns socket and closes it on every path, also when a handler throws (the
// exception then leaves the task). Always returns null.
void* handleConnection(int socket, RequestHandlers handlers, ConnectionLimits limits = {});

// Sets the send time-out of noProgressMs on socket. On a listening socket it
// passes to every connection accepted from it. False when refused.
bool limitSends(int socket, int noProgressMs = kSocketTimeoutMs);

// handleConnection for a socket whose send time-out is set already (accepted
// from a listening socket limited by limitSends): one system call less.
void* handleLimitedConnection(int socket, RequestHandlers handlers,
                              ConnectionLimits limits = {});
