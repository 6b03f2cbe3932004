// file_serving.h -- the stored pictures and uploads that GET sends by path.
#pragma once

#include <string>

// name when a client may fetch it by path: it starts with "img/" or
// "uploads/" and has plain segments (hasPlainSegments); "" when refused.
// Nothing else of the working directory is served: config.json holds the
// node key and data/index.ndb every user's session id.
std::string confinedFileName(const std::string& name);

// Sends the regular file name as image/webp after its header block; a
// confined name (one confinedFileName gave) must also stay inside img/ or
// uploads/ through any symbolic link. False when the file cannot be served:
// nothing has been sent.
bool sendStoredFile(int socket, const std::string& name, bool confined);
