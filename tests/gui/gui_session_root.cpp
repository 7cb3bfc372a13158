// The GUI's wrapper driving a real session: kevad, the virtual adapter and
// keva-server in namespaces of the test's own, reached only through
// ClientLibrary, with the service's texts in the Japanese catalogs.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "client_library.h"
#include "gui_test_support.h"
#include "tunnel_fixture.h"

using namespace vlngui;

namespace {

// The main window as the wrapper sees it, hidden, from any thread.
struct Window : LibraryHost {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::pair<int, int>> events;
  std::vector<std::string> messages;
  void show_message(const std::string& t) override {
    std::lock_guard<std::mutex> l(mu);
    messages.push_back(t);
  }
  void update_tray_state(int) override {}
  void post_client_event(int value, int kind) override {
    std::lock_guard<std::mutex> l(mu);
    events.emplace_back(value, kind);
    cv.notify_all();
  }
  void post_token_pending(int) override {}
  bool main_window_visible() override { return false; }
  bool auto_connect() override { return false; }
  bool wait(int ms) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return true;
  }
  bool wait_for_state(int state) {
    std::unique_lock<std::mutex> l(mu);
    return cv.wait_for(l, std::chrono::seconds(30), [&] {
      return std::find(events.begin(), events.end(), std::make_pair(state, 0)) != events.end();
    });
  }
};

bool logged(ClientLibrary& lib, const std::string& text) {
  auto e = lib.events().entries();
  return std::find(e.begin(), e.end(), text) != e.end();
}

TEST(GuiSession, WrapperConnectsThroughTheServiceAndLogsItsEventsInJapanese) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root (namespaces, TAP devices)";
  TunnelSite site;
  ASSERT_TRUE(site.ok());
  ASSERT_TRUE(site.start_server());
  ASSERT_TRUE(site.start_adapter());
  ASSERT_TRUE(site.start_kevad());
  Catalogs ja = guitest::shipped("ja");
  Window window;
  ClientLibrary lib(ja, window);
  ASSERT_EQ(1, lib.StartLibrary()) << read_file(site.data("kevad.log"));

  // The store hands the service an encrypted password made by the wrapper.
  std::string enc = lib.EncryptSecret("secret");
  ASSERT_FALSE(enc.empty());
  std::string profile = site.profile();
  const std::string plain = "<password>secret</password>";
  profile.replace(profile.find(plain), plain.size(), "<enc_password>" + enc + "</enc_password>");

  ASSERT_EQ(1, lib.ConnectProfile(profile)) << read_file(site.data("kevad.log"));
  ASSERT_TRUE(window.wait_for_state(2)) << read_file(site.data("kevad.log"));
  int32_t state = -1;
  ASSERT_EQ(1, lib.QueryState(&state));
  EXPECT_EQ(2, state);
  std::string running;
  lib.GetSessionProfile(&running);
  EXPECT_NE(std::string::npos, running.find("<switch>"));
  // Progress while the window is hidden is logged, not announced.
  EXPECT_TRUE(logged(lib, "サーバーに接続しました"));
  EXPECT_EQ(0, site.in_ns(site.cli_ns(), "ping -c 2 -i 0.2 -W 2 192.168.203.1 >/dev/null"));

  // A second connect while connected only redisplays.
  EXPECT_EQ(0, lib.ConnectProfile(profile));

  lib.DisconnectSession();
  ASSERT_TRUE(window.wait_for_state(0));
  EXPECT_TRUE(logged(lib, "サーバーから切断しました"));
  ASSERT_EQ(1, lib.QueryState(&state));
  EXPECT_EQ(0, state);
  EXPECT_LE(lib.events().entries().size(), EventLog::kMaxEntries);
  std::lock_guard<std::mutex> l(window.mu);
  EXPECT_TRUE(window.messages.empty()) << window.messages.front();
}

}  // namespace
