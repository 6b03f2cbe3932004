// user_actions.h -- the users' POST actions: signin, postavatar (multipart),
// postnickname and like (URL-encoded). All keep the contract of
// api/action_helpers.h; signin and postavatar check again after writing the
// avatar file, so concurrent requests get the answers of some order of them.
#pragma once

#include <string>
#include <vector>

#include "api/form_fields.h"
#include "http/multipart.h"
#include "storage/json_tree.h"

// Finds the client's user by session id or id, or creates one (with its
// avatar file when both an "avatar" and a "hash" part came). Replies
// {"id": n}, {"id": 0} when refused, {"r": 500} with status 500 when the
// avatar file or the record cannot be stored or no user id is left (the file
// is removed again). A sid, nickname or hash longer than kMaxUserFieldBytes
// is refused with {"id": 0}, nothing stored.
bool signin(JsonTree& reply, std::string& contentType, int& status,
            const std::vector<FormPart>& parts, int partCount);

// Replaces a user's avatar file; the request's "sid" must be the user's
// "user_sid". Replies {"r": 1}, {"r": 0} (also when the file or the record
// cannot be stored, and while another change of the user's avatar in the
// same second is being stored), or {"id": 0} when refused (also for a sid or
// hash longer than kMaxUserFieldBytes).
bool postavatar(JsonTree& reply, std::string& contentType, int& status,
                const std::vector<FormPart>& parts, int partCount);

// Changes a user's nickname. Replies {"r": 1}, {"r": 0} (also for a sid or
// nickname longer than kMaxUserFieldBytes, and when the new members cannot be
// made), or {"id": 0} when refused.
bool postnickname(JsonTree& reply, std::string& contentType, int& status, const UrlForm& form);

// Adds or removes a user's like of a news item. Replies {"r": 1} (added),
// {"r": 0} (removed), {"r": -1} (failed, also when the like or its count
// cannot be made, nothing changed), or {"r": 404} with status 404 when
// the news item does not exist or "id" or "uid" is not a form integer.
// Always returns true.
bool like(JsonTree& reply, std::string& contentType, int& status, const UrlForm& form);
