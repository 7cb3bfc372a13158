// The small shared helpers of the platform layer that carry rules of their
// own: the library loader and the text rules.
#include <gtest/gtest.h>

#include <string>

#include "platform/dynlib.h"
#include "platform/text.h"

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

// Names compare with ASCII letters folded and nothing else: bytes that only
// a naive bit trick or a locale would fold must stay distinct.
TEST(PlatformText, ComparesAndTrimsByTheSharedRules) {
  struct Case {
    const char* a;
    const char* b;
    bool equal;   // iequals(a, b)
    bool starts;  // istarts_with(a, b)
  } const cases[] = {
      {"HKR", "hkr", true, true},
      {"AddReg", "ADDREG", true, true},
      {"", "", true, true},
      {"Content-Length: 12", "content-length:", false, true},
      {"HKLM", "HKEY_LOCAL_MACHINE", false, false},
      {"ab", "abc", false, false},
      {"[", "{", false, false},  // 0x5b and 0x7b differ only in the 0x20 bit
      {"@", "`", false, false},
      {"\xc3\x84", "\xc3\xa4", false, false},  // not ASCII: never folded
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.equal, velarn::iequals(c.a, c.b)) << c.a << " / " << c.b;
    EXPECT_EQ(c.equal, velarn::iequals(c.b, c.a)) << c.b << " / " << c.a;
    EXPECT_EQ(c.starts, velarn::istarts_with(c.a, c.b)) << c.a << " / " << c.b;
  }
  EXPECT_EQ("hklm\\software", velarn::ascii_lower("HKLM\\Software"));

  EXPECT_EQ("a b", velarn::trim("  a b \t\r\n"));
  EXPECT_EQ("", velarn::trim(" \t\r\n "));
  EXPECT_EQ("", velarn::trim(""));
  EXPECT_EQ("\fx\v", velarn::trim("\fx\v"));
  EXPECT_EQ("x", velarn::trim("\fx\v ", " \f\v"));
  // A string with an embedded zero keeps it: values are not C strings.
  EXPECT_EQ(std::string("a\0b", 3), velarn::trim(std::string(" a\0b ", 5)));
  // The view stays inside the text it was cut from, even when nothing is left.
  std::string_view text = "  key = v  ";
  std::string_view v = velarn::trim_view(text);
  EXPECT_EQ("key = v", v);
  EXPECT_EQ(text.data() + 2, v.data());
  std::string_view blank = text.substr(0, 2);
  EXPECT_EQ(blank.data() + 2, velarn::trim_view(blank).data());
  EXPECT_TRUE(velarn::trim_view(blank).empty());
}

}  // namespace
