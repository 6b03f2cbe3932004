// file_serving_test.cpp -- which requested names reach a stored file, and
// that symbolic links are followed only into img/ and uploads/.
#include "api/file_serving.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "tests/support/test_support.h"

namespace {

using testsupport::captureReply;
using testsupport::splitReply;

constexpr const char* kRefused = "(refused)";

class FileServingTest : public testing::Test {
 protected:
  testsupport::TempDir dir;
  std::unique_ptr<testsupport::ScopedChdir> chdir;

  void SetUp() override {
    const struct {
      const char* path;
      const char* content;
    } files[] = {
        {"config.json", "node key"}, {"data/index.ndb", "session ids"},
        {"img/icon.png", "ICON"},    {"uploads/avatar/1.webp", "AVATAR"},
        {"uploads/dir/x.webp", "X"}, {"V1/list/1", "not served"},
    };
    for (const auto& f : files) testsupport::writeFile(dir.file(f.path), f.content);
    chdir = std::make_unique<testsupport::ScopedChdir>(dir.path);
  }

  // The body a client receives for name as a request names it, or kRefused
  // when it is refused, in which case nothing at all may have been sent.
  static std::string served(const std::string& name, bool confined = true) {
    const std::string checked = confined ? confinedFileName(name) : name;
    bool sent = false;
    const std::string reply = captureReply(
        [&](int socket) { sent = !checked.empty() && sendStoredFile(socket, checked, confined); });
    if (!sent) {
      EXPECT_EQ(reply, "") << name;
      return kRefused;
    }
    const auto [header, body] = splitReply(reply);
    EXPECT_EQ(header.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << name;
    EXPECT_NE(header.find("\r\nContent-Type: image/webp\r\n"), std::string::npos) << name;
    return body;
  }
};

TEST_F(FileServingTest, OnlyPlainNamesInsideTheRootsAreServed) {
  ASSERT_EQ(symlink("../config.json", "img/key.png"), 0);
  ASSERT_EQ(symlink("/etc", "uploads/etc"), 0);
  ASSERT_EQ(symlink("avatar/1.webp", "uploads/inside.webp"), 0);
  for (const char* name : {"config.json",
                           "data/index.ndb",
                           "/etc/passwd",
                           "img/../config.json",
                           "uploads/../config.json",
                           "img/./icon.png",
                           "img//icon.png",
                           "uploads/dir",
                           "uploads/dir/",
                           "uploads",
                           "img/",
                           "img/key.png",
                           "uploads/etc/passwd",
                           "uploads/missing.webp",
                           "uploads/avatar/1.webp?x=1",
                           "V1/list/1",
                           "a%20b.webp",
                           "imgx/icon.png",
                           "../img/icon.png",
                           ""}) {
    EXPECT_EQ(served(name), kRefused) << name;
  }
  EXPECT_EQ(served(std::string("uploads/avatar/1.webp\0x", 23)), kRefused);
  // A link that stays inside is followed.
  EXPECT_EQ(served("uploads/inside.webp"), "AVATAR");
  EXPECT_EQ(served("img/icon.png"), "ICON");
}

TEST_F(FileServingTest, LinksAreFollowedOnlyIntoTheServedRoots) {
  // A root that is itself a link, a link from one root into the other and a
  // linked directory inside a root are served; a linked directory that leads
  // out of the roots is not, even where the rest of the path has no link.
  ASSERT_EQ(rename("uploads", "stored"), 0);
  ASSERT_EQ(symlink("stored", "uploads"), 0);
  ASSERT_EQ(symlink("../uploads/avatar/1.webp", "img/avatar.webp"), 0);
  ASSERT_EQ(symlink("avatar", "stored/linked"), 0);
  ASSERT_EQ(symlink("../data", "stored/outside"), 0);
  testsupport::writeFile("data/x.webp", "DATA");
  struct {
    const char* name;
    const char* body;
  } cases[] = {
      {"uploads/avatar/1.webp", "AVATAR"},     {"img/avatar.webp", "AVATAR"},
      {"uploads/linked/1.webp", "AVATAR"},     {"uploads/outside/x.webp", kRefused},
      {"uploads/outside/index.ndb", kRefused}, {"img/icon.png", "ICON"},
  };
  for (const auto& c : cases) EXPECT_EQ(served(c.name), c.body) << c.name;
}

// A configured picture is sent by its name as it stands, but only when it is
// a regular file.
TEST_F(FileServingTest, UnconfinedNamesMustBeRegularFiles) {
  for (const char* name : {"uploads/dir", "", "missing.png"}) {
    EXPECT_EQ(served(name, false), kRefused) << name;
  }
  EXPECT_EQ(served("img/icon.png", false), "ICON");
}

}  // namespace
