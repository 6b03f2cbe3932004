// accept_loop.cpp -- the worker pool's size, and the accept loop with its
// epoll set of connections that have not sent anything yet.
#include "node/accept_loop.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "api/get_routes.h"
#include "api/post_routes.h"
#include "http/connection.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kEpollBatch = 256;
// Accepts per wake-up before the silent connections are looked at again.
constexpr int kAcceptBatch = 64;
// The kernel completes a connection only once its first bytes arrive, or,
// for a silent one, after about this long (one retransmitted SYN-ACK). Such
// a late connection has already waited that long of its idle time. (A
// connection the kernel completes from a SYN cookie, when its queue of
// half-open connections overflows, comes at once and loses that second.)
constexpr int kDeferAcceptSeconds = 1;

// A silent connection, in accept order. serial tells a stale entry (its
// descriptor was handed off, closed and reused since) from the live one.
struct SilentConnection {
  Clock::time_point deadline;
  int fd;
  std::uint64_t serial;
};

// The connections accepted but not yet readable: fd -> serial, plus their
// deadlines oldest first (every connection waits equally long, so accept
// order is deadline order).
struct SilentSet {
  int epollFd = -1;
  std::unordered_map<int, std::uint64_t> live;
  std::deque<SilentConnection> byDeadline;
  std::uint64_t nextSerial = 0;
  // The task that serves a connection with bytes, and the routes it answers with.
  void* (*serve)(int, RequestHandlers, ConnectionLimits) = handleConnection;
  RequestHandlers routes{handleGet, handlePost};
  ConnectionLimits limits;
  // The idle time a silent connection has left once accepted.
  std::chrono::milliseconds idleLeft{kIdleConnectionMs};
};

// An accept failure that retrying at once cannot mend: the process is out of
// descriptors or memory, and an immediate retry would spin a core.
bool isResourceShortage(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

void handOff(const SilentSet& silent, ThreadPool& pool, int fd) {
  try {
    pool.enqueue(silent.serve, fd, silent.routes, silent.limits);  // the future is dropped: nobody waits for it
  } catch (const std::exception&) {
    close(fd);  // not queued: the connection is still ours to close
  }
}

// Watches a new connection until it has bytes to read. When it cannot be
// watched it is handed off at once: its task's receive time-out still bounds it.
void watchConnection(SilentSet& silent, ThreadPool& pool, int fd) {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.fd = fd;
  if (epoll_ctl(silent.epollFd, EPOLL_CTL_ADD, fd, &event) != 0) {
    handOff(silent, pool, fd);
    return;
  }
  std::uint64_t serial = silent.nextSerial++;
  silent.live[fd] = serial;
  silent.byDeadline.push_back({Clock::now() + silent.idleLeft, fd, serial});
}

// Stops watching fd and queues its task (it has bytes, or the peer has gone,
// which the task finds out by itself).
void releaseReadable(SilentSet& silent, ThreadPool& pool, int fd) {
  auto found = silent.live.find(fd);
  if (found == silent.live.end()) return;
  silent.live.erase(found);
  epoll_ctl(silent.epollFd, EPOLL_CTL_DEL, fd, nullptr);
  handOff(silent, pool, fd);
}

bool isLive(const SilentSet& silent, const SilentConnection& entry) {
  auto found = silent.live.find(entry.fd);
  return found != silent.live.end() && found->second == entry.serial;
}

// Closes the connections whose wait has run out and returns the epoll
// time-out until the next one (-1: nothing waits).
int closeSilentConnections(SilentSet& silent) {
  Clock::time_point now = Clock::now();
  while (!silent.byDeadline.empty()) {
    const SilentConnection& front = silent.byDeadline.front();
    if (!isLive(silent, front)) {
      silent.byDeadline.pop_front();
      continue;
    }
    if (front.deadline > now) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(front.deadline - now);
      return static_cast<int>(left.count()) + 1;
    }
    silent.live.erase(front.fd);
    epoll_ctl(silent.epollFd, EPOLL_CTL_DEL, front.fd, nullptr);
    close(front.fd);
    silent.byDeadline.pop_front();
  }
  return -1;
}

// True when the connection has bytes to read, or has ended or failed (its
// task finds that out by itself); false when it is silent so far.
bool isReadable(int fd) {
  char byte;
  while (true) {
    ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n >= 0) return true;
    if (errno == EINTR) continue;
    return errno != EAGAIN && errno != EWOULDBLOCK;
  }
}

// Accepts what is pending on the (non-blocking) listening socket. A
// connection whose request has arrived goes to the pool at once; the others
// wait in the epoll set.
void acceptPending(int listenSocket, SilentSet& silent, ThreadPool& pool) {
  for (int i = 0; i < kAcceptBatch; ++i) {
    int fd = accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      if (isReadable(fd)) {
        handOff(silent, pool, fd);
      } else {
        watchConnection(silent, pool, fd);
      }
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    if (isResourceShortage(errno)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptPauseMs));
      return;
    }
    // Any other failure (an aborted connection, a signal): try again at once.
  }
}

}  // namespace

unsigned long long workerCount(unsigned long long hardwareThreads, std::istream& in,
                               std::ostream& out) {
  if (hardwareThreads != 0) return hardwareThreads;
  out << "Unable to read the number of your cpu cores, please input: " << std::flush;
  in >> std::ws;
  // Only a decimal number counts: no sign (a "-1" would wrap to a huge count).
  if (!std::isdigit(in.peek())) return 0;
  unsigned long long n = 0;
  if (!(in >> n)) return 0;
  return n;
}

std::unique_ptr<ThreadPool> buildWorkerPool(unsigned long long count, std::ostream& out,
                                            std::ostream& err) {
  out << "Creating thread pool with " << count << " threads." << std::endl;
  try {
    return std::make_unique<ThreadPool>(static_cast<unsigned long>(count));
  } catch (const std::invalid_argument& e) {
    err << e.what() << std::endl;
  } catch (const std::system_error& e) {
    err << "Unable to start the worker threads: " << e.what() << std::endl;
  } catch (const std::bad_alloc&) {
    err << "Unable to start the worker threads: out of memory" << std::endl;
  }
  return nullptr;
}

void acceptConnections(int listenSocket, ThreadPool& pool) {
  SilentSet silent;
  silent.epollFd = epoll_create1(EPOLL_CLOEXEC);
  if (silent.epollFd < 0) {
    std::cerr << "Unable to watch connections: " << std::strerror(errno) << std::endl;
    return;
  }
  int flags = fcntl(listenSocket, F_GETFL);
  if (flags >= 0) fcntl(listenSocket, F_SETFL, flags | O_NONBLOCK);
  // A burst of clients must not find the backlog full.
  listen(listenSocket, SOMAXCONN);
  // Every accepted connection inherits the send time-out.
  if (limitSends(listenSocket)) silent.serve = handleLimitedConnection;
  // Most clients send their request right after connecting: accepted only
  // then, they skip the epoll set.
  int deferSeconds = kDeferAcceptSeconds;
  if (setsockopt(listenSocket, IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds, sizeof deferSeconds) ==
      0) {
    silent.idleLeft -= std::chrono::seconds(kDeferAcceptSeconds);
  }
  epoll_event listenEvent{};
  listenEvent.events = EPOLLIN;
  listenEvent.data.fd = listenSocket;
  if (epoll_ctl(silent.epollFd, EPOLL_CTL_ADD, listenSocket, &listenEvent) != 0) {
    std::cerr << "Unable to watch connections: " << std::strerror(errno) << std::endl;
    close(silent.epollFd);
    return;
  }
  epoll_event events[kEpollBatch];
  while (true) {
    int timeoutMs = closeSilentConnections(silent);
    int ready = epoll_wait(silent.epollFd, events, kEpollBatch, timeoutMs);
    if (ready < 0) {
      if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptPauseMs));
      continue;
    }
    for (int i = 0; i < ready; ++i) {
      if (events[i].data.fd == listenSocket) {
        acceptPending(listenSocket, silent, pool);
      } else {
        releaseReadable(silent, pool, events[i].data.fd);
      }
    }
  }
}

int serveConnections(int listenSocket) {
  unsigned long long count = workerCount(std::thread::hardware_concurrency(), std::cin, std::cout);
  std::unique_ptr<ThreadPool> pool = buildWorkerPool(count, std::cout, std::cerr);
  if (!pool) return 1;
  acceptConnections(listenSocket, *pool);
  return 1;
}
