// database_fixture.h -- database texts for tests, and the node's database
// installed from JSON text for an in-process test, the way start-up installs
// a loaded file.
#pragma once

#include <string>

namespace testsupport {

// The empty database as cJSON_Print writes it (emptyDatabaseText()).
extern const char kEmptyDatabaseText[];

// A database text with many records, printed larger than 32 KiB.
std::string largeDatabaseText(int users);

// Installs the database parsed from text (an object holding the four arrays;
// the counters are taken from it, 0 when missing) through storage's own
// installDatabase, so every index, kept page and kept print starts afresh. A
// text that is no such database fails the test. The database is cleared when
// the fixture ends.
struct TestDatabase {
  TestDatabase() = default;
  explicit TestDatabase(const std::string& text) { install(text); }
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  // Replaces the installed database (freeing the earlier tree first).
  void install(const std::string& text);
};

}  // namespace testsupport
