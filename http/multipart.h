// multipart.h -- multipart/form-data bodies split into parts, and stored
// upload paths cut at their dated directory chain.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// One part of a multipart/form-data body. Its fields are views of the body
// it was parsed from (a large upload is never copied out of the request
// text): they are valid only while the body's bytes are.
struct FormPart {
  std::string_view name;         // the name="..." parameter; empty when missing
  std::string_view data;         // the content bytes, exactly as sent
  std::string_view filename;     // the filename="..." parameter; empty when missing
  std::string_view contentType;  // the part's Content-Type value, blanks and tabs trimmed
  bool dataCutByLength = false;  // data is the first n bytes its Content-Length line gave
};

// A path cut at its first run of all-digit segments (an empty segment counts
// as all-digit). All three fields are empty when no segment is all-digit.
struct PathSplit {
  std::string rest;     // segments after the run, joined with "/"
  std::string numbers;  // the run itself, joined with "/"
  std::string prefix;   // segments before the run, joined with "/"
};

// Splits body into its parts, in body order, using "--" + boundary as the
// delimiter (the boundary is used exactly as given). A part is taken only
// when a further delimiter follows it and it has an empty line after its
// header lines; anything else is skipped. Its data is the content up to the
// single line break (CR LF or LF) that precedes the next delimiter, unless a
// usable "Content-Length:" header line (not the last header line) gives a
// shorter length (dataCutByLength is then set). The parts view body, which
// must outlive them. In the same one pass over a large upload it bounds the
// delimiters: false (parts then unspecified) when body holds more than
// maxDelimiters copies of "--" + boundary in all, counted without overlaps
// from its start and including those after the close delimiter; true
// otherwise. Never throws except for running out of memory.
bool parseMultipartWithin(std::string_view boundary, std::string_view body,
                          std::size_t maxDelimiters, std::vector<FormPart>& parts);

// Cuts path (segments separated by '/') at its first run of all-digit
// segments. For a stored upload path such as uploads/img/2024/5/17/12/0.webp
// the prefix is the upload root, numbers the dated chain and rest the file.
PathSplit splitPathAtNumber(const std::string& path);

// Nothing in the node calls this: the POST routes bound their forms.

// The parts of body as parseMultipartWithin gives them, with no bound.
std::vector<FormPart> parseMultipart(std::string_view boundary, std::string_view body);
