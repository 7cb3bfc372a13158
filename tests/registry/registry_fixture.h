// Every test runs in a throwaway VELARN_ROOT so that nothing touches the
// machine's own registry and tests cannot see each other's keys.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

class TempRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/velarn-reg-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root = tmpl;
    setenv("VELARN_ROOT", root.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("VELARN_ROOT");
    if (!root.empty()) std::system(("rm -rf '" + root + "'").c_str());
  }
  std::string root;
};
