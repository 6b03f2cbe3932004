// action_helpers.h -- what the six POST actions share: their reply and the
// record members they compare.
//
// Every action (api/user_actions.h, api/news_actions.h) sets contentType to
// kJsonReplyType first and leaves its answer in reply and status; it returns
// false when the request gets no reply at all (a "uid" or "id" that is not a
// form integer). Call it without the database lock: it takes the lock itself,
// and releases it while it writes an upload. A file that a change stops
// naming is removed only after the next save that no longer names it.
#pragma once

#include <cjson/cJSON.h>

#include <string>

#include "api/form_fields.h"
#include "http/reply_text.h"
#include "storage/json_tree.h"

// Adds the member key with the number value to the reply object.
void addReplyMember(JsonTree& reply, const char* key, int value);

// Replaces the reply with {key: value}, keeping the status.
void replaceAnswer(JsonTree& reply, const char* key, int value);

// Replaces the reply with {"r": code} and sets status to code (and the
// content type to kJsonReplyType).
void answerStatus(JsonTree& reply, std::string& contentType, int& status, int code);

// True when the record's text member key equals value byte for byte over the
// whole length; a missing or non-text member equals nothing.
bool memberEquals(const cJSON* record, const char* key, const std::string& value);
