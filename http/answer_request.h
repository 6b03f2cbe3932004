// answer_request.h -- the routines that answer a request held whole, and the
// dispatch to them by method.
#pragma once

#include <string>
#include <string_view>

#include "http/deferred_sends.h"

// The routines that answer a complete request, given by the layer that owns
// the routes. Each sends at most one reply on socket and never closes it:
// get takes the request path, post the path and the whole request text, both
// views of the text the connection holds, valid until post returns (a large
// upload is read in place, never copied).
struct RequestHandlers {
  void (*get)(int socket, std::string path);
  void (*post)(int socket, std::string_view path, std::string_view request);
};

// Answers one request held whole (request, every byte received) on socket:
// GET goes to handlers.get, POST to handlers.post, anything else, or a
// request line without two spaces, gets no reply. The sends never wait on
// the client: what socket (non-blocking) does not take at once is returned
// for the I/O side to finish. Leaves socket open. A handler's exception
// leaves this function. request must stay unchanged until it returns.
PendingReply answerRequest(int socket, std::string_view request, const RequestHandlers& handlers);
