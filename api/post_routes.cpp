// post_routes.cpp -- the POST dispatch.
#include "api/post_routes.h"

#include <stdexcept>
#include <vector>

#include "api/action_helpers.h"
#include "api/form_fields.h"
#include "api/news_actions.h"
#include "api/user_actions.h"
#include "http/multipart.h"
#include "http/request_text.h"
#include "http/response.h"
#include "http/url_form.h"

namespace {

constexpr const char* kApiVersion = "v1";
constexpr const char* kMultipartType = "multipart/form-data";
constexpr const char* kUrlEncodedType = "application/x-www-form-urlencoded";

// Frees a request text or body that is no longer read, so that a large
// upload is not held several times over while its form is parsed and used.
void release(std::string& text) { std::string().swap(text); }

}  // namespace

void handlePost(int socket, std::string path, std::string request) {
  ReplyTree reply(cJSON_CreateObject(), &cJSON_Delete);
  std::string contentType;  // stays empty unless a reply is due
  int status = 200;
  bool replyDue = true;

  const std::vector<std::string> segments = splitPath(path);
  const std::string type = getContentType(request);
  std::string body;
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
    release(request);
    const std::vector<FormPart> parts = parseMultipart(boundary, body);
    release(body);
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
