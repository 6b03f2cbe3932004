// url_form.h -- request path splitting, percent-decoding and the
// application/x-www-form-urlencoded splitters.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Undoes percent-encoding in one pass: '+' becomes a blank, '%' with two
// bytes after it becomes the byte those two bytes read as base 16 (strtol
// rules, low 8 bits), a '%' among the last two bytes stays as it is.
std::string urlDecode(std::string_view text);

// The non-empty segments of a path cut at '/', one leading '/' dropped.
std::vector<std::string> splitPath(std::string_view path);

// Decoded names to decoded values of a URL-encoded body; pieces without '='
// are left out, a later name replaces an earlier one.
std::map<std::string, std::string> parseUrlEncodedForm(std::string_view body);

// Nothing in the node calls the routines below.

// Names to values of a form text, without decoding.
std::map<std::string, std::string> parseFormToMap(const std::string& form);

// Names to values of a form text, without decoding, cut with strtok: the
// caller's text is changed (NULs over separators and the first '=' of each
// piece). Uses strtok's process-wide state: call only while no other thread
// uses strtok.
std::unordered_map<std::string, std::string> parseFormToUnorderedMap(char* form);

// Splits "/v" version "/" path ["?" query] into the three buffers, each of
// which must hold at least strlen(target) + 1 bytes. Returns 0 when split;
// 1, with the buffers untouched, when there is no "/v" or no '/' after it.
// Without a '?' the query buffer is left as it was.
int splitApiUrl(const char* target, char* version, char* path, char* query);
