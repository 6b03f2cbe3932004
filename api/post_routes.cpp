// post_routes.cpp -- the POST dispatch.
#include "api/post_routes.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "api/action_helpers.h"
#include "api/api_version.h"
#include "api/form_fields.h"
#include "api/news_actions.h"
#include "api/user_actions.h"
#include "http/multipart.h"
#include "http/request_text.h"
#include "http/reply_sends.h"
#include "http/reply_text.h"
#include "http/url_form.h"
#include "storage/json_tree.h"

namespace {

constexpr const char* kMultipartType = "multipart/form-data";
constexpr const char* kUrlEncodedType = "application/x-www-form-urlencoded";

// The most parts (multipart) or fields (URL-encoded) a form may have. Every
// part or field costs far more memory than its bytes on the wire: a body of
// tiny parts inside the 64 MiB request bound would otherwise swell to more
// than a gigabyte while it is parsed. No action reads more than a handful.
constexpr size_t kMaxFormParts = 65536;

// True when body holds more than limit copies of separator, counted without
// building anything.
bool moreThan(size_t limit, std::string_view body, std::string_view separator) {
  size_t count = 0;
  for (size_t at = findBytes(body, separator); at != std::string_view::npos;
       at = findBytes(body, separator, at + separator.size())) {
    if (++count > limit) return true;
  }
  return false;
}

}  // namespace

void handlePost(int socket, std::string_view path, std::string_view request) {
  JsonTree reply(cJSON_CreateObject());
  std::string contentType;  // stays empty unless a reply is due
  int status = 200;
  bool replyDue = true;

  const std::vector<std::string> segments = splitPath(path);
  const std::string type = getContentType(request);
  std::string_view body;
  try {
    body = getRequestBody(request);
  } catch (const std::out_of_range&) {
    return;  // a Content-Length beyond the int range counts as no body
  }
  if (type == kRequestItemMissing || body == kRequestItemMissing) return;

  if (segments.empty() || segments[0] != kApiVersion) {
    reply.reset(makeStatusJson(404, contentType));
    status = 404;
  } else if (type == kMultipartType) {
    const std::string boundary = getBoundary(request);
    if (boundary == kRequestItemMissing) return;
    // A form of more parts than any action reads is closed without a reply.
    // Each part follows a delimiter, and the close delimiter comes last.
    std::vector<FormPart> parts;
    if (!parseMultipartWithin(boundary, body, kMaxFormParts + 1, parts)) return;
    const int partCount = static_cast<int>(parts.size());
    const std::string action = segments.size() > 1 ? segments[1] : "";
    if (action == "signin") {
      replyDue = signin(reply, contentType, status, parts, partCount);
    } else if (action == "postavatar") {
      replyDue = postavatar(reply, contentType, status, parts, partCount);
    } else if (action == "postnews") {
      replyDue = postnews(reply, contentType, status, parts, partCount);
    } else {
      return;
    }
  } else if (type == kUrlEncodedType) {
    if (moreThan(kMaxFormParts - 1, body, "&")) return;
    const UrlForm form = parseUrlEncodedForm(body);
    const std::string action = segments.size() > 1 ? segments[1] : "";
    if (action == "postnickname") {
      replyDue = postnickname(reply, contentType, status, form);
    } else if (action == "like") {
      replyDue = like(reply, contentType, status, form);
    } else if (action == "delnews") {
      replyDue = delnews(reply, contentType, status, form);
    } else {
      return;
    }
  } else {
    reply.reset(makeStatusJson(404, contentType));
    status = 404;
  }

  // The actions have released the database lock; the reply goes out now.
  if (replyDue && contentType == kJsonReplyType) sendJsonReply(socket, status, reply.get());
}
