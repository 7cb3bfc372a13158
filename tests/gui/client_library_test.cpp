// The wrapper's retries, messages and event log against a scripted library,
// and LaunchCommand's splitting.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "catalog_ids.h"
#include "client_library.h"
#include "gui_test_support.h"

using namespace vlngui;

namespace {

// The scripted library: each call's result comes from a function of the
// call's number (1-based), so a test says "fails until the 150th".
struct Script {
  std::function<int(int)> init = [](int) { return 0; };
  std::function<int(int)> open = [](int) { return 0; };
  std::function<int(int)> state = [](int) { return 0; };
  int32_t state_value = 0;
  std::function<int(int)> connect = [](int) { return 0; };
  std::function<int(int)> disconnect = [](int) { return 0; };
  std::function<int(int)> encrypt = [](int) { return 0; };
  int calls_init = 0, calls_open = 0, calls_state = 0, calls_connect = 0, calls_disconnect = 0, calls_close = 0,
      calls_encrypt = 0;
};
Script* g;

const VlnApi kScripted{
    [] { return g->init(++g->calls_init); },
    [](int* h, VLN_Callback) {
      int rc = g->open(++g->calls_open);
      *h = rc == 0 ? 7 : 0;
      return rc;
    },
    [](int, int32_t* s) {
      int rc = g->state(++g->calls_state);
      if (rc == 0) *s = g->state_value;
      return rc;
    },
    [](int, const char*, const char*) { return g->connect(++g->calls_connect); },
    [](int) { return g->disconnect(++g->calls_disconnect); },
    [](int, char* b, size_t) {
      std::strcpy(b, "<host>h</host>");
      return 0;
    },
    [](const char* k, size_t kl, const char* in, size_t il, char* out, size_t os) {
      int rc = g->encrypt(++g->calls_encrypt);
      return rc ? rc : VLN_encrypt(k, kl, in, il, out, os);
    },
    [](int) {
      ++g->calls_close;
      return 0;
    },
};

struct Host : LibraryHost {
  std::vector<std::string> messages;
  std::vector<int> trays;
  std::vector<std::pair<int, int>> events;
  std::vector<int> token_pending;
  long waited_ms = 0;
  bool visible = false, autoconnect = false;
  int cancel_after_ms = -1;
  void show_message(const std::string& t) override { messages.push_back(t); }
  void update_tray_state(int s) override { trays.push_back(s); }
  void post_client_event(int v, int k) override { events.emplace_back(v, k); }
  void post_token_pending(int a) override { token_pending.push_back(a); }
  bool main_window_visible() override { return visible; }
  bool auto_connect() override { return autoconnect; }
  bool wait(int ms) override {
    waited_ms += ms;
    return cancel_after_ms < 0 || waited_ms <= cancel_after_ms;
  }
};

class Wrapper : public ::testing::Test {
 protected:
  void SetUp() override { g = &script; }
  std::string api(int id, int code = 0) { return format_text(cat.api_text(id), {std::to_string(code)}); }
  Catalogs cat = guitest::shipped("en");
  Script script;
  Host host;
  ClientLibrary lib{cat, host, kScripted};
};

TEST_F(Wrapper, StartLibraryGivesUpSilentlyOnASlowService) {
  script.init = [](int n) { return n < 150 ? 3 : 0; };
  EXPECT_EQ(0, lib.StartLibrary());
  EXPECT_EQ(150, script.calls_init);
  EXPECT_EQ(0, script.calls_open);
  EXPECT_TRUE(host.messages.empty());
  EXPECT_EQ(149000, host.waited_ms);
}

TEST_F(Wrapper, StartLibraryOpensAfter99FailuresAndRetriesTheOpen) {
  script.init = [](int n) { return n < 100 ? 3 : 0; };
  script.open = [](int n) { return n < 3 ? 3 : 0; };
  EXPECT_EQ(1, lib.StartLibrary());
  EXPECT_EQ(7, lib.handle());
  EXPECT_EQ(3, script.calls_open);
  EXPECT_TRUE(host.messages.empty());
  EXPECT_EQ(1, lib.StartLibrary());
  EXPECT_EQ(1, script.calls_close);  // the open handle first
}

TEST_F(Wrapper, StartLibraryReportsA300thFailedOpen) {
  script.open = [](int) { return 2; };
  EXPECT_EQ(0, lib.StartLibrary());
  EXPECT_EQ(300, script.calls_open);
  EXPECT_EQ(std::vector<std::string>{api(ids::kLibLink)}, host.messages);
}

TEST_F(Wrapper, RetryLoopsEndWhenTheProgramEnds) {
  script.init = [](int) { return 3; };
  host.cancel_after_ms = 5000;
  EXPECT_EQ(0, lib.StartLibrary());
  EXPECT_EQ(6, script.calls_init);
  script.open = [](int) { return 3; };
  host.waited_ms = 0;
  EXPECT_EQ(0, lib.ReopenLibrary());
  EXPECT_LE(script.calls_open, 6);
  EXPECT_TRUE(host.messages.empty());
}

TEST_F(Wrapper, ReopenLibraryTries300RoundsWithoutAMessage) {
  script.open = [](int) { return 3; };
  EXPECT_EQ(0, lib.ReopenLibrary());
  EXPECT_EQ(300, script.calls_open);
  EXPECT_EQ(300000, host.waited_ms);
  EXPECT_TRUE(host.messages.empty());
}

TEST_F(Wrapper, ConnectResults) {
  struct Case {
    int rc;
    int message;  // 0: none
    int result;
    bool handle_kept;
  } cases[] = {
      {0, 0, 1, true},
      {1, ids::kLibArgument, 0, true},
      {4, ids::kConnectRefused, 0, true},
      {16, ids::kConnectBusy, 0, true},
      {17, ids::kConnectStart, 0, true},
      {18, ids::kConnectAnswer, 0, true},
      {3, ids::kLibLink, 0, false},
      {42, ids::kLibOther, 0, false},
  };
  for (const Case& k : cases) {
    Script s;
    int rc = k.rc;
    s.connect = [rc](int) { return rc; };
    g = &s;
    Host h;
    ClientLibrary l(cat, h, kScripted);
    EXPECT_EQ(k.result, l.ConnectProfile("<profile/>")) << k.rc;
    EXPECT_EQ(1, s.calls_connect);
    EXPECT_EQ(k.handle_kept, l.handle() != 0) << k.rc;
    EXPECT_EQ(k.message ? std::vector<std::string>{api(k.message, k.rc)} : std::vector<std::string>{}, h.messages)
        << k.rc;
    EXPECT_EQ(k.rc == 3 ? std::vector<int>{0} : std::vector<int>{}, h.trays) << k.rc;
  }
}

TEST_F(Wrapper, ConnectLostLinkInAutoConnectModeWaitsForTheService) {
  script.connect = [](int) { return 3; };
  host.autoconnect = true;
  EXPECT_EQ(1, lib.ConnectProfile("<profile/>"));
  EXPECT_TRUE(host.messages.empty());
  EXPECT_EQ(std::vector<int>{1}, host.token_pending);
  EXPECT_EQ(0, lib.handle());
}

TEST_F(Wrapper, ConnectWhileASessionRunsOnlyRedisplays) {
  for (int state : {1, 2, 3, 4}) {
    script.state_value = state;
    EXPECT_EQ(0, lib.ConnectProfile("<profile/>"));
  }
  EXPECT_EQ(0, script.calls_connect);
  EXPECT_EQ((std::vector<int>{1, 2, 3, 4}), host.trays);
}

TEST_F(Wrapper, QueryStateReopensOnceOnALostLink) {
  ASSERT_EQ(1, lib.OpenLibrary());
  script.state = [](int n) { return n == 1 ? 3 : 0; };
  script.state_value = 2;
  int32_t st = -1;
  EXPECT_EQ(1, lib.QueryState(&st));
  EXPECT_EQ(2, st);
  EXPECT_EQ(2, script.calls_open);
  script.state = [](int) { return 3; };
  EXPECT_EQ(0, lib.QueryState(&st));
  EXPECT_EQ(std::vector<std::string>{api(ids::kLibLink)}, host.messages);
}

TEST_F(Wrapper, DisconnectWithoutSessionRefreshesThenTellsTheWindow) {
  ASSERT_EQ(1, lib.OpenLibrary());
  script.disconnect = [](int) { return 5; };
  lib.DisconnectSession();
  EXPECT_EQ(2, script.calls_open);  // reopened
  EXPECT_EQ(std::vector<int>{0}, host.trays);
  EXPECT_EQ((std::vector<std::pair<int, int>>{{0, 0}}), host.events);
  EXPECT_EQ(std::vector<std::string>{api(ids::kDisconnectNoSession)}, host.messages);
}

TEST_F(Wrapper, EventsReachTheLogAndTheWindow) {
  Catalogs ja = guitest::shipped("ja");
  ClientLibrary jl(ja, host, kScripted);
  auto send = [&](int kind, int value, const std::u16string& text) {
    VLN_Event e{kind, value, reinterpret_cast<const uint16_t*>(text.c_str())};
    jl.on_event(e);
  };
  send(0, 2, u"Connected");
  send(2, 1, u"hidden progress");  // logged, not notified
  send(1, 0, u"");                 // nothing to show
  send(1, 0, u"disconnected from the peer unexpectedly");
  send(3, 0, u"log only");
  send(7, 0, u"unknown kind");
  EXPECT_EQ((std::vector<std::pair<int, int>>{{2, 0}, {0, 1}}), host.events);
  std::string popup = jl.events().take_popup();
  EXPECT_EQ("サーバーへの接続は異常に終了しました", popup);
  EXPECT_TRUE(is_abnormal_end(popup, ja));
  EXPECT_TRUE(is_abnormal_end("The connection to the server ended abnormally (reset)", cat));
  EXPECT_FALSE(is_abnormal_end("Connected to the server", cat));
  EXPECT_EQ("log only", jl.events().current_text());
  host.visible = true;
  for (int i = 0; i < 30; ++i) send(2, 1, u"line " + std::u16string(1, char16_t(u'a' + i % 26)));
  auto log = jl.events().entries();
  ASSERT_EQ(EventLog::kMaxEntries, log.size());
  EXPECT_EQ("line j", log.front());  // the oldest went first
  EXPECT_EQ(32u, host.events.size());
}

TEST_F(Wrapper, EncryptSecretNeverReturnsAFailedResult) {
  std::string enc = lib.EncryptSecret("secret");
  EXPECT_FALSE(enc.empty());
  EXPECT_EQ(std::string::npos, enc.find("secret"));
  // A long secret is encoded whole, not cut at a fixed margin.
  EXPECT_EQ(4 * ((4000u + 1 + 2) / 3), lib.EncryptSecret(std::string(4000, 's')).size());
  script.encrypt = [](int) { return 1; };
  EXPECT_EQ("", lib.EncryptSecret("secret"));
  EXPECT_EQ(std::vector<std::string>{cat.text(ids::kEncryptFailed)}, host.messages);
}

TEST(LaunchCommand, SplitsProgramAndParameters) {
  guitest::TempDir dir;
  std::string prog_dir = dir.path() + "/my tools";
  std::filesystem::create_directories(prog_dir);
  std::ofstream(prog_dir + "/run") << "#!/bin/sh\n";
  std::ofstream(dir.path() + "/default.sh") << "#!/bin/sh\n";
  std::ofstream(dir.path() + "/default.vbs") << "x\n";
  struct Case {
    std::string command, program, parameters;
  } cases[] = {
      {"/opt/my apps/tool.sh -a -b", "/opt/my apps/tool.sh", "-a -b"},
      {"/opt/my apps/tool.sh", "/opt/my apps/tool.sh", ""},
      {prog_dir + "/run -o /tmp/out.txt", prog_dir + "/run", "-o /tmp/out.txt"},
      {"\"/opt/my apps/tool\" \"-x\" y", "/opt/my apps/tool", "-x y"},
      {"  xterm -e top ", "xterm", "-e top"},
      {"default.vbs", dir.path() + "/default.vbs", ""},
      {"default.sh now", dir.path() + "/default.sh", "now"},
      {"default.js", "default.js", ""},  // not in the data folder
  };
  for (const Case& k : cases) {
    LaunchSplit s = SplitLaunchCommand(k.command, dir.path());
    EXPECT_EQ(k.program, s.program) << k.command;
    EXPECT_EQ(k.parameters, s.parameters) << k.command;
  }
}

TEST(LaunchCommand, RunsAScriptFromTheDataFolder) {
  guitest::TempDir dir;
  std::string mark = dir.path() + "/ran";
  std::ofstream(dir.path() + "/default.sh") << "echo \"$1\" > '" << mark << "'\n";
  EXPECT_EQ(1, LaunchCommand("default.sh hello", dir.path()));
  EXPECT_EQ(0, LaunchCommand(dir.path() + "/missing.sh", dir.path()));
  std::string got;
  for (int i = 0; i < 200 && got.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream(mark) >> got;
  }
  EXPECT_EQ("hello", got);
}

}  // namespace
