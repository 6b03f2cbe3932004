// action_helpers.cpp -- replies and record members shared by the POST actions.
#include "api/action_helpers.h"

#include "http/reply_text.h"
#include "storage/json_tree.h"
#include "storage/json_values.h"

void addReplyMember(JsonTree& reply, const char* key, int value) {
  cJSON_AddNumberToObject(reply.get(), key, value);
}

void replaceAnswer(JsonTree& reply, const char* key, int value) {
  reply.reset(cJSON_CreateObject());
  addReplyMember(reply, key, value);
}

void answerStatus(JsonTree& reply, std::string& contentType, int& status, int code) {
  reply.reset(makeStatusJson(code, contentType));
  status = code;
}

bool memberEquals(const cJSON* record, const char* key, const std::string& value) {
  const char* stored = textOf(cJSON_GetObjectItem(record, key));
  return stored != nullptr && value == stored;
}
