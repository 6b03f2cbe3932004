// database_print.h -- the database's formatted text for the saves, made from
// the kept print of every record so that a save prints only the records
// changed since the last one while it holds the database lock, and joins and
// compresses the text after releasing it.
//
// The text is exactly what cJSON_Print(databaseRoot) gives: cJSON's formatted
// print of a value nested in the root is its own cJSON_Print with one tab more
// after every line break for each level it is nested in (the root object and,
// for an element, its array: cJSON counts a level for both, and the depth
// shows only after line breaks, since texts escape their own), and the
// root's lines are laid out here as cJSON lays them out.
#pragma once

#include <cjson/cJSON.h>

#include <memory>
#include <string>
#include <vector>

#include "storage/database.h"

// One stretch of the database text: fixed text, or the kept prints of an
// array's elements, written between "[" and "]" and separated by ", ".
struct PrintedStretch {
  std::string text;
  bool isArray = false;
  std::vector<std::shared_ptr<const std::string>> elements;
};

// The database text as it stood when the snapshot was taken; only read after.
struct DatabaseSnapshot {
  std::vector<PrintedStretch> stretches;
};

// Brings the kept prints of the four arrays' elements up to date (printing
// those added or changed since the last call) and fills snapshot with the
// whole text of databaseRoot. False when the database is missing or memory
// runs out while printing.
bool snapshotDatabase(DatabaseSnapshot& snapshot) REQUIRES(databaseMutex);

// The text of snapshot, as cJSON_Print would have printed the tree then. No
// lock needed. Throws std::bad_alloc when memory runs out.
std::string databaseText(const DatabaseSnapshot& snapshot);

// Prints and keeps every element of the four arrays (called when a database
// is installed, so that the first save holds the lock no longer than later
// ones). False when memory runs out; the prints are then made by the saves.
bool keepPrintedRecords() REQUIRES(databaseMutex);

// Drops every kept print (the tree they were made of is going away).
void forgetPrintedRecords() REQUIRES(databaseMutex);

// cJSON_Print(item) as it appears nested levels deep (that many tabs after
// every line break); "" when cJSON cannot print it.
std::string printNested(const cJSON* item, int levels);
