// json_int.cpp -- the integer value of a JSON item.
#include "api/json_int.h"

int jsonIntValue(const cJSON* item) {
  // cJSON's valueint already holds the truncated, clamped number; texts,
  // arrays, objects and null keep 0 there.
  if (item == nullptr || !cJSON_IsNumber(item)) return 0;
  return item->valueint;
}
