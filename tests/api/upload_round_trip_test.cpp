// upload_round_trip_test.cpp -- uploads sent by curl to the real node are
// stored and served back byte for byte, whatever bytes they end in; an edit
// keeps an image by its stored path and removes the rest.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "tests/support/running_node.h"
#include "tests/support/test_support.h"

namespace {

using namespace testsupport;

class UploadRoundTripTest : public RunningNodeTest {
 protected:
  TempDir files;  // what the client uploads
};

TEST_F(UploadRoundTripTest, FilesEndingInBlanksAndLineBreaksComeBackUnchanged) {
  const std::string avatar = std::string("RIFF\0\0WEBP", 10) + "\r\n \t\r\n";
  const std::string image0 = "image zero\n\n";
  // Real data before its blanks: a part of blanks and line breaks alone is a
  // part without data.
  const std::string image1 = std::string("\0\r\n \t", 5);
  writeFile(files.file("avatar.webp"), avatar);
  writeFile(files.file("0.webp"), image0);
  writeFile(files.file("1.webp"), image1);

  EXPECT_EQ(curl("-F uid=0 -F sid=s1 -F nickname=Ann -F 'avatar=@" + files.file("avatar.webp") +
                 "' -F hash=h1 " + url + "/v1/signin"),
            "{\"id\":1}");
  std::vector<std::string> avatars = storedFiles(dir.path, "uploads/avatar");
  ASSERT_EQ(avatars.size(), 1u);
  EXPECT_TRUE(readFile(dir.file(avatars[0])) == avatar) << "stored avatar differs";
  EXPECT_TRUE(curl(url + "/" + avatars[0]) == avatar) << "served avatar differs";

  const std::string posted = curl("-F uid=1 -F sid=s1 -F id=0 -F title=T -F content=C -F 'img=@" +
                                  files.file("0.webp") + ";filename=0' -F 'img=@" +
                                  files.file("1.webp") + ";filename=1' " + url + "/v1/postnews");
  ASSERT_EQ(posted, "{\"id\":1}");
  std::string detail = curl(url + "/v1/news/1");
  std::vector<std::string> images = storedFiles(dir.path, "uploads/img");
  ASSERT_EQ(images.size(), 2u) << detail;
  for (const std::string& path : images) {
    const bool first = path.substr(path.rfind('/') + 1, 1) == "0";
    EXPECT_TRUE(readFile(dir.file(path)) == (first ? image0 : image1)) << path;
    EXPECT_NE(detail.find("\"" + path + "\""), std::string::npos) << detail;
  }

  // An edit that keeps image 1 by its stored path (an empty file part) drops image 0.
  std::string keep;
  for (const std::string& path : images) {
    if (path.substr(path.rfind('/') + 1, 1) == "1") keep = path;
  }
  writeFile(files.file("empty"), "");
  EXPECT_EQ(curl("-F uid=1 -F sid=s1 -F id=1 -F 'img=@" + files.file("empty") +
                 ";filename=" + keep + "' " + url + "/v1/postnews"),
            "{\"id\":2}");
  EXPECT_NE(curl(url + "/v1/news/1").find("\"images\":[\"" + keep + "\"]"), std::string::npos);
  // Image 0 goes with the next save, here the one of the stop.
  EXPECT_EQ(storedFiles(dir.path, "uploads/img").size(), 2u);
  EXPECT_EQ(stopNode(node, SIGTERM), 0);
  EXPECT_EQ(storedFiles(dir.path, "uploads/img"), std::vector<std::string>{keep});
  ASSERT_TRUE(startNode(node, dir.path, port)) << node.outSoFar;
  EXPECT_EQ(curl("-d 'uid=1&sid=s1&id=1' " + url + "/v1/delnews"), "{\"r\":1}");
  EXPECT_EQ(stopNode(node, SIGTERM), 0);
  EXPECT_TRUE(storedFiles(dir.path, "uploads/img").empty());
}

}  // namespace
