// json_values.h -- the texts that the routes, the actions and start-up read
// of JSON items.
#pragma once

#include <cjson/cJSON.h>

// The text of item, owned by item; null when item is null or not a text.
inline const char* textOf(const cJSON* item) {
  return cJSON_IsString(item) ? item->valuestring : nullptr;
}
