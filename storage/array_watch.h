// array_watch.h -- recognising the array node an index was built from, so
// that an index notices a database loaded in place or an array changed
// behind its back. Every call needs the database lock.
#pragma once

#include <cjson/cJSON.h>

#include "storage/database.h"

// What an index noted of its array when it was built or last kept in step.
struct ArrayWatch {
  const cJSON* array = nullptr;
  double stamp = 0;
  const cJSON* first = nullptr;
  const cJSON* last = nullptr;
};

// True when array is the node watch was taken of, still carries its stamp
// and still has the first and last element noted.
bool arrayUnchanged(const ArrayWatch& watch, const cJSON* array);

// Takes a new watch of array: a fresh stamp (never zero, the value every new
// cJSON node starts with) is written into its number field, which cJSON
// leaves unused for arrays, and its ends are noted. A new tree allocated
// where an old one was carries no stamp, so it is never taken for the old one.
void watchArray(ArrayWatch& watch, cJSON* array) REQUIRES(databaseMutex);

// Notes the ends of array again after a change the index made itself.
void noteArrayEnds(ArrayWatch& watch, const cJSON* array);
