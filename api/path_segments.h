// path_segments.h -- the check of a path's segments that every stored or
// requested path passes before the file system sees it.
#pragma once

#include <string>

// True when path has no empty, "." or ".." segment and no NUL byte: it cannot
// climb out of the directory it starts in, and the file system sees the same
// path as we do.
bool hasPlainSegments(const std::string& path);
