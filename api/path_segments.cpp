// path_segments.cpp -- the segment check of stored and requested paths.
#include "api/path_segments.h"

bool hasPlainSegments(const std::string& path) {
  if (path.find('\0') != std::string::npos) return false;
  std::size_t start = 0;
  while (true) {
    std::size_t slash = path.find('/', start);
    std::string segment =
        path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (segment.empty() || segment == "." || segment == "..") return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}
