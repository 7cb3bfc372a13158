// Every test runs in a throwaway VELARN_ROOT so that nothing touches the
// machine's own registry and tests cannot see each other's keys.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "files.h"

class RootTest : public ::testing::Test {
 protected:
  TempRoot temp;
  std::string root = temp.path();
};
