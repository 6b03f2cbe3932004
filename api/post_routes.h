// post_routes.h -- the POST dispatch: routing of every POST request to one
// of the six actions, the refusals, and the sending of the reply.
#pragma once

#include <string_view>

// Answers one POST request on socket: path is the request path, request the
// whole request text (header block and body), both read in place: the form's
// parts, the uploaded bytes among them, are views of request. Sends at most
// one reply (the header block, then the unformatted JSON body) and never
// closes socket.
// Requests without a Content-Type, without a complete body, multipart ones
// without a boundary, with an unknown action, or with a "uid"/"id" that is
// not a form integer get no reply; a first path segment other than "v1" or a
// content type other than the two form types is answered {"r": 404}.
// Must be called without the database lock held; the actions take it.
void handlePost(int socket, std::string_view path, std::string_view request);
