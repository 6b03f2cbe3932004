// json_values.h -- the text of a JSON item, as the records, the indexes, the
// routes, the actions and start-up read it.
#pragma once

#include <cjson/cJSON.h>

// The text of item, owned by item; null when item is null or not a text.
inline const char* textOf(const cJSON* item) {
  return cJSON_IsString(item) ? item->valuestring : nullptr;
}
