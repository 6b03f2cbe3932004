// request_buffer_test.cpp -- the buffer a request arrives in.
#include "http/request_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "tests/support/test_support.h"

using testsupport::randomBytes;

namespace {

TEST(RequestBufferTest, KeepsItsBytesThroughEveryGrowth) {
  // A head appended in pieces, then the room for its whole request, then
  // the body received into the spare room: the bytes come out as they went
  // in, whichever allocation holds them.
  struct Case {
    const char* desc;
    std::size_t total;
  } cases[] = {
      {"a head alone", 100},
      {"a small body", 200 * 1024},
      {"just below a mapping of its own", kHugeBufferBytes - 1},
      {"a mapping of its own", kHugeBufferBytes},
      {"a large upload", (60u << 20) + 12345},
  };
  for (const Case& c : cases) {
    const std::string expected = randomBytes(c.total, static_cast<unsigned>(c.total));
    RequestBuffer buffer;
    const std::size_t head = std::min<std::size_t>(c.total, 100);
    for (std::size_t at = 0; at < head; at += 7) {
      buffer.append(expected.data() + at, std::min<std::size_t>(7, head - at));
    }
    buffer.reserve(c.total);
    ASSERT_GE(buffer.spareBytes(), c.total - head) << c.desc;
    std::memcpy(buffer.spare(), expected.data() + head, c.total - head);
    buffer.added(c.total - head);
    if (c.total >= kHugeBufferBytes) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.view().data()) % kHugePageBytes, 0u)
          << c.desc;
    }
    RequestBuffer moved = std::move(buffer);
    EXPECT_TRUE(buffer.empty()) << c.desc;
    EXPECT_TRUE(moved.view() == expected) << c.desc;
  }
}

}  // namespace
