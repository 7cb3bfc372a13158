// Presence: the monitor thread, TokenNow and operations without a token.
// Removal and insertion go through the pass-through test module.
#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <thread>

#include "token_fixture.h"

namespace {

using namespace std::chrono_literals;

// What arrives at the host: messages with the presence flag at that moment.
struct Inbox {
  std::mutex mx;
  std::condition_variable cv;
  std::vector<std::pair<unsigned, int>> got;  // message, token_present
  TokenData** handle = nullptr;

  void push(unsigned msg) {
    std::lock_guard<std::mutex> g(mx);
    got.emplace_back(msg, (*handle)->token_present);
    cv.notify_all();
  }
  static void window(void* ctx, unsigned msg) { static_cast<Inbox*>(ctx)->push(msg); }

  // Waits for a WM_TOKEN_STATE with the given presence.
  bool wait_state(int present, std::chrono::milliseconds limit = 5000ms) {
    std::unique_lock<std::mutex> lk(mx);
    return cv.wait_for(lk, limit, [&] {
      for (auto& m : got)
        if (m.first == WM_TOKEN_STATE && m.second == present) return true;
      return false;
    });
  }
  size_t count(unsigned msg) {
    std::lock_guard<std::mutex> g(mx);
    size_t n = 0;
    for (auto& m : got) n += m.first == msg;
    return n;
  }
  void clear() {
    std::lock_guard<std::mutex> g(mx);
    got.clear();
  }
};

Inbox* callback_inbox = nullptr;
void state_callback(int msg) { callback_inbox->push(static_cast<unsigned>(msg)); }

class MonitorTest : public TokenTest {
 protected:
  std::string hide;
  void SetUp() override {
    TokenTest::SetUp();
    hide = dir + "/hidden";
    setenv("P11SHIM_HIDE", hide.c_str(), 1);
  }
  void TearDown() override {
    TokenTest::TearDown();
    unsetenv("P11SHIM_HIDE");
    unsetenv("P11SHIM_NO_EVENTS");
  }
  void pull() { write_file(hide, ""); }
  void insert() { unlink(hide.c_str()); }
};

TEST_F(MonitorTest, RemovalAndInsertionReachTheWindow) {
  load(P11SHIM_PATH);
  Inbox inbox;
  inbox.handle = &handle;
  TokenNotifier window{&Inbox::window, &inbox};
  ASSERT_EQ(TokenStartMonitor(handle, nullptr, &window), 1);
  EXPECT_EQ(TokenStartMonitor(handle, nullptr, &window), 0);  // already running

  pull();
  ASSERT_TRUE(inbox.wait_state(0));
  EXPECT_EQ(handle->token_present, 0);
  EXPECT_GE(inbox.count(WM_TOKEN_PENDING), 1u);
  inbox.clear();
  insert();
  ASSERT_TRUE(inbox.wait_state(1));
  EXPECT_EQ(handle->token_present, 1);

  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(TokenStopMonitor(handle), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  // Stopped means stopped: without the failure message the monitor thread
  // has been joined, so a change can no longer be reported.
  EXPECT_FALSE(shown.has_text("デバイス監視スレッドの停止に失敗しました。"));
  inbox.clear();
  pull();
  EXPECT_EQ(inbox.count(WM_TOKEN_STATE), 0u);
  insert();
}

TEST_F(MonitorTest, StateGoesToTheCallbackWhenOneIsGiven) {
  load(P11SHIM_PATH);
  Inbox window_inbox, cb_inbox;
  window_inbox.handle = cb_inbox.handle = &handle;
  callback_inbox = &cb_inbox;
  TokenNotifier window{&Inbox::window, &window_inbox};
  ASSERT_EQ(TokenStartMonitor(handle, &state_callback, &window), 1);
  pull();
  ASSERT_TRUE(cb_inbox.wait_state(0));
  EXPECT_EQ(window_inbox.count(WM_TOKEN_STATE), 0u);
  EXPECT_GE(window_inbox.count(WM_TOKEN_PENDING), 1u);
  // TokenNow reports through the same way.
  cb_inbox.clear();
  insert();
  ASSERT_EQ(TokenNow(handle), 0);
  EXPECT_EQ(handle->token_present, 1);
  EXPECT_TRUE(cb_inbox.wait_state(1, 100ms));
  // Freeing a handle with a running monitor stops it first.
  TokenFree(handle);
  handle = nullptr;
  callback_inbox = nullptr;
}

TEST_F(MonitorTest, ModuleWithoutSlotEventsIsNotReportedRemoved) {
  // SoftHSM2 itself has no slot events; its token must stay present. The
  // pass-through module plays it so that the monitor's rounds can be counted.
  setenv("P11SHIM_NO_EVENTS", "1", 1);
  load(P11SHIM_PATH);
  void* shim = dlopen(P11SHIM_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(shim, nullptr);
  auto polls = reinterpret_cast<int (*)()>(dlsym(shim, "p11shim_event_polls"));
  ASSERT_NE(polls, nullptr);
  Inbox inbox;
  inbox.handle = &handle;
  TokenNotifier window{&Inbox::window, &inbox};
  int before = polls();
  ASSERT_EQ(TokenStartMonitor(handle, nullptr, &window), 1);
  // Three rounds of the monitor have looked at the slot list and let it be.
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (polls() < before + 3 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(20ms);
  EXPECT_GE(polls(), before + 3);
  dlclose(shim);
  EXPECT_EQ(handle->token_present, 1);
  EXPECT_EQ(inbox.count(WM_TOKEN_STATE), 0u);
  // While the monitor runs, the caller's thread works on the same module.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(TokenGetInfo(handle), 0);
  EXPECT_EQ(TokenStopMonitor(handle), 1);
}

TEST_F(MonitorTest, OperationsWithoutATokenSayNoTokenPresent) {
  load(P11SHIM_PATH);
  pull();
  ASSERT_EQ(TokenNow(handle), 0);
  EXPECT_EQ(handle->token_present, 0);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(TokenLogin(handle, kPin, 0), TOKEN_ERR_NO_TOKEN);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 200ms);  // at once, no tries
  EXPECT_EQ(TokenGetInfo(handle), TOKEN_ERR_NO_TOKEN);
  EXPECT_EQ(TokenSetPIN(handle, kPin, "5555"), TOKEN_ERR_NO_TOKEN);
  EXPECT_EQ(TokenSignSetup(handle, kPin), TOKEN_ERR_NO_TOKEN);
  EXPECT_EQ(TokenWriteConfig(handle, kProfile, nullptr, 1), TOKEN_ERR_NO_TOKEN);
  EXPECT_EQ(TokenDeleteConfig(handle), TOKEN_ERR_NO_TOKEN);
  EXPECT_TRUE(shown.has_text("認証デバイスを探しています"));
  {
    // Every operation ends with the progress window hidden.
    std::lock_guard<std::mutex> g(shown.mx);
    ASSERT_FALSE(shown.events.empty());
    EXPECT_EQ(shown.events.back().first, TOKEN_PROGRESS_HIDE);
  }
  insert();
  ASSERT_EQ(TokenNow(handle), 0);
  EXPECT_EQ(handle->token_present, 1);
  EXPECT_EQ(TokenLogin(handle, kPin, 0), 0);
  EXPECT_EQ(TokenDeleteCertificate(handle), TOKEN_ERR_CERT_REMOVE);
}

}  // namespace
