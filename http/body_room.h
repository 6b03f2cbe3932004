// body_room.h -- the room that the bodies still arriving share, all loops
// together, and the line of bodies that wait for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "storage/mutex.h"

struct ConnectionLoop;

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

// Raises the wake-up counter wakeFd (an eventfd) of a loop, whose wait then
// returns. Any thread.
void wakeLoop(int wakeFd);

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
