// config.cpp -- storage of the kept configuration items.
#include "node/config.h"

cJSON* configRoot = nullptr;
cJSON* configName = nullptr;
cJSON* configIcon = nullptr;
cJSON* configCover = nullptr;
cJSON* configPort = nullptr;
cJSON* configPageSize = nullptr;
cJSON* configWriteInterval = nullptr;
cJSON* configWatermark = nullptr;
cJSON* configEditInterval = nullptr;

int listenPort = 80;
