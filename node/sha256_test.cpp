// sha256_test.cpp -- SHA-256 against the FIPS 180-4 test messages and against
// the system's sha256sum over the padding boundaries and random lengths.
#include "node/sha256.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

std::string hexDigest(const std::string& message) {
  unsigned char digest[kSha256DigestBytes];
  sha256Digest(digest, reinterpret_cast<const unsigned char*>(message.data()), message.size());
  char* hex = digestToHex(digest);
  EXPECT_NE(hex, nullptr);
  std::string text = hex == nullptr ? "" : hex;
  free(hex);
  return text;
}

// The digest that sha256sum computes for message, as hexadecimal text.
std::string systemDigest(const testsupport::TempDir& dir, const std::string& message) {
  const std::string path = dir.file("message");
  testsupport::writeFile(path, message);
  int status = -1;
  std::string out = testsupport::runCommand("sha256sum '" + path + "'", &status);
  EXPECT_EQ(status, 0);
  return out.substr(0, 64);
}

TEST(Sha256Test, StandardTestMessages) {
  struct {
    std::string message, want;
  } cases[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlm"
       "nopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) EXPECT_EQ(hexDigest(c.message), c.want) << c.message.size();
}

TEST(Sha256Test, PaddingBoundariesAndRandomLengthsMatchSha256sum) {
  testsupport::TempDir dir;
  std::mt19937 random(20261210);
  std::vector<size_t> lengths = {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129};
  std::uniform_int_distribution<size_t> anyLength(0, 5000);
  for (int i = 0; i < 20; ++i) lengths.push_back(anyLength(random));
  std::uniform_int_distribution<int> anyByte(0, 255);
  for (size_t length : lengths) {
    std::string message(length, '\0');
    for (char& c : message) c = static_cast<char>(anyByte(random));
    EXPECT_EQ(hexDigest(message), systemDigest(dir, message)) << "length " << length;
  }
}

TEST(Sha256Test, HexTextIsSixtyFourLowercaseDigitsWithLeadingZerosKept) {
  unsigned char digest[kSha256DigestBytes];
  for (size_t i = 0; i < kSha256DigestBytes; ++i) digest[i] = static_cast<unsigned char>(i * 8);
  char* hex = digestToHex(digest);
  ASSERT_NE(hex, nullptr);
  EXPECT_EQ(std::string(hex), "0008101820283038404850586068707880889098a0a8b0b8c0c8d0d8e0e8f0f8");
  free(hex);

  testing::internal::CaptureStdout();
  printDigestHex(digest);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "0008101820283038404850586068707880889098a0a8b0b8c0c8d0d8e0e8f0f8\n");
}

}  // namespace
