// config.cpp -- storage of the kept configuration items.
#include "node/config.h"

cJSON* configRoot = nullptr;
cJSON* configName = nullptr;
cJSON* configIcon = nullptr;
cJSON* configCover = nullptr;
cJSON* configPort = nullptr;
cJSON* configPageSize = nullptr;
cJSON* configAdmin = nullptr;
cJSON* configWriteInterval = nullptr;
cJSON* configWatermark = nullptr;
cJSON* configEditInterval = nullptr;

int listenPort = 80;
int newsPageSize = 5;

int jsonIntValue(const cJSON* item) {
  // cJSON's valueint already holds the truncated, clamped number; texts,
  // arrays, objects and null keep 0 there.
  if (item == nullptr || !cJSON_IsNumber(item)) return 0;
  return item->valueint;
}

int configIntValue(const cJSON* item) { return cJSON_IsTrue(item) ? 1 : jsonIntValue(item); }
