// connection_loop.h -- the I/O side of one worker: an epoll loop that
// accepts connections, receives each request whole without waiting on its
// client, answers it on the loop's own thread, and finishes the replies that
// did not leave at once.
#pragma once

#include <memory>

#include "http/answer_request.h"
#include "http/body_room.h"
#include "http/request_limits.h"

// Pause before accepting again when descriptors or memory have run out.
constexpr int kAcceptPauseMs = 50;

struct ConnectionLoop;
struct ConnectionLoopCloser {
  void operator()(ConnectionLoop* loop) const;
};
// Closing the loop closes every connection it holds (not the listening
// socket). Close it only once runConnectionLoop has returned.
using ConnectionLoopPtr = std::unique_ptr<ConnectionLoop, ConnectionLoopCloser>;

// A loop that serves connections with handlers under limits. Each request
// held whole is answered on the thread that runs the loop, in the order the
// requests became complete, without waiting on its client: what the reply
// leaves unsent the loop finishes among its other work. room is shared with
// the other loops of the same limits and must outlive this one. Null, with
// errno set, when its epoll set or wake-up descriptor cannot be made.
ConnectionLoopPtr openConnectionLoop(RequestHandlers handlers, ConnectionLimits limits,
                                     HeldRequestBytes& room);

// Accepts the connections of listenSocket (made non-blocking, with the
// largest backlog; the caller still owns it). Several loops may listen on
// the same socket: each new connection wakes one of them. False, with errno
// set, when it cannot be watched. Before runConnectionLoop only.
bool listenOn(ConnectionLoop& loop, int listenSocket);

// Serves socket, a connected non-blocking socket (as accept4 with
// SOCK_NONBLOCK gives it), as one of the loop's connections: its accept
// hands every connection it takes to this. The loop owns socket from here
// on and closes it. On the loop's thread, or before runConnectionLoop.
void adoptConnection(ConnectionLoop& loop, int socket);

// Runs the loop on the calling thread; the node's loops run until the
// process ends.
void runConnectionLoop(ConnectionLoop& loop);

// For tests: the node runs its loops until the process ends.

// Makes runConnectionLoop return soon. Any thread.
void stopConnectionLoop(ConnectionLoop& loop);
