// json_search_test.cpp -- the match rule, copies, id lookup, the newest-first
// order and the two diagnostic printers.
#include "storage/json_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "storage/json_tree.h"
#include "tests/support/test_support.h"

using testsupport::printedJson;

namespace {

JsonTree parse(const char* text) {
  JsonTree tree(cJSON_Parse(text));
  EXPECT_NE(tree, nullptr) << text;
  return tree;
}

TEST(FindObjectByField, MatchRule) {
  JsonTree array = parse(
      "[7, \"x\", null, {\"ID\": 1}, {\"id\": 7}, {\"id\": \"7\"}, {\"flag\": true},"
      " {\"flag\": false}, {\"none\": null}, {\"list\": [1]}, {\"obj\": {}}, {\"f\": 2.5},"
      " {\"s\": \"Abc\"}, {\"id\": 8, \"id\": 9}]");
  struct {
    const char* key;
    const char* text;
    int index;  // -1: no match
  } cases[] = {
      {"id", "7", 4},      {"id", "7.0", 4},    {"id", "+7", 4},      {"id", "7e0", 4},
      {"id", " 7", 4},     {"id", "7 ", -1},    {"id", "7a", -1},     {"id", "", -1},
      {"ID", "1", 3},      {"Id", "1", -1},     {"id", "1", -1},      {"flag", "TRUE", 6},
      {"flag", "true", 6}, {"flag", "1", -1},   {"flag", "False", 7}, {"none", "NULL", 8},
      {"none", "", -1},    {"list", "[1]", -1}, {"obj", "{}", -1},    {"f", "2.5", 11},
      {"f", "2", -1},      {"s", "Abc", 12},    {"s", "abc", -1},     {"id", "8", 13},
      {"id", "9", -1},     {"id", "nan", -1},
  };
  for (const auto& c : cases) {
    int index = 99;
    cJSON* found = findObjectByField(array.get(), c.key, c.text, &index);
    EXPECT_EQ(index, c.index) << c.key << "=" << c.text;
    EXPECT_EQ(found, c.index < 0 ? nullptr : cJSON_GetArrayItem(array.get(), c.index))
        << c.key << "=" << c.text;
  }
  // A string member "7" is found by the text 7 only when no number 7 precedes it.
  JsonTree strings = parse("[{\"id\": \"7\"}]");
  EXPECT_NE(findObjectByField(strings.get(), "id", "7", nullptr), nullptr);
  EXPECT_EQ(findObjectByField(strings.get(), "id", "7.0", nullptr), nullptr);
}

TEST(FindObjectByField, BadArgumentsAndFirstOfTwo) {
  JsonTree object = parse("{\"id\": 1}");
  JsonTree array = parse("[{\"id\": 1, \"n\": \"a\"}, {\"id\": 1, \"n\": \"b\"}]");
  int index = 5;
  EXPECT_EQ(findObjectByField(nullptr, "id", "1", &index), nullptr);
  EXPECT_EQ(index, -1);
  index = 5;
  EXPECT_EQ(findObjectByField(object.get(), "id", "1", &index), nullptr);
  EXPECT_EQ(index, -1);
  EXPECT_EQ(findObjectByField(array.get(), nullptr, "1", nullptr), nullptr);
  EXPECT_EQ(findObjectByField(array.get(), "id", nullptr, nullptr), nullptr);
  JsonTree empty = parse("[]");
  EXPECT_EQ(findObjectByField(empty.get(), "id", "1", &index), nullptr);
  EXPECT_EQ(index, -1);
  EXPECT_EQ(findObjectByField(array.get(), "id", "1", &index), array->child);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(findObjectByField(array.get(), "n", "b", nullptr), array->child->next);
}

TEST(FindAllObjectsByField, CopiesInOrder) {
  JsonTree array = parse("[{\"id\": 1, \"n\": \"a\"}, 3, {\"id\": 2}, {\"id\": 1, \"n\": \"b\"}]");
  std::string before = printedJson(array.get());
  JsonTree all(findAllObjectsByField(array.get(), "id", "1"));
  ASSERT_NE(all, nullptr);
  EXPECT_EQ(printedJson(all.get()), "[{\"id\":1,\"n\":\"a\"},{\"id\":1,\"n\":\"b\"}]");
  cJSON_ReplaceItemInObject(all->child, "n", cJSON_CreateString("changed"));
  EXPECT_EQ(printedJson(array.get()), before);

  JsonTree none(findAllObjectsByField(array.get(), "ID", "1"));
  ASSERT_NE(none, nullptr);
  EXPECT_EQ(cJSON_GetArraySize(none.get()), 0);
  JsonTree skipped = parse("[1, \"a\", []]");
  JsonTree noneEither(findAllObjectsByField(skipped.get(), "id", "1"));
  ASSERT_NE(noneEither, nullptr);
  EXPECT_EQ(cJSON_GetArraySize(noneEither.get()), 0);
  EXPECT_EQ(findAllObjectsByField(nullptr, "id", "1"), nullptr);
  EXPECT_EQ(findAllObjectsByField(array.get(), "id", nullptr), nullptr);
}

// Allocations through cJSON fail from the given one on (counted from 1).
int allocationsLeft = -1;
void* failingMalloc(size_t size) {
  if (allocationsLeft == 0) return nullptr;
  if (allocationsLeft > 0) --allocationsLeft;
  return std::malloc(size);
}

TEST(FindAllObjectsByField, OutOfMemoryIsReportedAndFreesWhatItBuilt) {
  JsonTree array = parse("[{\"id\": 1, \"n\": \"a\"}, {\"id\": 2}, {\"id\": 1, \"n\": \"b\"}]");
  struct {
    int allocationsBeforeFailure;
    const char* message;
  } cases[] = {
      {0, "error: 无法创建结果数组 (内存不足？)。\n"},
      {1, "error: 无法复制cJSON对象 (内存不足？)。\n"},
      // The result array and the first copy (three nodes and a key each for
      // "id" and "n") exist when the second copy fails.
      {7, "error: 无法复制cJSON对象 (内存不足？)。\n"},
  };
  for (const auto& c : cases) {
    cJSON_Hooks hooks{failingMalloc, std::free};
    allocationsLeft = c.allocationsBeforeFailure;
    cJSON_InitHooks(&hooks);
    testing::internal::CaptureStderr();
    cJSON* result = findAllObjectsByField(array.get(), "id", "1");
    std::string errors = testing::internal::GetCapturedStderr();
    cJSON_InitHooks(nullptr);
    allocationsLeft = -1;
    EXPECT_EQ(result, nullptr) << c.allocationsBeforeFailure;
    EXPECT_EQ(errors, c.message) << c.allocationsBeforeFailure;
    cJSON_Delete(result);
  }
}

TEST(IndexById, IgnoresKeyCaseAndTruncates) {
  JsonTree array = parse("[{\"id\": \"3\"}, 5, {\"ID\": 3}, {\"id\": 4.9}, {\"id\": 1e20}]");
  EXPECT_EQ(indexById(array.get(), 3), 2);
  EXPECT_EQ(indexById(array.get(), 4), 3);
  EXPECT_EQ(indexById(array.get(), 2147483647), 4);
  EXPECT_EQ(indexById(array.get(), 5), -1);
  EXPECT_EQ(indexById(nullptr, 3), -1);
  JsonTree object = parse("{\"id\": 3}");
  EXPECT_EQ(indexById(object.get(), 3), -1);
}

TEST(CompareByTimestamp, StableNewestFirst) {
  JsonTree array = parse(
      "[{\"n\": 1, \"timestamp\": 5}, {\"n\": 2, \"timestamp\": 9}, {\"n\": 3},"
      " {\"n\": 4, \"TimeStamp\": 9}, {\"n\": 5, \"timestamp\": \"99\"}, {\"n\": 6, "
      "\"timestamp\": 7}]");
  std::vector<const cJSON*> records;
  for (const cJSON* r = array->child; r != nullptr; r = r->next) records.push_back(r);
  std::stable_sort(records.begin(), records.end(), compareByTimestamp);
  std::vector<int> order;
  for (const cJSON* r : records) order.push_back(cJSON_GetObjectItem(r, "n")->valueint);
  EXPECT_EQ(order, (std::vector<int>{2, 4, 6, 1, 3, 5}));
  const cJSON* none = cJSON_GetArrayItem(array.get(), 2);
  EXPECT_FALSE(compareByTimestamp(none, none));
  EXPECT_FALSE(compareByTimestamp(none, array->child));
  EXPECT_TRUE(compareByTimestamp(array->child, none));
}

TEST(Diagnostics, PrintWhatTheyFind) {
  JsonTree array = parse("[{\"id\": 1}, {\"id\": 2}]");
  testing::internal::CaptureStdout();
  runFindTest("one", array.get(), "id", "2");
  runFindTest("none", array.get(), "id", "3");
  std::string single = testing::internal::GetCapturedStdout();
  EXPECT_EQ(single,
            "--- 测试 (查找单个): one ---\n查找键 'id', 值 '2'\n找到对象 (索引 1): {\n"
            "\t\"id\":\t2\n}\n\n"
            "--- 测试 (查找单个): none ---\n查找键 'id', 值 '3'\n未找到对象 (索引 -1)。\n\n");

  testing::internal::CaptureStdout();
  runFindAllTest("all", array.get(), "id", "1");
  runFindAllTest("empty", array.get(), "id", "3");
  runFindAllTest("bad", nullptr, "id", "3");
  std::string all = testing::internal::GetCapturedStdout();
  EXPECT_EQ(all,
            "--- 测试 (查找所有): all ---\n查找键 'id', 值 '1'\n找到的对象数组: [{\n"
            "\t\t\"id\":\t1\n\t}]\n\n"
            "--- 测试 (查找所有): empty ---\n查找键 'id', 值 '3'\n"
            "未找到匹配的对象 (返回空数组)。\n\n"
            "--- 测试 (查找所有): bad ---\n查找键 'id', 值 '3'\n"
            "查找过程中发生error，返回了NULL。\n\n");
}

}  // namespace
