// file_serving.h -- the stored pictures and uploads that GET serves by path.
#pragma once

#include <string>

// The name of a stored file that a client may fetch by path; "" when the
// name is refused. Only files that really lie inside img/ or uploads/ of the
// working directory are served (and only regular ones, by sendFile):
// config.json holds the node key and data/index.ndb every user's session id.
// The name checked here starts with a served root and has no empty, "." or
// ".." segment; openServedFile makes sure that it does not leave its root
// through a symbolic link.
std::string confinedFileName(const std::string& name);

// Sends the stored file name after its header block. False when the file
// cannot be served: nothing has been sent.
bool sendStoredFile(int socket, const std::string& name, bool confined);
