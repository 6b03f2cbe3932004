// user_index.cpp -- the kept positions of the user records by id and by
// session id.
#include "storage/user_index.h"

#include <string>
#include <unordered_map>
#include <vector>

#include "storage/database.h"
#include "storage/database_print.h"
#include "storage/json_search.h"
#include "storage/json_values.h"
#include "storage/record_changes.h"

namespace {

constexpr const char* kIdKey = "id";
constexpr const char* kSessionKey = "user_sid";

// Indexes user, the last element of the array, under its keys: a key already
// held keeps its earlier first record.
void indexUser(UserIndex& index, cJSON* user) {
  const int position = static_cast<int>(index.elements.size());
  index.elements.push_back(user);
  const cJSON* id = cJSON_GetObjectItem(user, kIdKey);
  if (id != nullptr) index.firstById.emplace(jsonIntValue(id), position);
  if (!cJSON_IsObject(user)) return;
  const cJSON* sid = cJSON_GetObjectItemCaseSensitive(user, kSessionKey);
  if (const char* session = textOf(sid)) {
    index.firstBySession.emplace(session, position);
  } else if (cJSON_IsNumber(sid) || cJSON_IsBool(sid) || cJSON_IsNull(sid)) {
    index.oddSessions.push_back(position);
  }
}

}  // namespace

void buildUserIndex() {
  UserIndex& index = databaseState.userIndex;
  index.elements.clear();
  index.firstById.clear();
  index.firstBySession.clear();
  index.oddSessions.clear();
  if (cJSON_IsArray(databaseState.userArray)) {
    for (cJSON* user = databaseState.userArray->child; user != nullptr; user = user->next)
      indexUser(index, user);
  }
}

cJSON* findUserById(int userId, int* index) {
  if (index != nullptr) *index = -1;
  const UserIndex& users = databaseState.userIndex;
  auto found = users.firstById.find(userId);
  if (found == users.firstById.end()) return nullptr;
  if (index != nullptr) *index = found->second;
  return users.elements[static_cast<size_t>(found->second)];
}

cJSON* findUserBySession(const char* sessionId) {
  if (sessionId == nullptr) return nullptr;
  const UserIndex& users = databaseState.userIndex;
  auto found = users.firstBySession.find(sessionId);
  const int byText = found != users.firstBySession.end() ? found->second : -1;
  for (int position : users.oddSessions) {
    if (byText >= 0 && position > byText) break;
    cJSON* user = users.elements[static_cast<size_t>(position)];
    if (objectMatchesField(user, kSessionKey, sessionId)) return user;
  }
  return byText >= 0 ? users.elements[static_cast<size_t>(byText)] : nullptr;
}

bool appendUser(cJSON* user) {
  if (user == nullptr || !cJSON_IsArray(databaseState.userArray)) return false;
  UserIndex& index = databaseState.userIndex;
  if (!cJSON_AddItemToArray(databaseState.userArray, user)) return false;
  indexUser(index, user);
  printAppended(databaseState.userArray, user);
  recordChanged(user);
  return true;
}
