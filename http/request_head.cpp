// request_head.cpp -- the decisions on a request's head.
#include "http/request_head.h"

#include <stdexcept>
#include <string>

#include "http/request_text.h"

std::size_t headerBlockEnd(std::string_view text, std::size_t from) {
  std::size_t crlf = text.find("\r\n\r\n", from);
  std::size_t lf = text.find("\n\n", from);
  if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) return crlf + 4;
  if (lf != std::string::npos) return lf + 2;
  return std::string::npos;
}

HeadDecision decideOnHead(std::string_view head) {
  HeadDecision decision;
  std::string_view method;
  std::string_view path;
  // Every POST is received up to its Content-Length, a form or not: its
  // answer then depends on the bytes it announces, never on where TCP cut
  // them.
  const bool post = parseRequestLine(head, method, path) == 0 && method == "POST";
  int total = 0;
  try {
    total = expectedRequestLength(head);
  } catch (const std::out_of_range&) {
    decision.refuse = post;  // announced beyond the int range
    return decision;
  }
  if (!post) {
    decision.bytesLeft = total > static_cast<long long>(head.size());
    return decision;
  }
  // Without a Content-Length no body counts as arrived, however many bytes
  // came: the POST gets no reply.
  if (total == -1 || total > kMaxRequestBytes) {
    decision.refuse = true;
    return decision;
  }
  decision.total = total;
  return decision;
}

long long requestDeadlineMs(const ConnectionLimits& limits, long long total) {
  // Large uploads get longer: one second more for every announced 256 KiB.
  return limits.requestDeadlineMs + total / kDeadlineBytesPerSecond * 1000;
}
