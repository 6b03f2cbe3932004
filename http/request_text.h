// request_text.h -- helpers that search the request text: the request line,
// Content-Type, boundary, Content-Length and the body.
//
// The request text is every byte received on one connection, kept as one
// string (NUL bytes included) and never parsed into headers. Header names
// ("Content-Type:", "Content-Length:" and the parameter "boundary=") are
// matched ignoring ASCII case, at their first occurrence anywhere in the text
// (the body included). All helpers are pure functions of their arguments;
// none copies more of the text than the item it returns.
#pragma once

#include <string>
#include <string_view>

// What the text helpers return when the item they look for is missing.
constexpr const char* kRequestItemMissing = "failed";

// Splits the request line at its first two spaces (0x20 only).
// Returns 0 with method and path set (views of text); 1 when the first space
// is missing (method and path untouched) or the second one is (only method
// set). The second space is searched in the whole text, not only the first line.
int parseRequestLine(std::string_view text, std::string_view& method, std::string_view& path);

// The value of the first "Content-Type:" header: one space after the colon is
// skipped, the value ends before CR, LF, ';' or NUL. "failed" when missing.
std::string getContentType(std::string_view text);

// The bytes after the first "boundary=" up to the first CR or the end of the
// text (quotes and spaces stay). "failed" when missing.
std::string getBoundary(std::string_view text);

// The length the request announces: Content-Length plus everything up to and
// including the first empty line after the Content-Length value.
// Returns -1 when there is no "Content-Length:" or its value has no digits,
// 1 when no empty line follows the value. Throws std::out_of_range when the
// value, or the total, lies beyond the int range.
int expectedRequestLength(std::string_view text);

// The announced body: Content-Length bytes from the first byte after the
// empty line that follows the Content-Length value (a negative length gives
// everything after the empty line), as a view of text: it is valid while
// text's bytes are. "failed" (a view of kRequestItemMissing) when the header,
// its digits or the empty line are missing, or fewer bytes arrived than
// announced. Throws std::out_of_range when the value lies beyond the int range.
std::string_view getRequestBody(std::string_view text);

// Where needle first stands in text at or after from; npos when it does not.
// The same as text.find(needle, from), by memmem, which passes over a long
// text (an upload) faster than a search that stops at every byte equal to
// the needle's first one.
std::size_t findBytes(std::string_view text, std::string_view needle, std::size_t from = 0);

// True when every character is a decimal digit (also for the empty text).
bool isDigits(std::string_view text);

// Reads a decimal int the way std::stoi does, without throwing: white space
// (space, TAB, LF, VT, FF, CR) at the start skipped, an optional sign, at
// least one digit, reading stops at the first non-digit. False, with value
// untouched, when there are no digits or the number lies outside the int range.
bool readDecimalInt(std::string_view text, int& value);
