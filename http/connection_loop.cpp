// connection_loop.cpp -- the epoll loop of one worker: accepting, receiving
// requests (a body first takes its room, or waits in line for it), answering
// those held whole, finishing replies and lingering closes, and the time
// limits of every connection it holds.
#include "http/connection_loop.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <queue>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "http/request_buffer.h"
#include "http/request_head.h"

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

constexpr int kEpollBatch = 256;
// Accepts tried per readiness of the listening socket: one connection, or a
// few tries past connections aborted before they were taken. The loops that
// share the socket take the others.
constexpr int kAcceptTries = 4;
// The kernel hands over a connection once its first bytes arrive, or a silent
// one after about this long (one retransmitted SYN-ACK), which it has then
// waited of its idle time.
constexpr int kDeferAcceptSeconds = 1;
// One receive takes at most this much through the loop's buffer (a head, or
// what a lingering close discards), and a body's receive at most
// kBodyReceiveBytes straight into its request's buffer; one connection gets
// at most kReceivesPerWake receives in a row before the others get their turn.
constexpr std::size_t kReceiveBufferBytes = 64 * 1024;
constexpr std::size_t kBodyReceiveBytes = 256 * 1024;
constexpr int kReceivesPerWake = 16;

// kWaiting: a body in line for room (see HeldRequestBytes), left unread.
enum class Phase { kReading, kWaiting, kSending, kLingering };

// One connection held by the loop.
struct Connection {
  int fd = -1;
  std::uint64_t serial = 0;  // tells its timer entries from those of an earlier fd
  Phase phase = Phase::kReading;
  bool inEpollSet = false;
  std::uint32_t watchedFor = 0;    // epoll events, while in the epoll set
  RequestBuffer request;           // what arrived so far
  long long counted = 0;           // the room its body holds
  Clock::time_point waitingSince;  // in line for room from then on (kWaiting)
  bool headDone = false;
  long long total = 0;       // bytes to hold before the request is answered
  bool lingerAfter = false;  // request bytes will be left unread
  Clock::time_point progressDeadline;
  Clock::time_point requestDeadline = Clock::time_point::max();
  Clock::time_point firstByte;
  // The window its body's rate is checked over (see ConnectionLimits): it
  // must hold windowNeeds more bytes than windowFrom by windowEnds.
  Clock::time_point windowEnds = Clock::time_point::max();
  long long windowFrom = 0;
  long long windowNeeds = 0;
  Clock::time_point timerAt = Clock::time_point::max();  // its live timer entry
  PendingReply reply;
};

struct Timer {
  Clock::time_point at;
  int fd;
  std::uint64_t serial;
  bool operator>(const Timer& other) const { return at > other.at; }
};

}  // namespace

struct ConnectionLoop {
  RequestHandlers handlers{};
  ConnectionLimits limits;
  int epollFd = -1;
  int wakeFd = -1;  // raised when one of its bodies in line is granted room
  int listenFd = -1;
  // The idle time an accepted connection has left.
  Milliseconds idleLeft{0};
  std::unordered_map<int, std::unique_ptr<Connection>> connections;
  std::priority_queue<Timer, std::vector<Timer>, std::greater<Timer>> timers;
  std::uint64_t nextSerial = 0;
  HeldRequestBytes* held = nullptr;  // the room of the bodies still arriving
  bool acceptPaused = false;
  Clock::time_point acceptResumes;
  // Not zero-filled: its pages are only taken once a receive uses them.
  std::unique_ptr<char[]> buffer{new char[kReceiveBufferBytes]};
  std::atomic<bool> stopping{false};

  ConnectionLoop() = default;
  ConnectionLoop(const ConnectionLoop&) = delete;
  ConnectionLoop& operator=(const ConnectionLoop&) = delete;
  ~ConnectionLoop();
};

void ConnectionLoopCloser::operator()(ConnectionLoop* loop) const { delete loop; }

ConnectionLoop::~ConnectionLoop() {
  // Nothing in the room refers to this loop once it is gone: its bodies
  // leave the line and give back their room, granted or held.
  long long counted = 0;
  for (auto& entry : connections) counted += entry.second->counted;
  leaveRoom(*held, limits.heldRequestBytes, this, counted);
  for (auto& entry : connections) close(entry.first);
  if (epollFd >= 0) close(epollFd);
  if (wakeFd >= 0) close(wakeFd);
}

namespace {

// True when c's body has brought too little in its window so far: it is
// closed when the window ends before it brings the rest.
bool bodyBehindRate(const Connection& c) {
  return c.phase == Phase::kReading &&
         static_cast<long long>(c.request.size()) - c.windowFrom < c.windowNeeds;
}

Clock::time_point deadlineOf(const Connection& c) {
  // The wait for room is the node's: only the request deadline bounds it.
  if (c.phase == Phase::kWaiting) return c.requestDeadline;
  const Clock::time_point due = std::min(c.progressDeadline, c.requestDeadline);
  return bodyBehindRate(c) ? std::min(due, c.windowEnds) : due;
}

// Makes sure a timer entry fires no later than c's deadline. Entries only
// move later lazily, when they come due (see expireConnections).
void armTimer(ConnectionLoop& loop, Connection& c) {
  Clock::time_point due = deadlineOf(c);
  if (due < c.timerAt) {
    loop.timers.push({due, c.fd, c.serial});
    c.timerAt = due;
  }
}

// Watches c for events (0: only for a reset, EPOLLERR and EPOLLHUP, which
// epoll always reports).
bool watch(ConnectionLoop& loop, Connection& c, std::uint32_t events) {
  if (c.inEpollSet && c.watchedFor == events) return true;
  epoll_event event{};
  event.events = events;
  event.data.fd = c.fd;
  int operation = c.inEpollSet ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  if (epoll_ctl(loop.epollFd, operation, c.fd, &event) != 0) return false;
  c.inEpollSet = true;
  c.watchedFor = events;
  return true;
}

Connection& addConnection(ConnectionLoop& loop, int fd) {
  auto made = std::make_unique<Connection>();
  made->fd = fd;
  made->serial = loop.nextSerial++;
  Connection& c = *made;
  loop.connections[fd] = std::move(made);
  return c;
}

// Gives back the room c holds, or its place in line, to the bodies that
// wait. A connection that never asked for room takes no lock.
void giveUpRoom(ConnectionLoop& loop, Connection& c) {
  if (c.phase == Phase::kWaiting) {
    leaveLine(*loop.held, loop.limits.heldRequestBytes, &loop, c.serial);
  } else if (c.counted != 0) {
    giveBackRoom(*loop.held, loop.limits.heldRequestBytes, c.counted);
  }
  c.counted = 0;
}

// Closes c (which leaves the epoll set with it) and forgets it.
void closeConnection(ConnectionLoop& loop, Connection& c) {
  const int fd = c.fd;
  giveUpRoom(loop, c);
  close(fd);
  loop.connections.erase(fd);
}

// True when bytes of the request wait unread on socket.
bool unreadBytesWait(int socket) {
  int unread = 0;
  return ioctl(socket, FIONREAD, &unread) == 0 && unread > 0;
}

// Takes the decisions due once the head of c's request is held (ended: its
// header block is complete). False when the request is refused.
bool decideHead(ConnectionLoop& loop, Connection& c, bool ended) {
  c.headDone = true;
  HeadDecision decision = decideOnHead(c.request.view());
  if (decision.refuse) return false;
  c.total = decision.total;
  c.lingerAfter = !ended || decision.bytesLeft;
  if (c.total > static_cast<long long>(c.request.size())) {
    c.requestDeadline = c.firstByte + Milliseconds(requestDeadlineMs(loop.limits, c.total));
    // Its first seconds are a grace: the first window asks for nothing.
    c.windowEnds = c.firstByte + Milliseconds(loop.limits.bodyGraceMs);
    c.windowFrom = static_cast<long long>(c.request.size());
  }
  return true;
}

// Reserves c's whole request in one allocation (doubling would briefly hold
// two copies of a large upload). False when there is no memory for it: it is
// closed like a request too large.
bool reserveBody(Connection& c) {
  try {
    c.request.reserve(static_cast<std::size_t>(c.total));
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

// Called on each receive of c's body still incomplete: once its window has
// ended, checks what the window brought and starts the next one. False when
// the body has fallen below its minimum rate.
bool keepsBodyRate(const ConnectionLoop& loop, Connection& c, Clock::time_point now) {
  if (now < c.windowEnds) return true;
  if (bodyBehindRate(c)) return false;
  c.windowEnds = now + Milliseconds(loop.limits.bodyWindowMs);
  c.windowFrom = static_cast<long long>(c.request.size());
  c.windowNeeds = loop.limits.minBodyBytesPerSecond * loop.limits.bodyWindowMs / 1000;
  return true;
}

// The bytes c's request still lacks: up to the end of its head, or once
// that is decided, up to its total; 0 or less when it is held whole.
long long bytesWanted(const Connection& c) {
  const long long held = static_cast<long long>(c.request.size());
  return c.headDone ? c.total - held : static_cast<long long>(kRequestHeadBytes) - held;
}

// kWaiting: for more bytes; kWaitingForRoom: in line for room, unread.
enum class Received { kWaiting, kWaitingForRoom, kComplete, kRefused };

// Once c's head is decided: the body it announces beyond what came with its
// head takes room for all of it, or waits in line for it.
Received startBody(ConnectionLoop& loop, Connection& c) {
  const long long bytes = bytesWanted(c);
  if (bytes <= 0) return Received::kWaiting;  // nothing more to hold
  const RoomWaiter body{&loop, loop.wakeFd, c.fd, c.serial, bytes};
  switch (askForRoom(*loop.held, loop.limits.heldRequestBytes, body)) {
    case RoomAnswer::kTaken:
      c.counted = bytes;
      return reserveBody(c) ? Received::kWaiting : Received::kRefused;
    case RoomAnswer::kWaiting:
      c.phase = Phase::kWaiting;
      c.waitingSince = Clock::now();
      return Received::kWaitingForRoom;
    case RoomAnswer::kRefused:
      break;
  }
  return Received::kRefused;
}

// Receives what has arrived for c's request.
Received receive(ConnectionLoop& loop, Connection& c) {
  for (int turn = 0; turn < kReceivesPerWake; ++turn) {
    const std::size_t held = c.request.size();
    const long long want = bytesWanted(c);
    if (want <= 0) return Received::kComplete;
    // A body arrives straight into its buffer, reserved whole with its room.
    // A head passes through the loop's buffer: a connection holds a buffer
    // only for bytes that came, never for a receive that finds none.
    const bool body = c.headDone;
    char* into = body ? c.request.spare() : loop.buffer.get();
    const std::size_t ask = static_cast<std::size_t>(std::min<long long>(
        want, static_cast<long long>(body ? kBodyReceiveBytes : kReceiveBufferBytes)));
    ssize_t n = recv(c.fd, into, ask, 0);
    if (n > 0) {
      Clock::time_point now = Clock::now();
      if (held == 0) {
        c.firstByte = now;
        c.requestDeadline = now + Milliseconds(loop.limits.requestDeadlineMs);
      }
      c.progressDeadline = now + Milliseconds(loop.limits.noProgressMs);
      if (body) {
        c.request.added(static_cast<std::size_t>(n));
        if (bytesWanted(c) > 0 && !keepsBodyRate(loop, c, now)) return Received::kRefused;
        continue;
      }
      try {
        c.request.append(loop.buffer.get(), static_cast<std::size_t>(n));
      } catch (const std::exception&) {
        return Received::kRefused;
      }
      const bool ended =
          headerBlockEnd(c.request.view(), held >= 3 ? held - 3 : 0) != std::string::npos;
      if (ended || c.request.size() >= kRequestHeadBytes) {
        if (!decideHead(loop, c, ended)) return Received::kRefused;
        const Received started = startBody(loop, c);
        if (started != Received::kWaiting) return started;
      }
      continue;
    }
    if (n == 0) {
      // The client has sent all it will: the request is answered on what
      // arrived.
      if (c.request.empty()) return Received::kRefused;
      if (!c.headDone && !decideHead(loop, c, false)) return Received::kRefused;
      return Received::kComplete;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Received::kWaiting;
    return Received::kRefused;
  }
  // The turns are used up. When the last one took the request's last bytes,
  // nothing more arrives to report the socket again: it is answered now.
  // Otherwise what still waits keeps the socket readable (its watch is
  // level-triggered), and a later pass of the loop takes it.
  return bytesWanted(c) <= 0 ? Received::kComplete : Received::kWaiting;
}

// Shuts c's sending side and discards what still arrives for the lingering
// time, so that the client reads the whole reply instead of a reset.
void startLingering(ConnectionLoop& loop, Connection& c) {
  shutdown(c.fd, SHUT_WR);
  c.phase = Phase::kLingering;
  c.progressDeadline = Clock::now() + Milliseconds(loop.limits.lingerMs);
  if (!watch(loop, c, EPOLLIN | EPOLLRDHUP)) {
    closeConnection(loop, c);
    return;
  }
  armTimer(loop, c);
}

// Answers c's request, held whole, on the worker that received it; the loop
// finishes what the reply leaves unsent. Then the connection closes, or
// lingers over request bytes left unread (closing on them would reset it).
void serveHeldRequest(ConnectionLoop& loop, Connection& c) {
  // Held whole, the body no longer takes room: the next body in line starts
  // arriving while this one is answered.
  giveUpRoom(loop, c);
  const RequestBuffer request = std::move(c.request);
  PendingReply reply;
  try {
    reply = answerRequest(c.fd, request.view(), loop.handlers);  // the handlers read it in place
  } catch (...) {
    // A handler's exception ends this request: its connection closes, and
    // the worker serves on.
    closeConnection(loop, c);
    return;
  }
  if (reply.failed) {  // the peer has gone
    closeConnection(loop, c);
    return;
  }
  c.requestDeadline = Clock::time_point::max();
  if (hasUnsent(reply)) {
    c.phase = Phase::kSending;
    c.reply = std::move(reply);
    c.progressDeadline = Clock::now() + Milliseconds(loop.limits.noProgressMs);
    if (!watch(loop, c, EPOLLOUT)) {
      closeConnection(loop, c);
      return;
    }
    armTimer(loop, c);
    return;
  }
  if (c.lingerAfter || unreadBytesWait(c.fd)) {
    startLingering(loop, c);
  } else {
    closeConnection(loop, c);
  }
}

void onReadable(ConnectionLoop& loop, Connection& c) {
  switch (receive(loop, c)) {
    case Received::kComplete:
      serveHeldRequest(loop, c);
      return;
    case Received::kRefused:
      closeConnection(loop, c);
      return;
    case Received::kWaiting:
      if (!watch(loop, c, EPOLLIN | EPOLLRDHUP)) {
        closeConnection(loop, c);
        return;
      }
      armTimer(loop, c);
      return;
    case Received::kWaitingForRoom:
      // Unread, its bytes stay in the socket, whose window holds the client
      // back; only a reset is still reported.
      if (!watch(loop, c, 0)) {
        closeConnection(loop, c);
        return;
      }
      armTimer(loop, c);
      return;
  }
}

// c, which waited in line, has its room (bytes): its body is received from
// here on, with its time limits moved on by the wait, which was the node's.
void resumeBody(ConnectionLoop& loop, Connection& c, long long bytes) {
  c.counted = bytes;
  c.phase = Phase::kReading;
  const Clock::time_point now = Clock::now();
  const Clock::duration waited = now - c.waitingSince;
  c.requestDeadline += waited;
  if (c.windowEnds != Clock::time_point::max()) c.windowEnds += waited;
  c.progressDeadline = now + Milliseconds(loop.limits.noProgressMs);
  if (!reserveBody(c)) {
    closeConnection(loop, c);
    return;
  }
  onReadable(loop, c);  // what the client sent meanwhile waits in the socket
}

// Takes the room granted to this loop's bodies in line.
void takeGrantedRoom(ConnectionLoop& loop) {
  for (const RoomWaiter& grant : takeGrants(*loop.held, &loop)) {
    auto found = loop.connections.find(grant.fd);
    if (found != loop.connections.end() && found->second->serial == grant.serial &&
        found->second->phase == Phase::kWaiting) {
      resumeBody(loop, *found->second, grant.bytes);
      continue;
    }
    // Its connection has gone: the room goes on.
    giveBackRoom(*loop.held, loop.limits.heldRequestBytes, grant.bytes);
  }
}

void onWritable(ConnectionLoop& loop, Connection& c) {
  bool progressed = false;
  switch (continueReply(c.fd, c.reply, progressed)) {
    case ReplyProgress::kFailed:
      closeConnection(loop, c);
      return;
    case ReplyProgress::kBlocked:
      if (progressed) c.progressDeadline = Clock::now() + Milliseconds(loop.limits.noProgressMs);
      return;
    case ReplyProgress::kDone:
      if (c.lingerAfter || unreadBytesWait(c.fd)) {
        startLingering(loop, c);
      } else {
        closeConnection(loop, c);
      }
      return;
  }
}

void onLingering(ConnectionLoop& loop, Connection& c) {
  for (int turn = 0; turn < kReceivesPerWake; ++turn) {
    ssize_t n = recv(c.fd, loop.buffer.get(), kReceiveBufferBytes, 0);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    closeConnection(loop, c);  // the client has closed too, or gone
    return;
  }
}

// Takes fd into the loop's table; null, with fd closed, when there is no
// memory to hold it.
Connection* holdConnection(ConnectionLoop& loop, int fd) {
  try {
    return &addConnection(loop, fd);
  } catch (const std::exception&) {
    close(fd);
    return nullptr;
  }
}

// A new connection: what already arrived is read at once (most clients
// send their request right away), then it waits for the rest or its idle end.
void startConnection(ConnectionLoop& loop, int fd) {
  Connection* made = holdConnection(loop, fd);
  if (made == nullptr) return;
  Connection& c = *made;
  c.progressDeadline = Clock::now() + loop.idleLeft;
  onReadable(loop, c);
}

// Empties the wake-up counter; stopConnectionLoop or a grant of room raised it.
void takeWakeUp(ConnectionLoop& loop) {
  std::uint64_t count = 0;
  ssize_t taken = read(loop.wakeFd, &count, sizeof count);
  (void)taken;
}

// An accept failure that retrying at once cannot mend: the process is out of
// descriptors or memory, and an immediate retry would spin a core.
bool isResourceShortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Adds the listening socket to the epoll set: exclusive, so that a new
// connection wakes one of the loops that share the socket, not all of them.
bool addListener(ConnectionLoop& loop, int listenSocket) {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLEXCLUSIVE;
  event.data.fd = listenSocket;
  if (epoll_ctl(loop.epollFd, EPOLL_CTL_ADD, listenSocket, &event) == 0) return true;
  event.events = EPOLLIN;  // a kernel without exclusive wake-ups
  return epoll_ctl(loop.epollFd, EPOLL_CTL_ADD, listenSocket, &event) == 0;
}

void acceptPending(ConnectionLoop& loop) {
  for (int i = 0; i < kAcceptTries; ++i) {
    int fd = accept4(loop.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      adoptConnection(loop, fd);
      return;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    if (isResourceShortage(errno)) {
      // Stop watching the listener for a moment; the other connections are
      // still served meanwhile.
      epoll_ctl(loop.epollFd, EPOLL_CTL_DEL, loop.listenFd, nullptr);
      loop.acceptPaused = true;
      loop.acceptResumes = Clock::now() + Milliseconds(kAcceptPauseMs);
      return;
    }
    // Any other failure (an aborted connection, a signal): try again at once.
  }
}

int millisecondsUntil(Clock::time_point at, Clock::time_point now) {
  if (at <= now) return 0;
  auto left = std::chrono::duration_cast<Milliseconds>(at - now).count() + 1;
  return static_cast<int>(std::min<long long>(left, 60 * 1000));
}

// Closes the connections whose time ran out by expiredBy and returns the
// epoll time-out until the next deadline (-1: none).
int expireConnections(ConnectionLoop& loop, Clock::time_point expiredBy) {
  Clock::time_point now = Clock::now();
  int timeoutMs = -1;
  if (loop.acceptPaused) {
    if (loop.acceptResumes <= now) {
      if (addListener(loop, loop.listenFd)) {
        loop.acceptPaused = false;
      } else {
        loop.acceptResumes = now + Milliseconds(kAcceptPauseMs);  // try again
        timeoutMs = kAcceptPauseMs;
      }
    } else {
      timeoutMs = millisecondsUntil(loop.acceptResumes, now);
    }
  }
  while (!loop.timers.empty()) {
    const Timer top = loop.timers.top();
    auto found = loop.connections.find(top.fd);
    if (found == loop.connections.end() || found->second->serial != top.serial ||
        found->second->timerAt != top.at) {
      loop.timers.pop();  // stale: its connection is gone or has a newer entry
      continue;
    }
    Connection& c = *found->second;
    const Clock::time_point due = deadlineOf(c);
    if (due > expiredBy) {
      if (due != top.at) {
        loop.timers.pop();
        loop.timers.push({due, c.fd, c.serial});
        c.timerAt = due;
        continue;
      }
      const int untilDue = millisecondsUntil(due, now);
      return timeoutMs < 0 ? untilDue : std::min(timeoutMs, untilDue);
    }
    loop.timers.pop();
    closeConnection(loop, c);  // silent, stalled, too slow, or done lingering
  }
  return timeoutMs;
}

void serviceConnection(ConnectionLoop& loop, int fd, std::uint32_t events) {
  auto found = loop.connections.find(fd);
  if (found == loop.connections.end()) return;
  Connection& c = *found->second;
  switch (c.phase) {
    case Phase::kReading:
      onReadable(loop, c);
      return;
    case Phase::kWaiting:
      // Reset or gone: its place in line goes to the next. (Any other event
      // was reported for an earlier connection of the same descriptor.)
      if ((events & (EPOLLERR | EPOLLHUP)) != 0) closeConnection(loop, c);
      return;
    case Phase::kSending:
      onWritable(loop, c);
      return;
    case Phase::kLingering:
      onLingering(loop, c);
      return;
  }
}

// Each pass takes the ready events first and only then closes the
// connections whose time has run out, and only those whose time ran out
// before the events were taken: a connection whose bytes arrived while a
// handler ran past its limit is reported by the next pass's wait and served.
void runLoop(ConnectionLoop& loop) {
  epoll_event events[kEpollBatch];
  int timeoutMs = expireConnections(loop, Clock::now());
  while (!loop.stopping.load()) {
    const int ready = epoll_wait(loop.epollFd, events, kEpollBatch, timeoutMs);
    const Clock::time_point taken = Clock::now();
    if (ready < 0 && errno != EINTR) std::this_thread::sleep_for(Milliseconds(kAcceptPauseMs));
    for (int i = 0; i < ready; ++i) {
      const int fd = events[i].data.fd;
      try {
        if (fd == loop.wakeFd) {
          takeWakeUp(loop);
          takeGrantedRoom(loop);
        } else if (fd == loop.listenFd) {
          acceptPending(loop);
        } else {
          serviceConnection(loop, fd, events[i].events);
        }
      } catch (const std::exception&) {
        // Memory ran out in the middle: a connection left half-served is
        // ended by its time limit; the loop serves on.
      }
    }
    timeoutMs = expireConnections(loop, taken);
  }
}

}  // namespace

ConnectionLoopPtr openConnectionLoop(RequestHandlers handlers, ConnectionLimits limits,
                                     HeldRequestBytes& room) {
  ConnectionLoopPtr loop(new ConnectionLoop);
  loop->held = &room;
  loop->handlers = handlers;
  loop->limits = limits;
  loop->idleLeft = Milliseconds(limits.idleMs);
  loop->epollFd = epoll_create1(EPOLL_CLOEXEC);
  loop->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = loop->wakeFd;
  if (loop->epollFd < 0 || loop->wakeFd < 0 ||
      epoll_ctl(loop->epollFd, EPOLL_CTL_ADD, loop->wakeFd, &event) != 0) {
    const int error = errno;
    loop.reset();
    errno = error;
  }
  return loop;
}

bool listenOn(ConnectionLoop& loop, int listenSocket) {
  int flags = fcntl(listenSocket, F_GETFL);
  if (flags >= 0) fcntl(listenSocket, F_SETFL, flags | O_NONBLOCK);
  // A burst of clients must not find the backlog full.
  listen(listenSocket, SOMAXCONN);
  // Most clients send their request right after connecting: accepted only
  // then, they are read at once and never wait in the epoll set.
  int deferSeconds = kDeferAcceptSeconds;
  if (setsockopt(listenSocket, IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds, sizeof deferSeconds) ==
      0) {
    loop.idleLeft = std::max(Milliseconds(0), Milliseconds(loop.limits.idleMs) -
                                                  std::chrono::seconds(kDeferAcceptSeconds));
  }
  if (!addListener(loop, listenSocket)) return false;
  loop.listenFd = listenSocket;
  return true;
}

void adoptConnection(ConnectionLoop& loop, int socket) { startConnection(loop, socket); }

void runConnectionLoop(ConnectionLoop& loop) { runLoop(loop); }

void stopConnectionLoop(ConnectionLoop& loop) {
  loop.stopping.store(true);
  wakeLoop(loop.wakeFd);
}
