#include <gtest/gtest.h>

#include <map>

#include "config.h"
#include "files.h"
#include "in_process.h"
#include "trace.h"

namespace {

struct Collected {
  std::vector<std::string> items;
};

void collect(void* ctx, const char* section, const char* name, const char* value) {
  auto* c = static_cast<Collected*>(ctx);
  std::string s = section ? section : "(none)";
  if (name) s += std::string(".") + name + "=" + value;
  c->items.push_back(s);
}

long parse(const std::string& text, Collected* c) { return config_parse_text(text.data(), text.size(), collect, c); }

class Settings : public PoolFixtureBase, public ::testing::Test {
 protected:
  void TearDown() override { config_clear(); }
  int load(const std::string& text) {
    write_file(root.data("kevad.ini"), text);
    return config_load(pool, root.data("kevad.ini").c_str());
  }
  TempRoot root;
};

}  // namespace

TEST(SettingsReader, SectionsEntriesCommentsAndLiteralBackslashes) {
  Collected c;
  EXPECT_EQ(0, parse("# comment\n; other\n\n[client]\r\n"
                     "  StartupProfile  =  C:\\ProgramData\\Velarn\\office.vln  \r\n"
                     "reconnect=5,10,30\n[ trace ]\n",
                     &c));
  std::vector<std::string> want = {"client", "client.StartupProfile=C:\\ProgramData\\Velarn\\office.vln",
                                   "client.reconnect=5,10,30", "trace"};
  EXPECT_EQ(want, c.items);
}

TEST(SettingsReader, ReportsTheLineOfTheFirstSyntaxError) {
  Collected c;
  EXPECT_EQ(3, parse("[client]\na = 1\nthis line has no equals sign\nb = 2\n", &c));
  EXPECT_EQ(1, parse("[unclosed\n", &c));
  EXPECT_EQ(2, parse("[a]\n= value without a name\n", &c));
  EXPECT_EQ(1, parse("[a] trailing\n", &c));
  EXPECT_EQ(2, parse("[a]\nna me = 1\n", &c));
  std::string with_nul = "[a]\nx = 1\0\n";
  with_nul.push_back('\0');
  EXPECT_EQ(2, parse(std::string("[a]\nx = 1\0z\n", 12), &c));
}

TEST(SettingsReader, EntriesBeforeAnyHeaderHaveNoSection) {
  Collected c;
  EXPECT_EQ(0, parse("StartupProfile = x.vln\n[client]\n", &c));
  EXPECT_EQ("(none).StartupProfile=x.vln", c.items.at(0));
}

TEST_F(Settings, MissingFileMeansDefaults) {
  ASSERT_EQ(0, config_load(pool, root.data("absent.ini").c_str()));
  EXPECT_EQ(nullptr, config_get_string("client.StartupProfile", nullptr));
  EXPECT_STREQ("3,6,9", config_get_string("client.reconnect", "3,6,9"));
  EXPECT_EQ(root.data("kevad.log"), config_get_path("log.log_file", "kevad.log"));
  EXPECT_EQ(nullptr, config_get_string("trace", nullptr));
}

TEST_F(Settings, LookupsIgnoreCaseAndSectionsBecomeKeys) {
  ASSERT_EQ(0, load("[CLIENT]\nstartupprofile = /etc/a.vln\n[trace]\n"));
  EXPECT_STREQ("/etc/a.vln", config_get_string("client.StartupProfile", nullptr));
  EXPECT_STREQ("true", config_get_string("client", nullptr));
  EXPECT_STREQ("true", config_get_string("TRACE", nullptr));
  EXPECT_EQ(1, config_get_int("trace.trace_size", 1));
  EXPECT_EQ(root.data("trace.log"), config_get_path("trace.trace_file", "trace.log"));
}

TEST_F(Settings, IgnoresEntriesOutsideSections) {
  ASSERT_EQ(0, load("StartupProfile = /x.vln\n[client]\nreconnect = 5\n"));
  EXPECT_EQ(nullptr, config_get_string("client.StartupProfile", nullptr));
  EXPECT_EQ(nullptr, config_get_string("StartupProfile", nullptr));
}

TEST_F(Settings, PathsAreAbsoluteOnlyWithALeadingSlash) {
  ASSERT_EQ(0, load("[log]\nlog_file = logs/k.log\n[trace]\ntrace_file = /var/tmp/t.log\n"));
  EXPECT_EQ(root.data("logs/k.log"), config_get_path("log.log_file", "kevad.log"));
  EXPECT_STREQ("/var/tmp/t.log", config_get_path("trace.trace_file", "trace.log"));
}

TEST_F(Settings, IntegersTakeTheLeadingNumber) {
  ASSERT_EQ(0, load("[trace]\ntrace_size = letters\n[a]\nb = 42abc\nc = 99999999999\n"));
  EXPECT_EQ(0, config_get_int("trace.trace_size", 1));
  EXPECT_EQ(42, config_get_int("a.b", 0));
  EXPECT_EQ(INT32_MAX, config_get_int("a.c", 0));
  EXPECT_EQ(7, config_get_int("a.missing", 7));
}

TEST_F(Settings, SyntaxErrorFailsTheLoadAndLeavesNothing) {
  CapturedLog log;
  EXPECT_EQ(-1, load("[client]\nreconnect = 1\nbroken\n"));
  EXPECT_TRUE(log.has(root.data("kevad.ini") + ":3: invalid config file"));
  EXPECT_EQ(nullptr, config_get_string("client.reconnect", nullptr));
}

TEST_F(Settings, LookupsAreTracedWhileTheTraceRuns) {
  std::string dump = root.data("t.log");
  trace_reset_for_test(4096, dump.c_str());
  ASSERT_EQ(0, load("[client]\nreconnect = 5\n"));
  config_get_string("client.reconnect", nullptr);
  config_get_string("client.StartupProfile", nullptr);  // absent, no default: no record
  config_get_string("client.other", "");                // empty default: no record
  config_get_path("log.log_file", "kevad.log");
  trace_dump();
  trace_reset_for_test(-1, nullptr);
  std::string text = read_file(dump);
  EXPECT_NE(std::string::npos, text.find("client.reconnect = 5\n"));
  EXPECT_NE(std::string::npos, text.find("log.log_file = kevad.log\n"));
  EXPECT_EQ(std::string::npos, text.find("StartupProfile"));
  EXPECT_EQ(std::string::npos, text.find("client.other"));
}
