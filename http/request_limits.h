// request_limits.h -- the limits a request is received under: its size, its
// time, and the room the bodies still arriving share.
#pragma once

#include <cstddef>

// The I/O side receives each request up to the end of its header block or
// this many bytes, whichever comes first, before it decides anything.
constexpr std::size_t kRequestHeadBytes = 4096;
// Default time limits; see ConnectionLimits.
constexpr int kIdleConnectionMs = 10000;
constexpr int kSocketTimeoutMs = 10000;
// The whole request must arrive within this time from its first byte, plus
// one second for every kDeadlineBytesPerSecond bytes it announces.
constexpr int kRequestDeadlineMs = 30000;
constexpr long long kDeadlineBytesPerSecond = 256 * 1024;
// After a reply to a request whose bytes were not all read, the node
// discards what still arrives for at most this long before it closes, so
// that the client reads the reply instead of a reset.
constexpr int kLingeringCloseMs = 2000;
// A POST announcing more than this in total (header block plus body) is
// closed without a reply.
constexpr long long kMaxRequestBytes = 64LL * 1024 * 1024;
// The room for the bodies of requests still arriving, all connections
// together: a body takes room for all it announces before it is read, and
// waits, unread, while the others hold the room. Room for a few requests of
// kMaxRequestBytes at once. What arrives with a request's head (at most
// kRequestHeadBytes) does not count: a header block never waits for room.
constexpr long long kMaxHeldRequestBytes = 256LL * 1024 * 1024;
// So that a body slowed to a trickle does not keep that room for minutes:
// once kBodyGraceMs have passed since its request's first byte, a body must
// bring kMinBodyBytesPerSecond on average over each kBodyWindowMs, or it is
// closed without a reply.
constexpr int kBodyGraceMs = 10000;
constexpr int kBodyWindowMs = 5000;
constexpr long long kMinBodyBytesPerSecond = 16 * 1024;

// The limits a connection is served with: the node uses these defaults,
// tests shorten them so that none waits the full time.
struct ConnectionLimits {
  int idleMs = kIdleConnectionMs;              // silent from its accept on
  int noProgressMs = kSocketTimeoutMs;         // a request or a reply that stalls
  int requestDeadlineMs = kRequestDeadlineMs;  // plus the per-byte allowance
  int lingerMs = kLingeringCloseMs;
  long long heldRequestBytes = kMaxHeldRequestBytes;
  int bodyGraceMs = kBodyGraceMs;
  int bodyWindowMs = kBodyWindowMs;
  long long minBodyBytesPerSecond = kMinBodyBytesPerSecond;
};
