// news_actions.h -- the POST actions by which administrators manage news:
// postnews (multipart: create or edit an item with its images) and delnews
// (URL-encoded: delete an item with its image files).
//
// Each action sets contentType to "application/json" first and leaves its
// answer in reply and status. It returns false when the request ends without
// any reply (a "uid" or "id" that is not a form integer); the dispatch then
// sends nothing. Each takes the database lock itself and holds it across its
// checks, record changes and image file work; the caller must not hold it,
// and sends the reply after the action returned.
#pragma once

#include <string>
#include <vector>

#include "api/form_fields.h"
#include "http/multipart.h"

// Once the user, the session and the administrator checks have passed,
// raises news_maxid, then creates ("id" 0) or edits ("id" above 0) a news
// item. Replies {"id": n} with n the raised news_maxid, {"r": 403} with
// status 403 for a user who is not an administrator, and {"r": 404} with
// status 404 for every other refusal, an image that cannot be stored, or
// news_maxid exhausted (nothing is created then). A request refused before
// the raise (or ended without a reply) leaves news_maxid as it was.
bool postnews(ReplyTree& reply, std::string& contentType, int& status,
              const std::vector<FormPart>& parts, int partCount);

// Deletes a news item and its detail record, removing its image files.
// Replies {"r": 1} when deleted and {"r": 0} when refused; always status 200.
bool delnews(ReplyTree& reply, std::string& contentType, int& status, const UrlForm& form);
