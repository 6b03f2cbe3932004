// fixed_texts.cpp -- the content-type table and the two fixed pages (nothing
// in the node calls them).
#include "http/fixed_texts.h"

#include <cstring>

#include "http/reply_text.h"

namespace {

constexpr const char* kDefaultType = "text/plain; charset=UTF-8";
constexpr const char* kNotFoundTitle = "404 Not Found";
// Link target of the not-found page's product word.
constexpr const char* kProductSite = "https://example.com/";
constexpr const char* kProductWord = "Ondrix";

struct MimeRow {
  const char* extension;
  const char* type;
};

constexpr MimeRow kMimeTable[] = {
    {".html", "text/html; charset=UTF-8"},
    {".htm", "text/html; charset=UTF-8"},
    {".xhtml", "application/xhtml+xml; charset=UTF-8"},
    {".xht", "application/xhtml+xml; charset=UTF-8"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".gif", "image/gif"},
    {".png", "image/png"},
    {".css", "text/css"},
    {".js", "text/javascript"},
    {".xml", "text/xml; charset=UTF-8"},
    {".xsl", "text/xml; charset=UTF-8"},
    {".au", "audio/basic"},
    {".wav", "audio/wav"},
    {".avi", "video/x-msvideo"},
    {".mov", "video/quicktime"},
    {".qt", "video/quicktime"},
    {".mpeg", "video/mpeg"},
    {".mpe", "video/mpeg"},
    {".vrml", "model/vrml"},
    {".wrl", "model/vrml"},
    {".midi", "audio/midi"},
    {".mid", "audio/midi"},
    {".mp3", "audio/mpeg"},
    {".ogg", "application/ogg"},
    {".pac", "application/x-ns-proxy-autoconfig"},
    {".json", "application/json"},
};

}  // namespace

const char* mimeTypeFor(const char* name) {
  if (name == nullptr) return kDefaultType;
  const char* dot = std::strrchr(name, '.');
  if (dot == nullptr) return kDefaultType;
  for (const MimeRow& row : kMimeTable) {
    if (std::strcmp(dot, row.extension) == 0) return row.type;
  }
  return kDefaultType;
}

std::string helloWorldPage() {
  return "<!DOCTYPE html>\t<html>\t\t<head>\t\t\t<meta http-equiv=\"Content-Type\" "
         "content=\"text/html; charset=utf-8\" />\t\t\t<title>Hello World!</title>\t\t</head>"
         "\t\t<body>\t\t\t<h1>Hello World! </h1>\t\t</body>\t</html>";
}

std::string notFoundPage() {
  std::string page;
  page += "<!DOCTYPE html>\t\t<html>\t\t\t\t<head>\t\t<meta charset=\"UTF-8\">\t\t<title>";
  page += kNotFoundTitle;
  page += "</title>\t\t</head>\t\t\t\t<body>\t\t<h1>";
  page += kNotFoundTitle;
  page += "</h1><br><br>";
  page += kServerName;
  page += " v";
  page += kServerVersion;
  page += " by <a href=\"";
  page += kProductSite;
  page += "\" target=\"_blank\">";
  page += kProductWord;
  page += "</a>\t\t</body>\t\t</html>\t\t";
  return page;
}
