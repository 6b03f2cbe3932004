// user_index.cpp -- the kept positions of the user records by id and by
// session id.
#include "storage/user_index.h"

#include <string>
#include <unordered_map>
#include <vector>

#include "storage/database.h"
#include "storage/database_print.h"
#include "storage/json_search.h"

namespace {

constexpr const char* kIdKey = "id";
constexpr const char* kSessionKey = "user_sid";

struct UserIndex {
  std::vector<cJSON*> elements;
  std::unordered_map<int, int> firstById;
  std::unordered_map<std::string, int> firstBySession;
  // Positions, in array order, of the records whose "user_sid" is a number,
  // true, false or null: the search matches those by the text's value or
  // name, so they are tried one by one (only a damaged database holds any).
  std::vector<int> oddSessions;
};

UserIndex& userIndex() REQUIRES(databaseMutex) {
  static UserIndex index;
  return index;
}

// Enters user, the last element of the array, under its keys: a key already
// held keeps its earlier first record.
void enter(UserIndex& index, cJSON* user) {
  const int position = static_cast<int>(index.elements.size());
  index.elements.push_back(user);
  const cJSON* id = cJSON_GetObjectItem(user, kIdKey);
  if (id != nullptr) index.firstById.emplace(jsonIntValue(id), position);
  if (!cJSON_IsObject(user)) return;
  const cJSON* sid = cJSON_GetObjectItemCaseSensitive(user, kSessionKey);
  if (cJSON_IsString(sid) && sid->valuestring != nullptr) {
    index.firstBySession.emplace(sid->valuestring, position);
  } else if (cJSON_IsNumber(sid) || cJSON_IsBool(sid) || cJSON_IsNull(sid)) {
    index.oddSessions.push_back(position);
  }
}

}  // namespace

void buildUserIndex() {
  UserIndex& index = userIndex();
  index.elements.clear();
  index.firstById.clear();
  index.firstBySession.clear();
  index.oddSessions.clear();
  if (cJSON_IsArray(userArray)) {
    for (cJSON* user = userArray->child; user != nullptr; user = user->next) enter(index, user);
  }
}

cJSON* findUserById(int userId, int* index) {
  if (index != nullptr) *index = -1;
  const UserIndex& users = userIndex();
  auto found = users.firstById.find(userId);
  if (found == users.firstById.end()) return nullptr;
  if (index != nullptr) *index = found->second;
  return users.elements[static_cast<size_t>(found->second)];
}

cJSON* findUserBySession(const char* sessionId) {
  if (sessionId == nullptr) return nullptr;
  const UserIndex& users = userIndex();
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
  if (user == nullptr || !cJSON_IsArray(userArray)) return false;
  UserIndex& index = userIndex();
  if (!cJSON_AddItemToArray(userArray, user)) return false;
  enter(index, user);
  printAppended(userArray, user);
  recordChanged(user);
  return true;
}
