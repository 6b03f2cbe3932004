// reply_text.h -- the text of a reply: its header block and the {"r": code}
// object.
#pragma once

#include <cjson/cJSON.h>

#include <cstddef>
#include <string>

#include "storage/json_tree.h"

// The name and version the node announces in its Server line and pages.
constexpr const char* kServerName = "Ondrix Node Server";
constexpr const char* kServerVersion = "0.1.0";

// The content type of every JSON reply.
constexpr const char* kJsonReplyType = "application/json";
// Room for a header block without its content type: one allocation builds it.
constexpr std::size_t kHeaderReserveBytes = 128;

// The header block of a reply: status line, Server, Date (UTC), Content-Type
// only when contentType is not empty, Connection: close, then an empty line.
// bodyLength is accepted for the callers' sake and not written (the body ends
// when the connection closes).
std::string buildResponseHeader(int status, std::string contentType, int bodyLength);

// Appends the header block buildResponseHeader makes to header.
void appendResponseHeader(std::string& header, int status, const std::string& contentType);

// A new object {"r": code}, owned by the caller (free with cJSON_Delete).
// Sets contentType to kJsonReplyType. Returns null only when memory runs out.
cJSON* makeStatusJson(int code, std::string& contentType);

// The body of a JSON reply: reply printed unformatted, owned by the caller.
// When it cannot be printed, the print of {"r":404}, and status becomes 404.
// Null only when memory runs out for that too.
JsonText jsonReplyText(const cJSON* reply, int& status);
