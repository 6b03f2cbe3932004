// connection_loop.h -- the I/O side of one worker: an epoll loop that
// accepts connections, receives each request whole without waiting on its
// client, answers it on the loop's own thread, and finishes the replies that
// did not leave at once.
#pragma once

#include <atomic>
#include <memory>

#include "http/connection.h"

// Pause before accepting again when descriptors or memory have run out.
constexpr int kAcceptPauseMs = 50;

struct ConnectionLoop;
struct ConnectionLoopCloser {
  void operator()(ConnectionLoop* loop) const;
};
// Closing the loop closes every connection it holds (not the listening
// socket). Close it only once runConnectionLoop has returned.
using ConnectionLoopPtr = std::unique_ptr<ConnectionLoop, ConnectionLoopCloser>;

// The bytes held for the bodies of requests still arriving (those that
// arrived after their head), counted together by the loops that share it
// (limits.heldRequestBytes bounds their sum).
struct HeldRequestBytes {
  std::atomic<long long> bytes{0};
};

// A loop that serves connections with handlers under limits. Each request
// held whole is answered on the thread that runs the loop, in the order the
// requests became complete, without waiting on its client: what the reply
// leaves unsent the loop finishes among its other work. held, when not null,
// is shared with other loops and must outlive this one; else the loop counts
// its own. Null, with errno set, when its epoll set or wake-up descriptor
// cannot be made.
ConnectionLoopPtr openConnectionLoop(RequestHandlers handlers, ConnectionLimits limits,
                                     HeldRequestBytes* held = nullptr);

// Accepts the connections of listenSocket (made non-blocking, with the
// largest backlog; the caller still owns it). Several loops may listen on
// the same socket: each new connection wakes one of them. False, with errno
// set, when it cannot be watched. Before runConnectionLoop only.
bool listenOn(ConnectionLoop& loop, int listenSocket);

// Runs the loop on the calling thread until stopConnectionLoop.
void runConnectionLoop(ConnectionLoop& loop);

// Makes runConnectionLoop return soon. Any thread.
void stopConnectionLoop(ConnectionLoop& loop);

// Serves the one connected socket on the calling thread, its request
// answered there too, and returns once it is closed.
void serveConnection(int socket, RequestHandlers handlers, ConnectionLimits limits = {});
