// answer_request.cpp -- a request held whole handed to its routine.
#include "http/answer_request.h"

#include "http/request_text.h"

PendingReply answerRequest(int socket, std::string_view request, const RequestHandlers& handlers) {
  PendingReply reply;
  DeferredSends deferred(socket, reply);
  std::string_view method;
  std::string_view path;
  if (parseRequestLine(request, method, path) == 1) return reply;
  if (method == "POST") {
    handlers.post(socket, path, request);
  } else if (method == "GET") {
    handlers.get(socket, std::string(path));
  }
  return reply;
}
