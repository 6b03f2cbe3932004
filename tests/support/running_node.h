// running_node.h -- a test fixture with the real node running in a fresh
// directory, driven by curl.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_support.h"

namespace testsupport {

// Starts the node in dir on a free loopback port with user 1 an
// administrator; url is its "http://127.0.0.1:<port>". A node that does not
// start fails the test. The node still running at the end is SIGKILLed.
class RunningNodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = freePort();
    writeFile(dir.file("config.json"), minimalConfig(port, 10000, "\"admin\":\t[1]"));
    ASSERT_TRUE(startNode(node, dir.path, port)) << node.outSoFar;
    url = "http://127.0.0.1:" + std::to_string(port);
  }

  // Runs curl with args against the node; returns its standard output and errors.
  std::string curl(const std::string& args) {
    return runCommand("curl -s -S --max-time 30 " + args + " 2>&1");
  }

  TempDir dir;
  NodeProcess node;
  int port = 0;
  std::string url;
};

}  // namespace testsupport
