// fixed_texts.h -- the content type of a file name and the two fixed HTML
// pages. Nothing in the node calls these: every stored file is sent as
// image/webp, and no route sends a page.
#pragma once

#include <string>

// The content type for a file name by its last extension (case-sensitive);
// "text/plain; charset=UTF-8" when it has none or an unknown one. The result
// is a constant text.
const char* mimeTypeFor(const char* name);

// The fixed hello page and the not-found page.
std::string helloWorldPage();
std::string notFoundPage();
