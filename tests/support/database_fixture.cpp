// database_fixture.cpp -- databases installed for in-process tests.
#include "tests/support/database_fixture.h"

#include <gtest/gtest.h>

#include "storage/database.h"

namespace testsupport {

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
