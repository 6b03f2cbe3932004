// request_head.h -- the decisions taken on a request's head while the rest
// of it is still arriving.
#pragma once

#include <cstddef>
#include <string_view>

#include "http/request_limits.h"

// Where the header block of text ends: the position after its empty line
// (CR LF CR LF, or LF LF), searching from position from; npos when it has
// not arrived.
std::size_t headerBlockEnd(std::string_view text, std::size_t from = 0);

// What to do with a request once its head (see kRequestHeadBytes) is held.
struct HeadDecision {
  bool refuse = false;     // close without a reply
  long long total = 0;     // receive this many bytes in all before answering
  bool bytesLeft = false;  // it announces bytes beyond head that nobody reads
};

// For a POST, whatever its Content-Type, total is what it announces
// (Content-Length plus the header block, from head only); it is refused when
// that is missing, beyond the int range or above kMaxRequestBytes. Any other
// request is answered on what is held (total 0).
HeadDecision decideOnHead(std::string_view head);

// The deadline allowance of a request that announces total bytes, in ms.
long long requestDeadlineMs(const ConnectionLimits& limits, long long total);
