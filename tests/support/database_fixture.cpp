// database_fixture.cpp -- databases installed for in-process tests.
#include "tests/support/database_fixture.h"

#include <gtest/gtest.h>

#include "storage/database.h"

namespace testsupport {

const char kEmptyDatabaseText[] =
    "{\n\t\"news_maxid\":\t0,\n\t\"user_maxid\":\t0,\n\t\"like_maxid\":\t0,\n"
    "\t\"news\":\t[],\n\t\"news_detail\":\t[],\n\t\"user\":\t[],\n\t\"like\":\t[]\n}";

std::string largeDatabaseText(int users) {
  std::string text = "{\"news_maxid\":0,\"user_maxid\":" + std::to_string(users) +
                     ",\"like_maxid\":0,\"news\":[],\"news_detail\":[],\"user\":[";
  for (int i = 1; i <= users; ++i) {
    if (i > 1) text += ",";
    text += "{\"id\":" + std::to_string(i) + ",\"user_sid\":\"sid-" + std::to_string(i * 7919) +
            "\",\"nickname\":\"user " + std::to_string(i) +
            "\",\"nickname_uptm\":0,\"avatar\":\"\",\"avatar_uptm\":0,\"avatar_hash\":\"\"}";
  }
  return text + "],\"like\":[]}";
}

void TestDatabase::install(const std::string& text) {
  DatabaseLock lock(databaseMutex);
  clearDatabase();  // freed first, so a new tree may reuse the old addresses
  cJSON* root = cJSON_ParseWithLength(text.data(), text.size());
  if (!installDatabase(root)) {
    cJSON_Delete(root);
    ADD_FAILURE() << "not a database: " << text;
  }
}

TestDatabase::~TestDatabase() {
  DatabaseLock lock(databaseMutex);
  clearDatabase();
}

}  // namespace testsupport
