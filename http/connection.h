// connection.h -- one connection's request: its limits, the buffer its bytes
// arrive in, the decisions taken on its header block while it is still
// arriving, and the task that answers it once it is held whole.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "http/deferred_sends.h"

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

// The routines that answer a complete request, given by the layer that owns
// the routes. Each sends at most one reply on socket and never closes it:
// get takes the request path, post the path and the whole request text, both
// views of the text the connection holds, valid until post returns (a large
// upload is read in place, never copied).
struct RequestHandlers {
  void (*get)(int socket, std::string path);
  void (*post)(int socket, std::string_view path, std::string_view request);
};

// A request buffer of this size or more is mapped on its own, aligned to
// kHugePageBytes, and the kernel is asked to back it with huge pages: a
// 60 MiB upload then costs some 30 page faults instead of 15,000.
constexpr std::size_t kHugeBufferBytes = 4u << 20;
constexpr std::size_t kHugePageBytes = 2u << 20;

// The bytes of one request, in one allocation whose new bytes are left
// uninitialised: a receive writes into spare() and adds what it wrote, so
// each byte is copied once, from the socket into its place. Moving it moves
// the allocation; the moved-from buffer is empty.
class RequestBuffer {
 public:
  RequestBuffer() = default;
  ~RequestBuffer();
  RequestBuffer(RequestBuffer&& other) noexcept;
  RequestBuffer& operator=(RequestBuffer&& other) noexcept;
  RequestBuffer(const RequestBuffer&) = delete;
  RequestBuffer& operator=(const RequestBuffer&) = delete;

  std::string_view view() const { return {bytes, held}; }
  std::size_t size() const { return held; }
  bool empty() const { return held == 0; }
  // Makes room for capacity bytes in all (never less than it holds), what it
  // holds kept. Throws std::bad_alloc, the buffer unchanged.
  void reserve(std::size_t capacity);
  // Appends count bytes, growing as a string does. Throws std::bad_alloc,
  // the buffer unchanged.
  void append(const char* data, std::size_t count);
  // The room after the bytes held, spareBytes() long; added(n) counts the
  // first n of them as held.
  char* spare() { return bytes + held; }
  std::size_t spareBytes() const { return room - held; }
  void added(std::size_t count) { held += count; }

 private:
  void release();

  char* bytes = nullptr;
  std::size_t held = 0;
  std::size_t room = 0;
  bool mapped = false;  // bytes is a mapping of its own (munmap), else malloc's
};

// Where the header block of text ends: the position after its empty line
// (CR LF CR LF, or LF LF), searching from position from; npos when it has
// not arrived.
std::size_t headerBlockEnd(std::string_view text, std::size_t from = 0);

// What to do with a request once its head (see kRequestHeadBytes) is held.
struct HeadDecision {
  bool refuse = false;     // close without a reply
  long long total = 0;     // receive this many bytes in all before answering
  bool bytesLeft = false;  // it announces bytes beyond head that nobody reads
};

// For a POST, whatever its Content-Type, total is what it announces
// (Content-Length plus the header block, from head only); it is refused when
// that is missing, beyond the int range or above kMaxRequestBytes. Any other
// request is answered on what is held (total 0).
HeadDecision decideOnHead(std::string_view head);

// The deadline allowance of a request that announces total bytes, in ms.
long long requestDeadlineMs(const ConnectionLimits& limits, long long total);

// Answers one request held whole (request, every byte received) on socket:
// GET goes to handlers.get, POST to handlers.post, anything else, or a
// request line without two spaces, gets no reply. The sends never wait on
// the client: what socket (non-blocking) does not take at once is returned
// for the I/O side to finish. Leaves socket open. A handler's exception
// leaves this function. request must stay unchanged until it returns.
PendingReply answerRequest(int socket, std::string_view request, const RequestHandlers& handlers);
