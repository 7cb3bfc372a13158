// The small shared helpers of the platform layer that carry rules of their
// own.
#include <gtest/gtest.h>

#include <string>

#include "platform/dynlib.h"

namespace {

using velarn::DynLib;

// The C library is loaded in every test process, so opening it by its
// soname exercises the loader without a fixture library.
const char kLibc[] = "libc.so.6";

TEST(PlatformDynLib, FindsSymbolsAndReportsWhatIsMissing) {
  DynLib lib;
  ASSERT_TRUE(lib.open(kLibc)) << lib.error();
  EXPECT_NE(nullptr, lib.function<int (*)()>("getpid"));
  EXPECT_EQ(nullptr, lib.symbol("velarn_no_such_symbol"));
  EXPECT_NE(std::string::npos, lib.error().find("velarn_no_such_symbol")) << lib.error();
  // A failed look-up leaves the library usable.
  EXPECT_NE(nullptr, lib.symbol("getpid"));

  DynLib moved(std::move(lib));
  EXPECT_FALSE(lib.is_open());
  EXPECT_EQ(nullptr, lib.symbol("getpid"));
  EXPECT_NE(nullptr, moved.symbol("getpid"));
  moved.close();
  EXPECT_FALSE(moved.is_open());
  EXPECT_EQ(nullptr, moved.symbol("getpid"));
}

TEST(PlatformDynLib, RefusesMissingAndUnnamedLibraries) {
  DynLib lib;
  EXPECT_FALSE(lib.open("/nonexistent/velarn-none.so"));
  EXPECT_NE(std::string::npos, lib.error().find("velarn-none.so")) << lib.error();
  // An empty name would otherwise open the test program itself.
  EXPECT_FALSE(lib.open(""));
  EXPECT_FALSE(lib.error().empty());
  EXPECT_FALSE(lib.is_open());
}

}  // namespace
