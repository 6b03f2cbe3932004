// text_utils.h -- small byte-string operations of the API: white space,
// letter case, pattern erasing and cutting, UTF-8 decoding.
// Nothing in the node calls them. They keep no state, take no lock and may
// run on any thread.
#pragma once

#include <string>

// The text without the bytes that are white space in the POSIX locale
// (blank, tab, line feed, vertical tab, form feed, carriage return).
std::string removeSpaces(const std::string& text);

// The text with its ASCII capital letters lowered; every other byte stays.
std::string toLowerCopy(std::string text);

// The text with every occurrence of pattern erased. The search goes on from
// the place of the last removal, so an occurrence that a removal brings
// together before that place stays ("aabb" less "ab" is "ab"). An empty
// pattern leaves the text unchanged.
std::string eraseAll(std::string text, const std::string& pattern);

// The text cut right after the first occurrence of pattern; unchanged when
// the pattern does not occur. An empty pattern is found at the start, which
// gives the empty text.
std::string cutAfter(std::string text, const std::string& pattern);

// The text decoded from UTF-8, one wide character per code point (up to
// U+10FFFF). A leading U+FEFF is kept. Any malformed sequence makes the whole
// result empty; a sequence cut off by the end of the text is dropped.
std::wstring utf8ToWide(const std::string& text);
