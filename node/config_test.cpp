// config_test.cpp -- the integer items start-up keeps from config.json.
#include "node/config.h"

#include <gtest/gtest.h>

#include <string>

#include "api/settings.h"
#include "node/startup.h"

namespace {

// Every integer item reads as cJSON's valueint does (true is 1), whether the
// node itself or the request handlers use it.
TEST(KeptConfiguration, IntegerItemsReadTrueAsOne) {
  struct {
    const char* value;
    int read;
  } cases[] = {{"true", 1}, {"false", 0}, {"\"7\"", 0}, {"null", 0}, {"7.9", 7}, {"-7.9", -7}};
  for (const auto& c : cases) {
    const std::string v = c.value;
    loadConfigurationText("{\"Port\": " + v + ", \"page_size\": " + v +
                          ", \"WRITE_INTERVAL\": " + v + ", \"edit_interval\": " + v + "}");
    EXPECT_EQ(listenPort, c.read) << v;
    EXPECT_EQ(configIntValue(configWriteInterval), c.read) << v;
    EXPECT_EQ(apiSettings.pageSize, c.read) << v;
    EXPECT_EQ(apiSettings.editInterval, c.read) << v;
  }
  loadConfigurationText("");
}

}  // namespace
