// news_actions.h -- the administrators' POST actions: postnews (multipart:
// create or edit an item with its images) and delnews (URL-encoded). Both
// keep the contract of api/action_helpers.h; postnews stores its records
// against the item as it is after its files are written (another request may
// have edited or deleted it meanwhile).
#pragma once

#include <string>
#include <vector>

#include "api/form_fields.h"
#include "http/multipart.h"
#include "storage/json_tree.h"

// Once the user, the session and the administrator checks have passed,
// raises news_maxid, then creates ("id" 0) or edits ("id" above 0) a news
// item. Replies {"id": n} with n the raised news_maxid, {"r": 403} with
// status 403 for a user who is not an administrator, and {"r": 404} with
// status 404 for every other refusal, an image or a record that cannot be
// stored (its files are removed again), an edit of an item that another
// request is editing with the same image paths (in the same second), or
// news_maxid exhausted (nothing is created then). A request refused before
// the raise (or ended without a reply) leaves news_maxid as it was.
bool postnews(JsonTree& reply, std::string& contentType, int& status,
              const std::vector<FormPart>& parts, int partCount);

// Deletes a news item and its detail record; its image files are removed
// after the next save.
// Replies {"r": 1} when deleted and {"r": 0} when refused; always status 200.
bool delnews(JsonTree& reply, std::string& contentType, int& status, const UrlForm& form);
