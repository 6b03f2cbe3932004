// database_file.h -- the database file data/index.ndb: its load and its save.
//
// The file holds exactly one zlib stream (window bits 15, default level) of
// the database's formatted JSON text, with no header of its own.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>
#include <string>

#include "storage/database.h"

// Where the database lives, relative to the working directory.
constexpr const char* kDatabaseDirectory = "data";
constexpr const char* kDatabasePath = "data/index.ndb";

// The text of the empty database as cJSON_Print writes it: nine lines, the
// three counters at 0 and the four arrays empty, no newline after the "}".
std::string emptyDatabaseText();

// Parses text as the database and installs it with installDatabase (under
// the database lock): databaseRoot (an earlier tree is freed), the three
// counters and the four array handles. Returns false and changes
// nothing when the text does not parse to an object holding the three
// counters as numbers and the four arrays (keys found ignoring case).
// Only while no other thread uses the database (start-up, tests).
bool adoptDatabaseText(const std::string& text) EXCLUDES(databaseMutex);

// Reads path whole, inflates it and adopts it as above. False on any failure
// (cannot be read, not one zlib stream, not a database), changing nothing.
// On success every record is printed once here (start-up pays for the first
// save's printing), and when the database text is exactly the loaded text
// the database counts as saved: saves write nothing until it changes. Takes
// the save lock, so not while a save runs in this thread.
bool loadDatabaseFile(const std::string& path) EXCLUDES(databaseMutex);

// One save of the database to path: under the database lock the counters are
// copied into databaseRoot and a snapshot of its text is taken, printing only
// the records changed since the last save; joining, compression and the
// atomic write follow after the release. The file holds exactly
// zlib(cJSON_Print(databaseRoot)). When nothing changed since the last save
// that reached the file, nothing is printed or written (true). A failure
// writes one line "Database save failed: <reason>" on standard error and
// returns false; the previous file stays and the next save writes again.
// Saves never overlap, so an older snapshot never replaces a newer one.
bool saveDatabaseNow(const std::string& path) EXCLUDES(databaseMutex);

// The last save before the process ends: as saveDatabaseNow, but returns with
// the database lock still held (and every later save blocked), so nothing
// changes the database after this snapshot. Only for the orderly stop.
bool saveDatabaseForExit(const std::string& path) ACQUIRE(databaseMutex);

namespace databasefile_detail {
// How many saves saveDatabaseNow has begun in this process (a save that finds
// nothing changed included); for the tests of the writer's pauses.
std::uint64_t savesBegunCount();
}  // namespace databasefile_detail
