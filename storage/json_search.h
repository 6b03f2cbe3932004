// json_search.h -- finding records in JSON arrays by the text of one member,
// and the newest-first order of news records. No state, no locking: callers
// that search the database hold the database lock.
#pragma once

#include <cjson/cJSON.h>

// The first object of array whose member key (exact, case included) agrees
// with text: a string member byte for byte; a number member when text reads
// whole by strtod to an equal value; true/false and null by their names,
// ignoring ASCII case. When index is given it is set to -1 first and then to
// the match's index. Returns null on bad arguments or no match. The result is
// owned by the array.
cJSON* findObjectByField(const cJSON* array, const char* key, const char* text, int* index);

// The match rule of findObjectByField for one element: true when element is
// an object whose member key agrees with text as described above.
bool objectMatchesField(const cJSON* element, const char* key, const char* text);

// The int whose decimal text findObjectByField matches member with, stored
// through value: a number member matches the text of an equal integer, a text
// member only the text that is its own canonical decimal form. False for any
// other member, which matches the text of no int.
bool intMatchedByText(const cJSON* member, int* value);

// The match rule for ids: true, with the int through id, when record is an
// object whose member key (exact) matches the decimal text of that int by
// findObjectByField's rule (intMatchedByText). Every index by id (news, news
// details and likes by id, likes by news and user id) keys its records by
// this rule, so it finds what findObjectByField with the id's text finds.
bool recordIdByText(const cJSON* record, const char* key, int* id);

// A new array of deep copies of every matching object, in array order; empty
// when none matches. Null on bad arguments or when memory runs out (reported
// on standard error). The caller frees the result with cJSON_Delete.
cJSON* findAllObjectsByField(const cJSON* array, const char* key, const char* text);

// Index of the first element whose "id" (key ignoring case) is a number with
// the integer value id; -1 when none, or when array is not an array.
int indexById(const cJSON* array, int id);

// True when news record a goes before b: a greater numeric "timestamp" first,
// records without one after all others. A strict weak order.
bool compareByTimestamp(const cJSON* a, const cJSON* b);

// The integer value of a JSON item: a number truncated toward zero and held at
// the 32-bit signed limits; 0 for a text, an array, an object or null.
int jsonIntValue(const cJSON* item);

// The integer value of a configuration setting ("port", "page_size",
// "write_interval", "edit_interval", an "admin" entry): as jsonIntValue, but
// true reads as 1 (cJSON's valueint of it); false reads as 0.
int configIntValue(const cJSON* item);

// Diagnostics that nothing in the node calls: each runs one search and
// prints what it finds on standard output.
void runFindTest(const char* title, const cJSON* array, const char* key, const char* text);
void runFindAllTest(const char* title, const cJSON* array, const char* key, const char* text);
