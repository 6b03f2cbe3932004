// get_routes.h -- the GET routes: node description, news list pages, news
// details, checkupdate, isadmin, islike, connect-test, and the stored file a
// path names (sent by api/file_serving).
#pragma once

#include <string>

// Answers one GET request for path (the request target as received: not
// percent-decoded, a query string stays part of its last segment). Sends at
// most one reply on socket and never closes it. Takes the database lock
// itself for the routes that read the database, and releases it before
// sending. Lets no failure escape; a client that has gone only ends the reply.
void handleGet(int socket, std::string path);
