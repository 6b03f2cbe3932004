// config.h -- the configuration kept from config.json for the whole run.
// Written once by start-up before any other thread exists; read-only after.
#pragma once

#include <cjson/cJSON.h>

#include "storage/json_search.h"  // jsonIntValue

// The parsed config.json, or null when it does not parse.
extern cJSON* configRoot;

// Members of configRoot found by key ignoring case, or null.
extern cJSON* configName;           // "name"
extern cJSON* configIcon;           // "icon" (text)
extern cJSON* configCover;          // "cover" (text)
extern cJSON* configPort;           // "port"
extern cJSON* configPageSize;       // "page_size"
extern cJSON* configWriteInterval;  // "write_interval" (milliseconds)
extern cJSON* configWatermark;      // "watermark" (object with the text "path")
extern cJSON* configEditInterval;   // "edit_interval" (seconds)

// Integer copy of "port".
extern int listenPort;  // initially 80
