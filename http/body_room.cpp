// body_room.cpp -- the room of the bodies still arriving and its line.
#include "http/body_room.h"

#include <unistd.h>

#include <algorithm>
#include <exception>

long long heldBytes(HeldRequestBytes& room) {
  MutexLock lock(room.mutex);
  return room.bytes;
}

std::size_t bodiesWaiting(HeldRequestBytes& room) {
  MutexLock lock(room.mutex);
  return room.waiting.size();
}

void wakeLoop(int wakeFd) {
  std::uint64_t one = 1;
  ssize_t written = write(wakeFd, &one, sizeof one);
  (void)written;  // a full counter wakes the loop as well
}

namespace {

// Gives the bodies in line their room, first come first served, as long as
// the first one's fits: a large body is not passed over by smaller ones
// behind it. Each goes to granted, and its loop is woken to take it (under
// the lock: a loop leaves the room under it before it closes its wake-up
// descriptor). A grant that finds no memory waits for the next one.
void grantWaiting(HeldRequestBytes& room, long long limit) REQUIRES(room.mutex) {
  while (!room.waiting.empty() && room.bytes + room.waiting.front().bytes <= limit) {
    const RoomWaiter next = room.waiting.front();
    try {
      room.granted.push_back(next);
    } catch (const std::exception&) {
      return;
    }
    room.waiting.pop_front();
    room.bytes += next.bytes;
    wakeLoop(next.wakeFd);
  }
}

template <class Waiters>
bool removeWaiter(Waiters& waiters, const ConnectionLoop* loop, std::uint64_t serial,
                  long long& bytes) {
  for (auto at = waiters.begin(); at != waiters.end(); ++at) {
    if (at->loop == loop && at->serial == serial) {
      bytes = at->bytes;
      waiters.erase(at);
      return true;
    }
  }
  return false;
}

}  // namespace

RoomAnswer askForRoom(HeldRequestBytes& room, long long limit, const RoomWaiter& body) {
  if (body.bytes > limit) return RoomAnswer::kRefused;
  MutexLock lock(room.mutex);
  // Bodies in line go first, so that a stream of new ones cannot starve them.
  if (room.waiting.empty() && room.bytes + body.bytes <= limit) {
    room.bytes += body.bytes;
    return RoomAnswer::kTaken;
  }
  try {
    room.waiting.push_back(body);
  } catch (const std::exception&) {
    return RoomAnswer::kRefused;
  }
  return RoomAnswer::kWaiting;
}

void giveBackRoom(HeldRequestBytes& room, long long limit, long long bytes) {
  MutexLock lock(room.mutex);
  room.bytes -= bytes;
  grantWaiting(room, limit);
}

void leaveLine(HeldRequestBytes& room, long long limit, const ConnectionLoop* loop,
               std::uint64_t serial) {
  MutexLock lock(room.mutex);
  long long bytes = 0;
  if (!removeWaiter(room.waiting, loop, serial, bytes) &&
      removeWaiter(room.granted, loop, serial, bytes)) {
    room.bytes -= bytes;  // granted while its loop had not taken it yet
  }
  grantWaiting(room, limit);
}

std::vector<RoomWaiter> takeGrants(HeldRequestBytes& room, const ConnectionLoop* loop) {
  MutexLock lock(room.mutex);
  auto others = std::stable_partition(room.granted.begin(), room.granted.end(),
                                      [loop](const RoomWaiter& w) { return w.loop != loop; });
  std::vector<RoomWaiter> ours;
  try {
    ours.assign(others, room.granted.end());
  } catch (const std::exception&) {
    return {};
  }
  room.granted.erase(others, room.granted.end());
  return ours;
}

void leaveRoom(HeldRequestBytes& room, long long limit, const ConnectionLoop* loop,
               long long held) {
  MutexLock lock(room.mutex);
  auto ours = [loop](const RoomWaiter& w) { return w.loop == loop; };
  room.waiting.erase(std::remove_if(room.waiting.begin(), room.waiting.end(), ours),
                     room.waiting.end());
  for (const RoomWaiter& w : room.granted) {
    if (w.loop == loop) room.bytes -= w.bytes;
  }
  room.granted.erase(std::remove_if(room.granted.begin(), room.granted.end(), ours),
                     room.granted.end());
  room.bytes -= held;
  grantWaiting(room, limit);
}
