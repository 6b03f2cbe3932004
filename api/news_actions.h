// news_actions.h -- the POST actions by which administrators manage news:
// postnews (multipart: create or edit an item with its images) and delnews
// (URL-encoded: delete an item with its image files).
//
// Each action sets contentType to "application/json" first and leaves its
// answer in reply and status. It returns false when the request ends without
// any reply (a "uid" or "id" that is not a form integer); the dispatch then
// sends nothing. Each takes the database lock itself; the caller must not
// hold it, and sends the reply after the action returned. postnews takes it
// for its checks, releases it while it writes the image files, and takes it
// again to store the records against the item as it is then (another request
// may have edited or deleted it). The files that an edit or a deletion stops
// naming are removed only after the next save that no longer names them.
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
