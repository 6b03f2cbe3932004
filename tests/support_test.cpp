// support_test.cpp -- the test fixtures themselves work.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

using namespace testsupport;

TEST(TestSupport, TempDirAndFiles) {
  std::string kept;
  {
    TempDir dir;
    kept = dir.path;
    writeFile(dir.file("a/b/c.txt"), std::string("x\0y", 3));
    EXPECT_EQ(readFile(dir.file("a/b/c.txt")), std::string("x\0y", 3));
  }
  EXPECT_FALSE(pathExists(kept));
}

TEST(TestSupport, CaptureReplyReadsEverything) {
  std::string big(300000, 'z');
  std::string got = captureReply([&](int fd) {
    size_t off = 0;
    while (off < big.size()) off += static_cast<size_t>(write(fd, big.data() + off, big.size() - off));
  });
  EXPECT_EQ(got, big);
}
