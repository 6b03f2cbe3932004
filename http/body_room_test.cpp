// body_room_test.cpp -- the room of arriving bodies: given first come first
// served, grants woken and taken by their loop, and each way out of line
// giving the room on.
#include "http/body_room.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace {

constexpr long long kLimit = 100;

// A loop as the room sees it: a name and the eventfd that wakes it.
class FakeLoop {
 public:
  FakeLoop() : wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~FakeLoop() { close(wakeFd); }
  FakeLoop(const FakeLoop&) = delete;
  FakeLoop& operator=(const FakeLoop&) = delete;

  const ConnectionLoop* id() const { return reinterpret_cast<const ConnectionLoop*>(this); }
  RoomWaiter body(std::uint64_t serial, long long bytes) const {
    return RoomWaiter{id(), wakeFd, static_cast<int>(serial), serial, bytes};
  }
  // The wake-ups raised since the last call.
  std::uint64_t wakeUps() const {
    std::uint64_t count = 0;
    return read(wakeFd, &count, sizeof count) == sizeof count ? count : 0;
  }
  // The serials of the grants taken out for this loop.
  std::vector<std::uint64_t> grants(HeldRequestBytes& room) const {
    std::vector<std::uint64_t> serials;
    for (const RoomWaiter& grant : takeGrants(room, id())) serials.push_back(grant.serial);
    return serials;
  }

 private:
  int wakeFd;
};

using Serials = std::vector<std::uint64_t>;

TEST(BodyRoom, BodiesGetTheirRoomInTheOrderTheyAskedForIt) {
  HeldRequestBytes room;
  FakeLoop loop;
  EXPECT_EQ(askForRoom(room, kLimit, loop.body(1, 60)), RoomAnswer::kTaken);
  EXPECT_EQ(askForRoom(room, kLimit, loop.body(2, 80)), RoomAnswer::kWaiting);
  // It would fit, but a body waits already: a large body is not passed over.
  EXPECT_EQ(askForRoom(room, kLimit, loop.body(3, 10)), RoomAnswer::kWaiting);
  EXPECT_EQ(heldBytes(room), 60);
  EXPECT_EQ(bodiesWaiting(room), 2u);
  EXPECT_EQ(loop.wakeUps(), 0u);
  EXPECT_EQ(loop.grants(room), Serials{});

  giveBackRoom(room, kLimit, 60);
  EXPECT_EQ(heldBytes(room), 90);  // granted room counts as taken
  EXPECT_EQ(bodiesWaiting(room), 0u);
  EXPECT_EQ(loop.wakeUps(), 2u);
  EXPECT_EQ(loop.grants(room), (Serials{2, 3}));
  EXPECT_EQ(loop.grants(room), Serials{});

  giveBackRoom(room, kLimit, 80);
  giveBackRoom(room, kLimit, 10);
  EXPECT_EQ(heldBytes(room), 0);
}

TEST(BodyRoom, EachWayOutOfLineGivesTheRoomOn) {
  HeldRequestBytes room;
  FakeLoop leaving;
  FakeLoop staying;
  EXPECT_EQ(askForRoom(room, kLimit, staying.body(1, kLimit + 1)), RoomAnswer::kRefused);
  EXPECT_EQ(askForRoom(room, kLimit, leaving.body(1, 70)), RoomAnswer::kTaken);
  EXPECT_EQ(askForRoom(room, kLimit, leaving.body(2, 40)), RoomAnswer::kWaiting);
  EXPECT_EQ(askForRoom(room, kLimit, staying.body(3, 30)), RoomAnswer::kWaiting);
  EXPECT_EQ(askForRoom(room, kLimit, staying.body(4, 50)), RoomAnswer::kWaiting);

  // A body that leaves the line lets the next one have the room it leaves.
  leaveLine(room, kLimit, leaving.id(), 2);
  EXPECT_EQ(heldBytes(room), 100);
  EXPECT_EQ(bodiesWaiting(room), 1u);
  EXPECT_EQ(staying.wakeUps(), 1u);

  // A grant its loop has not taken goes back when its body leaves.
  leaveLine(room, kLimit, staying.id(), 3);
  EXPECT_EQ(heldBytes(room), 70);
  EXPECT_EQ(bodiesWaiting(room), 1u);

  // A loop that goes gives back what its connections hold.
  leaveRoom(room, kLimit, leaving.id(), 70);
  EXPECT_EQ(heldBytes(room), 50);
  EXPECT_EQ(bodiesWaiting(room), 0u);
  EXPECT_EQ(staying.grants(room), Serials{4});
  EXPECT_EQ(leaving.grants(room), Serials{});

  giveBackRoom(room, kLimit, 50);
  EXPECT_EQ(heldBytes(room), 0);
  EXPECT_EQ(askForRoom(room, kLimit, staying.body(5, kLimit)), RoomAnswer::kTaken);
}

}  // namespace
