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

int configIntValue(const cJSON* item) { return cJSON_IsTrue(item) ? 1 : jsonIntValue(item); }
