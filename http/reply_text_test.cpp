// reply_text_test.cpp -- header blocks byte for byte and status objects.
#include "http/reply_text.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <string>

#include "storage/json_tree.h"
#include "tests/support/test_support.h"

using testsupport::printedJson;

namespace {

// The header block with its Date value replaced by a fixed marker, after
// checking that value's form.
std::string withoutDate(const std::string& header) {
  static const std::regex date(
      "Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
      "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT\r\n");
  std::smatch m;
  EXPECT_TRUE(std::regex_search(header, m, date)) << header;
  if (m.empty()) return header;
  EXPECT_EQ(m.length(0), static_cast<long>(std::string("Date: \r\n").size() + 29));
  return m.prefix().str() + "Date: *\r\n" + m.suffix().str();
}

TEST(BuildResponseHeader, BlocksByteForByte) {
  struct {
    int status;
    const char* type;
    const char* expected;
  } cases[] = {
      {200, "application/json",
       "HTTP/1.1 200 OK\r\nServer: Ondrix Node Server 0.1.0 \r\nDate: *\r\n"
       "Content-Type: application/json\r\nConnection: close\r\n\r\n"},
      {404, "image/webp",
       "HTTP/1.1 404 Not Found\r\nServer: Ondrix Node Server 0.1.0 \r\nDate: *\r\n"
       "Content-Type: image/webp\r\nConnection: close\r\n\r\n"},
      {400, "",
       "HTTP/1.1 400 Unknown\r\nServer: Ondrix Node Server 0.1.0 \r\nDate: *\r\n"
       "Connection: close\r\n\r\n"},
      {403, "application/json",
       "HTTP/1.1 403 Unknown\r\nServer: Ondrix Node Server 0.1.0 \r\nDate: *\r\n"
       "Content-Type: application/json\r\nConnection: close\r\n\r\n"},
      {500, "x",
       "HTTP/1.1 500 Unknown\r\nServer: Ondrix Node Server 0.1.0 \r\nDate: *\r\n"
       "Content-Type: x\r\nConnection: close\r\n\r\n"},
      {-1, "",
       "HTTP/1.1 -1 Unknown\r\nServer: Ondrix Node Server 0.1.0 \r\nDate: *\r\n"
       "Connection: close\r\n\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(withoutDate(buildResponseHeader(c.status, c.type, 12345)), c.expected) << c.status;
  }
}

TEST(BuildResponseHeader, DateIsCurrentUtc) {
  std::time_t before = std::time(nullptr);
  std::string header = buildResponseHeader(200, "", 0);
  std::time_t after = std::time(nullptr);
  size_t at = header.find("Date: ") + 6;
  std::string value = header.substr(at, header.find("\r\n", at) - at);
  auto format = [](std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return std::string(buf);
  };
  EXPECT_TRUE(value == format(before) || value == format(after)) << value;
}

TEST(MakeStatusJson, SetsTypeAndPrintsCode) {
  std::string type = "image/webp";
  JsonTree reply(makeStatusJson(403, type));
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(type, "application/json");
  EXPECT_EQ(printedJson(reply.get()), "{\"r\":403}");
  JsonTree minus(makeStatusJson(-1, type));
  EXPECT_EQ(printedJson(minus.get()), "{\"r\":-1}");
}

}  // namespace
