// json_tree.h -- owning holders for cJSON trees and the texts cJSON prints.
#pragma once

#include <cjson/cJSON.h>

#include <memory>

struct JsonTreeDelete {
  void operator()(cJSON* tree) const { cJSON_Delete(tree); }
};
// A cJSON tree owned by its holder (freed with cJSON_Delete).
using JsonTree = std::unique_ptr<cJSON, JsonTreeDelete>;

struct JsonTextFree {
  void operator()(char* text) const { cJSON_free(text); }
};
// A text printed by cJSON, owned by its holder (freed with cJSON_free).
using JsonText = std::unique_ptr<char, JsonTextFree>;
