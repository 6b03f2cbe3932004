// json_search.cpp -- searches of JSON arrays by a member's text and the news
// list order.
#include "storage/json_search.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "storage/json_values.h"

namespace {

// A number text matches when strtod consumes all of it and reads the
// member's value exactly.
bool numberMatches(double value, const char* text) {
  if (std::isnan(value)) return false;
  char* end = nullptr;
  double read = std::strtod(text, &end);
  if (end == text || *end != '\0') return false;
  return read == value;
}

}  // namespace

bool objectMatchesField(const cJSON* element, const char* key, const char* text) {
  if (!cJSON_IsObject(element)) return false;
  const cJSON* member = cJSON_GetObjectItemCaseSensitive(element, key);
  if (member == nullptr) return false;
  if (const char* value = textOf(member)) return std::strcmp(value, text) == 0;
  if (cJSON_IsNumber(member)) return numberMatches(member->valuedouble, text);
  if (cJSON_IsTrue(member)) return strcasecmp(text, "true") == 0;
  if (cJSON_IsFalse(member)) return strcasecmp(text, "false") == 0;
  if (cJSON_IsNull(member)) return strcasecmp(text, "null") == 0;
  return false;
}

namespace {

bool validSearch(const cJSON* array, const char* key, const char* text) {
  return array != nullptr && cJSON_IsArray(array) && key != nullptr && text != nullptr;
}

// printf must not be handed a null text.
const char* printable(const char* text) { return text != nullptr ? text : "(null)"; }

}  // namespace

cJSON* findObjectByField(const cJSON* array, const char* key, const char* text, int* index) {
  if (index != nullptr) *index = -1;
  if (!validSearch(array, key, text)) return nullptr;
  int i = 0;
  for (cJSON* element = array->child; element != nullptr; element = element->next, ++i) {
    if (objectMatchesField(element, key, text)) {
      if (index != nullptr) *index = i;
      return element;
    }
  }
  return nullptr;
}

bool intMatchedByText(const cJSON* member, int* value) {
  if (cJSON_IsNumber(member)) {
    double number = member->valuedouble;
    if (!(number >= INT_MIN && number <= INT_MAX) || std::trunc(number) != number) return false;
    *value = static_cast<int>(number);
    return true;
  }
  if (const char* text = textOf(member)) {
    errno = 0;
    char* end = nullptr;
    long number = std::strtol(text, &end, 10);
    if (errno != 0 || number < INT_MIN || number > INT_MAX) return false;
    if (std::to_string(number) != text) return false;
    *value = static_cast<int>(number);
    return true;
  }
  return false;
}

bool recordIdByText(const cJSON* record, const char* key, int* id) {
  return cJSON_IsObject(record) &&
         intMatchedByText(cJSON_GetObjectItemCaseSensitive(record, key), id);
}

cJSON* findAllObjectsByField(const cJSON* array, const char* key, const char* text) {
  if (!validSearch(array, key, text)) return nullptr;
  cJSON* result = cJSON_CreateArray();
  if (result == nullptr) {
    std::fputs("error: 无法创建结果数组 (内存不足？)。\n", stderr);
    return nullptr;
  }
  for (const cJSON* element = array->child; element != nullptr; element = element->next) {
    if (!objectMatchesField(element, key, text)) continue;
    cJSON* copy = cJSON_Duplicate(element, 1);
    if (copy == nullptr) {
      std::fputs("error: 无法复制cJSON对象 (内存不足？)。\n", stderr);
      cJSON_Delete(result);
      return nullptr;
    }
    if (!cJSON_AddItemToArray(result, copy)) {
      std::fputs("error: 无法将复制的对象添加到结果数组 (内存不足？)。\n", stderr);
      cJSON_Delete(copy);
      cJSON_Delete(result);
      return nullptr;
    }
  }
  return result;
}

int indexById(const cJSON* array, int id) {
  if (array == nullptr || !cJSON_IsArray(array)) return -1;
  int i = 0;
  for (const cJSON* element = array->child; element != nullptr; element = element->next, ++i) {
    const cJSON* member = cJSON_GetObjectItem(element, "id");
    if (cJSON_IsNumber(member) && member->valueint == id) return i;
  }
  return -1;
}

int jsonIntValue(const cJSON* item) {
  // cJSON's valueint already holds the truncated, clamped number; texts,
  // arrays, objects and null keep 0 there.
  if (item == nullptr || !cJSON_IsNumber(item)) return 0;
  return item->valueint;
}

int configIntValue(const cJSON* item) { return cJSON_IsTrue(item) ? 1 : jsonIntValue(item); }

bool compareByTimestamp(const cJSON* a, const cJSON* b) {
  const cJSON* ta = cJSON_GetObjectItem(a, "timestamp");
  if (!cJSON_IsNumber(ta)) return false;
  const cJSON* tb = cJSON_GetObjectItem(b, "timestamp");
  if (!cJSON_IsNumber(tb)) return true;
  return ta->valuedouble > tb->valuedouble;
}

void runFindTest(const char* title, const cJSON* array, const char* key, const char* text) {
  std::printf("--- 测试 (查找单个): %s ---\n", printable(title));
  std::printf("查找键 '%s', 值 '%s'\n", printable(key), printable(text));
  int index = -1;
  cJSON* found = findObjectByField(array, key, text, &index);
  if (found != nullptr) {
    char* printed = cJSON_Print(found);
    std::printf("找到对象 (索引 %d): %s\n", index, printed != nullptr ? printed : "");
    cJSON_free(printed);
  } else {
    std::printf("未找到对象 (索引 %d)。\n", index);
  }
  std::printf("\n");
}

void runFindAllTest(const char* title, const cJSON* array, const char* key, const char* text) {
  std::printf("--- 测试 (查找所有): %s ---\n", printable(title));
  std::printf("查找键 '%s', 值 '%s'\n", printable(key), printable(text));
  cJSON* found = findAllObjectsByField(array, key, text);
  if (found == nullptr) {
    std::printf("查找过程中发生error，返回了NULL。\n");
  } else if (cJSON_GetArraySize(found) == 0) {
    std::printf("未找到匹配的对象 (返回空数组)。\n");
  } else {
    char* printed = cJSON_Print(found);
    std::printf("找到的对象数组: %s\n", printed != nullptr ? printed : "");
    cJSON_free(printed);
  }
  cJSON_Delete(found);
  std::printf("\n");
}
