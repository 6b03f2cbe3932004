// connection.cpp -- one connection: receive the request, complete a form
// body by its Content-Length, dispatch to the GET or POST handler, close.
#include "http/connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "http/request_text.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kFormMultipart = "multipart/form-data";
constexpr const char* kFormUrlEncoded = "application/x-www-form-urlencoded";

// Closes the connection when the task ends, whichever way it ends.
struct SocketCloser {
  int fd;
  ~SocketCloser() { close(fd); }
};

// How one receive ended.
enum class Received { kData, kClosed, kTimedOut };

// Receives at most one chunk into buffer (cleared first), waiting at most
// timeoutMs for the socket to become readable. Bytes already there are
// taken without a wait.
Received receiveChunk(int socket, char* buffer, int timeoutMs, ssize_t& count) {
  std::memset(buffer, 0, kReceiveChunkBytes);
  Clock::time_point until = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    count = recv(socket, buffer, kReceiveChunkBytes, MSG_DONTWAIT);
    if (count > 0) return Received::kData;
    if (count == 0) return Received::kClosed;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Received::kClosed;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return Received::kTimedOut;
    pollfd watch{socket, POLLIN, 0};
    int ready = poll(&watch, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return Received::kTimedOut;
    if (ready < 0) return Received::kClosed;
  }
}

bool isForm(const std::string& contentType) {
  return contentType == kFormMultipart || contentType == kFormUrlEncoded;
}

// Receives the rest of a form POST until total bytes are held, the peer stops
// sending, or the request's time runs out. Returns false when it ran out.
bool completeForm(int socket, char* buffer, std::string& request, long long total,
                  Clock::time_point firstByte, const ConnectionLimits& limits) {
  // Large uploads get longer: one second more for every announced 256 KiB.
  Clock::time_point deadline = firstByte + std::chrono::milliseconds(limits.requestDeadlineMs) +
                               std::chrono::seconds(total / kDeadlineBytesPerSecond);
  long long received = static_cast<long long>(request.size());
  while (received < total) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    int waitMs = left.count() < limits.noProgressMs ? static_cast<int>(left.count())
                                                    : limits.noProgressMs;
    ssize_t count = 0;
    Received result = receiveChunk(socket, buffer, waitMs, count);
    if (result == Received::kTimedOut) return false;
    if (result == Received::kClosed) break;  // the handler gets what arrived
    request.append(buffer, static_cast<std::size_t>(count));
    received += count;
  }
  return true;
}

}  // namespace

// A stalled peer must not hold a worker inside a send for ever.
bool limitSends(int socket, int noProgressMs) {
  timeval limit{};
  limit.tv_sec = noProgressMs / 1000;
  limit.tv_usec = (noProgressMs % 1000) * 1000;
  return setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
}

void* handleConnection(int socket, RequestHandlers handlers, ConnectionLimits limits) {
  limitSends(socket, limits.noProgressMs);
  return handleLimitedConnection(socket, handlers, limits);
}

void* handleLimitedConnection(int socket, RequestHandlers handlers, ConnectionLimits limits) {
  SocketCloser closer{socket};
  char buffer[kReceiveChunkBytes];
  ssize_t count = 0;
  if (receiveChunk(socket, buffer, limits.noProgressMs, count) != Received::kData) return nullptr;
  Clock::time_point firstByte = Clock::now();
  std::string request(buffer, static_cast<std::size_t>(count));

  std::string method;
  std::string path;
  if (parseRequestLine(request, method, path) == 1) return nullptr;

  if (method == "POST" && isForm(getContentType(request))) {
    int total = 0;
    try {
      total = expectedRequestLength(request);  // from the first chunk only
    } catch (const std::out_of_range&) {
      return nullptr;  // announced beyond the int range
    }
    if (total == -1) return nullptr;
    if (total > kMaxRequestBytes) return nullptr;
    // Held whole in one allocation: growing by doubling would briefly hold
    // the old and the new copy of a large upload.
    if (total > 0) request.reserve(static_cast<std::size_t>(total));
    if (!completeForm(socket, buffer, request, total, firstByte, limits)) return nullptr;
  }

  if (method == "POST") {
    handlers.post(socket, path, std::move(request));  // not read again here
  } else if (method == "GET") {
    handlers.get(socket, path);
  }
  return nullptr;
}
