// connection_loop.h -- the I/O side of one worker: an epoll loop that
// accepts connections, receives each request whole without waiting on its
// client, answers it on the loop's own thread, and finishes the replies that
// did not leave at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "http/answer_request.h"
#include "http/request_limits.h"
#include "storage/mutex.h"

// Pause before accepting again when descriptors or memory have run out.
constexpr int kAcceptPauseMs = 50;

struct ConnectionLoop;
struct ConnectionLoopCloser {
  void operator()(ConnectionLoop* loop) const;
};
// Closing the loop closes every connection it holds (not the listening
// socket). Close it only once runConnectionLoop has returned.
using ConnectionLoopPtr = std::unique_ptr<ConnectionLoop, ConnectionLoopCloser>;

// A body that asked for room: the loop that holds its connection and the
// eventfd that wakes it, which connection, and the room it asked for.
struct RoomWaiter {
  const ConnectionLoop* loop = nullptr;
  int wakeFd = -1;
  int fd = -1;
  std::uint64_t serial = 0;
  long long bytes = 0;
};

// The room for the bodies of requests still arriving, shared by the loops
// that serve one port (limits.heldRequestBytes bounds it). A body takes room
// for all it announces beyond what came with its head before its bytes are
// read. While the others hold too much, or bodies wait already, it waits in
// line unread, and gets its room in its turn as bodies give theirs back,
// whichever loop gives it: that loop moves it to granted and wakes the loop
// that holds it. Only the loops change it.
struct HeldRequestBytes {
  Mutex mutex;
  long long bytes GUARDED_BY(mutex) = 0;              // the room taken, granted included
  std::deque<RoomWaiter> waiting GUARDED_BY(mutex);   // in the order they asked
  std::vector<RoomWaiter> granted GUARDED_BY(mutex);  // not yet taken by their loops
};

// What room holds now: the room taken, and the bodies in line for room.
long long heldBytes(HeldRequestBytes& room);
std::size_t bodiesWaiting(HeldRequestBytes& room);

// What askForRoom did with a body.
enum class RoomAnswer { kTaken, kWaiting, kRefused };

// Takes the room body asks for (kTaken) when no body waits and it fits
// under limit, or puts it in line for it (kWaiting). Refused when the body
// would not fit in the whole room, or there is no memory for its place in
// line.
RoomAnswer askForRoom(HeldRequestBytes& room, long long limit, const RoomWaiter& body);

// Gives bytes of room back, to the bodies in line.
void giveBackRoom(HeldRequestBytes& room, long long limit, long long bytes);

// Takes the body of loop's connection serial out of line, or gives back the
// room it was granted and its loop has not taken yet.
void leaveLine(HeldRequestBytes& room, long long limit, const ConnectionLoop* loop,
               std::uint64_t serial);

// Takes out the grants to loop's bodies in line, for loop to resume them;
// none when there is no memory for them now (they wait for the next call).
std::vector<RoomWaiter> takeGrants(HeldRequestBytes& room, const ConnectionLoop* loop);

// For a loop that goes: its bodies leave the line, and its grants and the
// room its connections hold (held) go back.
void leaveRoom(HeldRequestBytes& room, long long limit, const ConnectionLoop* loop, long long held);

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
