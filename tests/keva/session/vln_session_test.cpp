// The client library driving a live session: kevad, the virtual adapter and
// keva-server in the namespaces of TunnelSite, reached only through VLN_*.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "tunnel_site.h"
#include "vln.h"

namespace {

const char kKey[] = "3c9d0e7a51b2f4860d1e2a3b4c5d6e7f80919a2b";

struct Record {
  int32_t kind;
  int32_t value;
  std::string text;  // the UTF-16 text narrowed; the service's texts here are ASCII
};

// The callback carries no context, so each handle of a test gets a slot of
// its own through the template below.
class Inbox {
 public:
  void add(const VLN_Event* e) {
    Record r{e->kind, e->value, {}};
    for (const uint16_t* p = e->text; p && *p; ++p) r.text += *p < 0x80 ? static_cast<char>(*p) : '?';
    std::lock_guard<std::mutex> lock(m_);
    records_.push_back(std::move(r));
    cv_.notify_all();
  }
  void clear() {
    std::lock_guard<std::mutex> lock(m_);
    records_.clear();
  }
  std::vector<Record> records() {
    std::lock_guard<std::mutex> lock(m_);
    return records_;
  }
  // Waits for a record of this kind and text.
  bool wait_for(int32_t kind, const std::string& text, int ms) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
      for (const auto& r : records_)
        if (r.kind == kind && r.text == text) return true;
      return false;
    });
  }
  // The state records' texts in order; each must carry its state as value.
  std::vector<std::string> states() {
    std::vector<std::string> out;
    for (const auto& r : records())
      if (r.kind == VLN_EVENT_STATE) out.push_back(r.text);
    return out;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<Record> records_;
};

Inbox g_inbox[2];
template <int N>
void on_event(const VLN_Event* e) {
  g_inbox[N].add(e);
}

int32_t state_value(const std::string& name) {
  if (name == "Terminate") return VLN_STATE_IDLE;
  if (name == "Connecting") return VLN_STATE_CONNECTING;
  if (name == "Connected") return VLN_STATE_CONNECTED;
  if (name == "Closing") return VLN_STATE_CLOSING;
  if (name == "Closed") return VLN_STATE_CLOSED;
  return VLN_STATE_UNKNOWN;
}

std::string encrypt(const std::string& secret) {
  std::vector<char> out(secret.size() + 296);
  int rc = VLN_encrypt(kKey, 40, secret.c_str(), secret.size() + 1, out.data(), out.size());
  EXPECT_EQ(VLN_OK, rc);
  return out.data();
}

class VlnSession : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (namespaces, TAP devices)";
    for (auto& i : g_inbox) i.clear();
    site = std::make_unique<TunnelSite>();
    ASSERT_TRUE(site->ok());
    ASSERT_TRUE(site->start_server());
    ASSERT_TRUE(site->start_adapter());
    ASSERT_TRUE(site->start_kevad());
    // The service logs its start before its channel thread listens; like
    // the GUI, ask again until it answers.
    int rc = VLN_ERR_LINK;
    for (int i = 0; i < 50 && (rc = VLN_init()) != VLN_OK; ++i) usleep(100000);
    ASSERT_EQ(VLN_OK, rc) << kevad_log();
    ASSERT_EQ(VLN_OK, VLN_open(&handle, on_event<0>));
    ASSERT_NE(0, handle);
  }
  void TearDown() override {
    // A session left running by a failed test must not outlive the site.
    if (handle) {
      if (VLN_disconnect(handle) == VLN_OK) g_inbox[0].wait_for(VLN_EVENT_STATE, "Terminate", 20000);
      VLN_close(handle);
    }
    site.reset();
  }

  std::string kevad_log() { return read_file(site->data("kevad.log")); }
  // Waits for the session's end: the event, then the state query agrees.
  void wait_ended() {
    ASSERT_TRUE(g_inbox[0].wait_for(VLN_EVENT_STATE, "Terminate", 20000)) << kevad_log();
    int32_t state = -7;
    for (int i = 0; i < 100; ++i) {
      ASSERT_EQ(VLN_OK, VLN_state(handle, &state));
      if (state == VLN_STATE_IDLE) break;
      usleep(20000);
    }
    ASSERT_EQ(VLN_STATE_IDLE, state);
  }
  // Stops the session and waits until it is gone.
  void disconnect() {
    ASSERT_EQ(VLN_OK, VLN_disconnect(handle)) << kevad_log();
    wait_ended();
  }
  bool ping() { return site->in_ns(site->cli_ns(), "ping -c 2 -i 0.2 -W 2 192.168.203.1 >/dev/null") == 0; }

  std::unique_ptr<TunnelSite> site;
  int handle = 0;
};

}  // namespace

TEST_F(VlnSession, ConnectsReportsTheSessionAndDisconnects) {
  const std::string profile = site->profile();
  ASSERT_EQ(VLN_OK, VLN_connect(handle, profile.c_str(), nullptr));
  ASSERT_TRUE(g_inbox[0].wait_for(VLN_EVENT_STATE, "Connected", 10000)) << kevad_log();
  EXPECT_EQ((std::vector<std::string>{"Connecting", "Connected"}), g_inbox[0].states());
  // The service's info lines reach the caller as progress.
  EXPECT_TRUE(g_inbox[0].wait_for(VLN_EVENT_PROGRESS, "remote session started", 2000));

  int32_t state = -7;
  ASSERT_EQ(VLN_OK, VLN_state(handle, &state));
  EXPECT_EQ(VLN_STATE_CONNECTED, state);

  // As the GUI asks for it: 1024 bytes of which 1023 usable.
  char buf[1024];
  EXPECT_EQ(VLN_OK, VLN_getProfile(handle, buf, 1023));
  EXPECT_EQ(profile, buf);
  char small[17];
  EXPECT_EQ(VLN_ERR_SPACE, VLN_getProfile(handle, small, sizeof small));
  EXPECT_EQ(profile.substr(0, 16), small);

  EXPECT_TRUE(ping());

  disconnect();
  EXPECT_EQ((std::vector<std::string>{"Connecting", "Connected", "Closing", "Closed", "Terminate"}),
            g_inbox[0].states());
  for (const auto& r : g_inbox[0].records()) {
    if (r.kind == VLN_EVENT_STATE) {
      EXPECT_EQ(state_value(r.text), r.value) << r.text;
    }
  }
  // The session is gone for every query.
  state = -7;
  ASSERT_EQ(VLN_OK, VLN_state(handle, &state));
  EXPECT_EQ(VLN_STATE_IDLE, state);
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(VLN_ERR_NO_SESSION, VLN_getProfile(handle, buf, 1023));
  EXPECT_STREQ("", buf);
  EXPECT_EQ(VLN_ERR_NO_SESSION, VLN_disconnect(handle));

  EXPECT_EQ(VLN_OK, VLN_close(handle));
  int closed = handle;
  handle = 0;
  EXPECT_EQ(VLN_ERR_ARGUMENT, VLN_state(closed, &state));
  EXPECT_EQ(VLN_ERR_ARGUMENT, VLN_close(closed));
}

// What the library encrypts for the profile store, the service decrypts
// and hands to the server.
static std::string with_enc_password(const TunnelSite& site, const std::string& secret, const std::string& extra) {
  std::string enc = encrypt(secret);
  EXPECT_NE("", enc);
  EXPECT_EQ(std::string::npos, enc.find(secret));
  const std::string plain = "<password>secret</password>";
  std::string p = site.profile(extra);
  p.replace(p.find(plain), plain.size(), "<enc_password>" + enc + "</enc_password>");
  return p;
}

TEST_F(VlnSession, EncryptedPasswordLogsIn) {
  std::string profile = with_enc_password(*site, "secret", "");
  ASSERT_EQ(VLN_OK, VLN_connect(handle, profile.c_str(), nullptr));
  ASSERT_TRUE(g_inbox[0].wait_for(VLN_EVENT_STATE, "Connected", 10000)) << kevad_log();
  EXPECT_TRUE(ping());
  disconnect();
}

TEST_F(VlnSession, EncryptedWrongPasswordIsRefusedByTheServer) {
  // The server must see what the service decrypted, not some fixed text.
  std::string profile = with_enc_password(*site, "not-the-secret", "<reconnect>0</reconnect>");
  ASSERT_EQ(VLN_OK, VLN_connect(handle, profile.c_str(), nullptr));
  wait_ended();
  EXPECT_EQ((std::vector<std::string>{"Connecting", "Closed", "Terminate"}), g_inbox[0].states());
  // The server logs the refusal after sending it.
  EXPECT_TRUE(site->wait_for_log(site->root() + "/server.log", "wrong user name or password", 2000));
  bool alert = false;
  for (const auto& r : g_inbox[0].records()) alert = alert || r.kind == VLN_EVENT_ALERT;
  EXPECT_TRUE(alert);
}

TEST_F(VlnSession, ASecondConnectWhileOneRunsIsBusyAndEveryHandleHearsTheEnd) {
  int second = 0;
  ASSERT_EQ(VLN_OK, VLN_open(&second, on_event<1>));
  ASSERT_NE(handle, second);
  const std::string profile = site->profile();
  ASSERT_EQ(VLN_OK, VLN_connect(handle, profile.c_str(), nullptr));
  ASSERT_TRUE(g_inbox[0].wait_for(VLN_EVENT_STATE, "Connected", 10000)) << kevad_log();

  // From either handle, and with any profile: nothing reaches the service.
  EXPECT_EQ(VLN_ERR_BUSY, VLN_connect(handle, profile.c_str(), nullptr));
  EXPECT_EQ(VLN_ERR_BUSY, VLN_connect(second, "<profile/>", nullptr));
  EXPECT_EQ(std::string::npos, kevad_log().find("a session is already running"));
  int32_t state = -7;
  ASSERT_EQ(VLN_OK, VLN_state(second, &state));
  EXPECT_EQ(VLN_STATE_CONNECTED, state);
  EXPECT_TRUE(ping());

  // The second handle stops the session the first one started.
  EXPECT_EQ(VLN_OK, VLN_disconnect(second));
  wait_ended();
  ASSERT_TRUE(g_inbox[1].wait_for(VLN_EVENT_STATE, "Terminate", 2000));
  EXPECT_EQ(g_inbox[0].states(), g_inbox[1].states());
  EXPECT_EQ(VLN_OK, VLN_close(second));
}
