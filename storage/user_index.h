// user_index.h -- where each user id and session id is first found in the
// "user" array, so that finding the last of many users costs what finding the
// first does. Built when a database is installed and kept in step by
// appendUser. Every call needs the database lock; the records returned are
// valid until it is released.
#pragma once

#include <cjson/cJSON.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "storage/database_lock.h"

// The user part of the database (DatabaseState::userIndex): the records in array
// order and the first position of each id and session id.
struct UserIndex {
  std::vector<cJSON*> elements;
  std::unordered_map<int, int> firstById;
  std::unordered_map<std::string, int> firstBySession;
  // Positions, in array order, of the records whose "user_sid" is a number,
  // true, false or null: the search matches those by the text's value or
  // name, so they are tried one by one (only a damaged database holds any).
  std::vector<int> oddSessions;
};

// The first element of "user", in array order, whose member "id" (key
// ignoring case) has the integer value userId (jsonIntValue), and its index
// through index (-1 when none). Null when none.
cJSON* findUserById(int userId, int* index) REQUIRES(databaseMutex);

// Builds the index afresh from userArray; installDatabase calls it.
void buildUserIndex() REQUIRES(databaseMutex);

// What findObjectByField(userArray, "user_sid", sessionId, nullptr) gives:
// the first object whose exact member "user_sid" agrees with the text
// sessionId by the search's match rule. Null when none.
cJSON* findUserBySession(const char* sessionId) REQUIRES(databaseMutex);
