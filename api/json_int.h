// json_int.h -- the integer value of a JSON item, as records and settings are read.
#pragma once

#include <cjson/cJSON.h>

// The integer value of a JSON item: a number truncated toward zero and held at
// the 32-bit signed limits; 0 for a text, an array, an object or null.
int jsonIntValue(const cJSON* item);
