#include "platform/registry.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "process.h"
#include "registry_fixture.h"

#ifdef VLNREG_PATH

namespace {

// vlnreg with standard input from /dev/null, as a script would run it.
ProgramRun vlnreg(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {VLNREG_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv);
}

class VlnregTest : public RootTest {};

TEST_F(VlnregTest, AddQueryAndDeleteValuesOfEachType) {
  const std::string key = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\vlncard";
  ProgramRun r = vlnreg({"add", key, "/v", "VLN_CNT", "/t", "REG_DWORD", "/d", "0x10", "/f"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "The operation completed successfully.\n");
  ASSERT_EQ(vlnreg({"add", key, "/v", "VLN_MAC_000", "/t", "REG_SZ", "/d", "12-01-4d-36-e9-72"}).code, 0);
  ASSERT_EQ(vlnreg({"add", key, "/v", "HardwareID", "/t", "REG_MULTI_SZ", "/d", "vlncard\\0other"}).code, 0);
  ASSERT_EQ(vlnreg({"add", key, "/ve", "/d", "default"}).code, 0);
  ASSERT_EQ(vlnreg({"add", key + "\\Sub"}).code, 0);

  velarn::Registry reg;
  const std::string k = "SYSTEM\\CurrentControlSet\\Services\\vlncard";
  EXPECT_EQ(reg.get_dword(k, "VLN_CNT"), 16u);
  EXPECT_EQ(reg.get_sz(k, "VLN_MAC_000"), "12-01-4d-36-e9-72");
  EXPECT_EQ(reg.get_multi(k, "HardwareID"), (std::vector<std::string>{"vlncard", "other"}));
  EXPECT_EQ(reg.get_sz(k, ""), "default");

  r = vlnreg({"query", "HKEY_LOCAL_MACHINE\\system\\currentcontrolset\\services\\VLNCARD"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out,
            "\nHKEY_LOCAL_MACHINE\\system\\currentcontrolset\\services\\VLNCARD\n"
            "    VLN_CNT    REG_DWORD    0x10\n"
            "    VLN_MAC_000    REG_SZ    12-01-4d-36-e9-72\n"
            "    HardwareID    REG_MULTI_SZ    vlncard\\0other\n"
            "    (Default)    REG_SZ    default\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\system\\currentcontrolset\\services\\VLNCARD\\Sub\n");
  r = vlnreg({"query", k, "/v", "vln_cnt"});
  ASSERT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("    vln_cnt    REG_DWORD    0x10\n"), std::string::npos);

  // Overwriting needs /f when nobody can be asked.
  r = vlnreg({"add", k, "/v", "VLN_CNT", "/t", "REG_DWORD", "/d", "3"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("/f"), std::string::npos);
  EXPECT_EQ(reg.get_dword(k, "VLN_CNT"), 16u);
  EXPECT_EQ(vlnreg({"add", k, "/v", "VLN_CNT", "/t", "REG_DWORD", "/d", "3", "/f"}).code, 0);
  EXPECT_EQ(reg.get_dword(k, "VLN_CNT"), 3u);

  EXPECT_EQ(vlnreg({"delete", k, "/v", "VLN_CNT"}).code, 1);  // not confirmed
  EXPECT_EQ(vlnreg({"delete", k, "/v", "VLN_CNT", "/f"}).code, 0);
  EXPECT_FALSE(reg.get(k, "VLN_CNT"));
  r = vlnreg({"query", k, "/v", "VLN_CNT"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.err, "ERROR: The system was unable to find the specified registry key or value.\n");

  EXPECT_EQ(vlnreg({"delete", "HKLM\\SYSTEM\\CurrentControlSet\\Services", "/f"}).code, 0);
  EXPECT_FALSE(reg.key_exists(k));
  EXPECT_TRUE(reg.key_exists("SYSTEM\\CurrentControlSet"));
  EXPECT_EQ(vlnreg({"query", k}).code, 1);
  EXPECT_EQ(vlnreg({"delete", k, "/f"}).code, 1);
}

TEST_F(VlnregTest, BadCommandLinesFailWithAMessage) {
  struct Case {
    std::vector<std::string> args;
    std::string in_err;
  } cases[] = {
      {{}, "too few arguments"},
      {{"query"}, "too few arguments"},
      {{"frob", "HKLM\\X"}, "unknown command"},
      {{"add", "HKLM\\X", "/v"}, "needs a value"},
      {{"add", "HKLM\\X", "/v", "a", "/v", "b"}, "given twice"},
      {{"add", "HKLM\\X", "/v", "a", "/t", "REG_BINARY", "/d", "00"}, "Invalid type"},
      {{"add", "HKLM\\X", "/v", "a", "/t", "REG_DWORD", "/d", "4294967296"}, "Invalid REG_DWORD"},
      {{"add", "HKLM\\X", "/v", "a", "/t", "REG_DWORD", "/d", "12ab"}, "Invalid REG_DWORD"},
      {{"add", "HKLM\\X", "/t", "REG_SZ"}, "need /v"},
      {{"add", "HKCU\\Software\\X", "/f"}, "Invalid key name"},
      {{"add", "HKLM\\X", "/bogus"}, "unknown argument"},
      {{"delete", "HKLM", "/f"}, "The system was unable"},
      {{"query", "HKLM\\X", "/f"}, "query takes only"},
  };
  for (auto& c : cases) {
    ProgramRun r = vlnreg(c.args);
    EXPECT_EQ(r.code, 1) << c.in_err;
    EXPECT_NE(r.err.find(c.in_err), std::string::npos) << r.err;
  }
  EXPECT_FALSE(velarn::Registry().key_exists("X"));
  // The root always exists once anything was written, and cannot go.
  ASSERT_EQ(vlnreg({"add", "HKLM\\X"}).code, 0);
  ProgramRun r = vlnreg({"delete", "HKLM\\", "/f"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("root"), std::string::npos);
  EXPECT_TRUE(velarn::Registry().key_exists("X"));
}

TEST_F(VlnregTest, DamagedValuesFileIsNamedNotHidden) {
  velarn::Registry reg;
  ASSERT_TRUE(reg.set_sz("K", "a", "1"));
  FILE* f = fopen((reg.dir() + "/K/.values").c_str(), "w");
  fputs("velarn-registry 1\na\tREG_SZ\n", f);
  fclose(f);
  for (auto args : {std::vector<std::string>{"query", "HKLM\\K"},
                    {"query", "HKLM\\K", "/v", "a"},
                    {"add", "HKLM\\K", "/v", "b", "/d", "x", "/f"}}) {
    ProgramRun r = vlnreg(args);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("damaged registry values file"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("line 2"), std::string::npos) << r.err;
  }
}

}  // namespace

#endif
