// fixed_texts_test.cpp -- the content-type table and the fixed pages.
#include "http/fixed_texts.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

TEST(MimeTypeFor, Table) {
  struct {
    const char* name;
    const char* type;
  } cases[] = {
      {"index.html", "text/html; charset=UTF-8"},
      {"a.htm", "text/html; charset=UTF-8"},
      {"a.xhtml", "application/xhtml+xml; charset=UTF-8"},
      {"a.xht", "application/xhtml+xml; charset=UTF-8"},
      {"p.jpg", "image/jpeg"},
      {"p.jpeg", "image/jpeg"},
      {"p.gif", "image/gif"},
      {"p.png", "image/png"},
      {"s.css", "text/css"},
      {"s.js", "text/javascript"},
      {"d.xml", "text/xml; charset=UTF-8"},
      {"d.xsl", "text/xml; charset=UTF-8"},
      {"s.au", "audio/basic"},
      {"s.wav", "audio/wav"},
      {"v.avi", "video/x-msvideo"},
      {"v.mov", "video/quicktime"},
      {"v.qt", "video/quicktime"},
      {"v.mpeg", "video/mpeg"},
      {"v.mpe", "video/mpeg"},
      {"w.vrml", "model/vrml"},
      {"w.wrl", "model/vrml"},
      {"m.midi", "audio/midi"},
      {"m.mid", "audio/midi"},
      {"m.mp3", "audio/mpeg"},
      {"m.ogg", "application/ogg"},
      {"p.pac", "application/x-ns-proxy-autoconfig"},
      {"d.json", "application/json"},
      {"P.JPG", "text/plain; charset=UTF-8"},
      {"a.b/c", "text/plain; charset=UTF-8"},
      {"x.tar.gz", "text/plain; charset=UTF-8"},
      {"noext", "text/plain; charset=UTF-8"},
      {"", "text/plain; charset=UTF-8"},
      {"a.jpgx", "text/plain; charset=UTF-8"},
      {"dir.png/img.jpg", "image/jpeg"},
  };
  for (const auto& c : cases) EXPECT_STREQ(mimeTypeFor(c.name), c.type) << c.name;
}

TEST(FixedPages, HelloAndNotFound) {
  std::string hello = helloWorldPage();
  EXPECT_EQ(hello.size(), 191u);
  EXPECT_EQ(hello,
            "<!DOCTYPE html>\t<html>\t\t<head>\t\t\t<meta http-equiv=\"Content-Type\" "
            "content=\"text/html; charset=utf-8\" />\t\t\t<title>Hello World!</title>\t\t</head>"
            "\t\t<body>\t\t\t<h1>Hello World! </h1>\t\t</body>\t</html>");
  std::string page = notFoundPage();
  std::regex shape(
      "<!DOCTYPE html>\t\t<html>\t\t\t\t<head>\t\t<meta charset=\"UTF-8\">\t\t"
      "<title>404 Not Found</title>\t\t</head>\t\t\t\t<body>\t\t<h1>404 Not Found</h1>"
      "<br><br>Ondrix Node Server v0\\.1\\.0 by <a href=\"([^\"]+)\" "
      "target=\"_blank\">Ondrix</a>\t\t</body>\t\t</html>\t\t");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(page, m, shape)) << page;
  // The template is 181 bytes with its six placeholders of two bytes each.
  size_t filled = 2 * 13 + 18 + 5 + m.length(1) + 6;
  EXPECT_EQ(page.size(), 181 - 12 + filled);
}

}  // namespace
