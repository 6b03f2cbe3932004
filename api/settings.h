// settings.h -- what the request handlers read of the node's configuration.
//
// Filled by start-up (node/) before any request thread exists, then read
// without a lock; tests replace it only between requests. The texts are
// copies, independent of the parsed configuration.
#pragma once

#include <cjson/cJSON.h>

#include <memory>
#include <optional>
#include <string>

#include "storage/json_tree.h"

// The node's settings file, in the working directory.
constexpr const char* kConfigPath = "config.json";

struct ApiSettings {
  // "name", "icon" and "cover": present only when the configured item is a
  // text. The node description shows the ones present; the icon and cover are
  // also served by these names.
  std::optional<std::string> name;
  std::optional<std::string> icon;
  std::optional<std::string> cover;
  // A deep copy of the configured "watermark" item, whatever its JSON type, as
  // the node description shows it; null when there is none.
  JsonTree watermark;
  // The text "path" of the watermark object (served by this name); absent when
  // the watermark has no such text.
  std::optional<std::string> watermarkPath;
  // "page_size": news items per list page, and the description's "pageSize".
  int pageSize = 5;
  // "edit_interval": seconds that must pass between two changes of a user's
  // nickname or avatar, and the description's "editInterval".
  int editInterval = 0;
};

// The settings in force (see above for who writes them and when).
extern ApiSettings apiSettings;
