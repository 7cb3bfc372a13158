// The library against the service's own control channel, run in this
// process with a scripted session controller behind it: what each answer
// and each event line becomes for the caller.
#include <apr_pools.h>
#include <apr_strings.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "channel.h"
#include "profile.h"
#include "vln.h"
#include "vln_support.h"
#include "wait.h"

namespace {

// The session controller as the channel sees it.
struct ScriptedSessions {
  std::mutex mutex;
  bool current = false;
  std::string state = "Connected";
  std::string profile;
  int start_code = 201;
  int starts = 0;
  int stops = 0;
  std::string received;
  std::string statistics;
};
ScriptedSessions g_sessions;

int scripted_start(const char* text, size_t len, unsigned) {
  std::lock_guard<std::mutex> lock(g_sessions.mutex);
  ++g_sessions.starts;
  g_sessions.received.assign(text, len);
  return g_sessions.start_code;
}
int scripted_stop() {
  std::lock_guard<std::mutex> lock(g_sessions.mutex);
  if (!g_sessions.current) return -1;
  ++g_sessions.stops;
  return 0;
}
const char* scripted_state(apr_pool_t* pool) {
  std::lock_guard<std::mutex> lock(g_sessions.mutex);
  return g_sessions.current ? apr_pstrdup(pool, g_sessions.state.c_str()) : nullptr;
}
const char* scripted_profile(apr_pool_t* pool) {
  std::lock_guard<std::mutex> lock(g_sessions.mutex);
  return g_sessions.current ? apr_pstrdup(pool, g_sessions.profile.c_str()) : nullptr;
}

const char* scripted_statistics(apr_pool_t* pool) {
  std::lock_guard<std::mutex> lock(g_sessions.mutex);
  return g_sessions.current ? apr_pstrdup(pool, g_sessions.statistics.c_str()) : nullptr;
}

void set_start_code(int code) {
  std::lock_guard<std::mutex> lock(g_sessions.mutex);
  g_sessions.start_code = code;
}
std::string received() {
  std::lock_guard<std::mutex> lock(g_sessions.mutex);
  return g_sessions.received;
}
int count(int ScriptedSessions::*field) {
  std::lock_guard<std::mutex> lock(g_sessions.mutex);
  return g_sessions.*field;
}

void set_session(bool current, const std::string& state = "Connected", const std::string& profile = "") {
  std::lock_guard<std::mutex> lock(g_sessions.mutex);
  g_sessions.current = current;
  g_sessions.state = state;
  g_sessions.profile = profile;
}

class Channel : public ::testing::Test {
 protected:
  void SetUp() override {
    apr_once();
    {
      std::lock_guard<std::mutex> lock(g_sessions.mutex);
      g_sessions.current = false;
      g_sessions.start_code = 201;
      g_sessions.starts = g_sessions.stops = 0;
      g_sessions.received.clear();
    }
    events::clear();
    static const ChannelSessionOps ops = {scripted_start, scripted_stop, scripted_state, scripted_profile,
                                          scripted_statistics};
    channel_set_session_ops(&ops);
    ASSERT_EQ(APR_SUCCESS, apr_pool_create(&pool_, nullptr));
    ASSERT_EQ(0, channel_start(pool_));
    ASSERT_TRUE(wait_for_channel());
  }
  void TearDown() override {
    for (int h : handles_) VLN_close(h);
    apr_pool_destroy(pool_);  // stops the channel thread
    channel_set_session_ops(nullptr);
  }
  int open(VLN_Callback cb = events::record) {
    int h = 0;
    EXPECT_EQ(VLN_OK, VLN_open(&h, cb));
    EXPECT_NE(0, h);
    handles_.push_back(h);
    return h;
  }
  static void send(const std::string& line) { channel_broadcast(line.data(), line.size()); }

  TempRoot root_;
  apr_pool_t* pool_ = nullptr;
  std::vector<int> handles_;
};

TEST_F(Channel, EventLinesBecomeRecordsInOrder) {
  open();
  send("event=State-Change&state=Connecting&message=Connecting");
  send("event=Info-Message&state=Connecting&message=reconnect after 3 seconds...");
  // Not event lines: dropped without a record.
  send("garbage");
  send("event=State-Change&state=Closed");
  send("state=Closed&event=State-Change&message=Closed");
  // The message is not escaped: everything after the first "&message=".
  send("event=Error-Message&state=Closed&message=a&b=c&message=d");
  send("event=Something-New&state=Dozing&message=x");
  send("event=State-Change&state=Terminate&message=Terminate");
  // Events arrive in order: once this last one is in, nothing else can follow.
  send("event=Info-Message&state=Terminate&message=end");
  ASSERT_TRUE(events::wait_for(6));
  std::vector<SeenEvent> want = {
      {VLN_EVENT_STATE, VLN_STATE_CONNECTING, u"Connecting"},
      {VLN_EVENT_PROGRESS, VLN_STATE_CONNECTING, u"reconnect after 3 seconds..."},
      {VLN_EVENT_ALERT, VLN_STATE_CLOSED, u"a&b=c&message=d"},
      {VLN_EVENT_LOG, VLN_STATE_UNKNOWN, u"x"},
      {VLN_EVENT_STATE, VLN_STATE_IDLE, u"Terminate"},
      {VLN_EVENT_PROGRESS, VLN_STATE_IDLE, u"end"},
  };
  EXPECT_EQ(want, events::seen());
}

TEST_F(Channel, MessagesArriveAsUtf16WithBadBytesReplaced) {
  open();
  send("event=Info-Message&state=Connected&message=Grüße 日本 \xF0\x9F\x98\x80!");
  // A stray byte, a lead byte cut short, an overlong slash, a surrogate, and
  // a sequence cut off by the end of the line.
  send("event=Info-Message&state=Connected&message=\xFF|\xC3(|\xC0\xAF|\xED\xA0\x80|\xE6\x97");
  send("event=Info-Message&state=Connected&message=");
  ASSERT_TRUE(events::wait_for(3));
  auto seen = events::seen();
  EXPECT_EQ(u"Grüße 日本 \U0001F600!", seen[0].text);
  EXPECT_EQ(u"\uFFFD|\uFFFD(|\uFFFD\uFFFD|\uFFFD\uFFFD\uFFFD|\uFFFD\uFFFD", seen[1].text);
  EXPECT_EQ(u"", seen[2].text);
}

TEST_F(Channel, EveryHandleListensUntilItIsClosed) {
  int a = open();
  int b = open();
  EXPECT_NE(a, b);
  send("event=State-Change&state=Connecting&message=Connecting");
  ASSERT_TRUE(events::wait_for(2));
  EXPECT_EQ(VLN_OK, VLN_close(a));
  EXPECT_EQ(VLN_ERR_ARGUMENT, VLN_close(a));
  int32_t state = -7;
  EXPECT_EQ(VLN_ERR_ARGUMENT, VLN_state(a, &state));
  send("event=State-Change&state=Connected&message=Connected");
  send("event=Info-Message&state=Connected&message=end");  // in order: the last one in
  ASSERT_TRUE(events::wait_for(4));
  auto seen = events::seen();
  ASSERT_EQ(4u, seen.size());
  EXPECT_EQ(VLN_STATE_CONNECTED, seen[2].value);
  EXPECT_EQ(u"end", seen[3].text);
  EXPECT_EQ(VLN_OK, VLN_state(b, &state));
}

std::atomic<int> g_self_handle{0};
void close_on_first(const VLN_Event* e) {
  events::record(e);
  VLN_close(g_self_handle.load());
}

TEST_F(Channel, CallbackMayCloseItsOwnHandle) {
  int h = 0;
  ASSERT_EQ(VLN_OK, VLN_open(&h, close_on_first));
  g_self_handle = h;
  send("event=State-Change&state=Connecting&message=Connecting");
  ASSERT_TRUE(events::wait_for(1));
  // The callback closes the handle after it has recorded the event.
  int32_t state = 0;
  ASSERT_TRUE(wait_until([&] { return VLN_state(h, &state) == VLN_ERR_ARGUMENT; }));
  send("event=State-Change&state=Connected&message=Connected");
  EXPECT_EQ(VLN_ERR_ARGUMENT, VLN_close(h));
  // The service lets go of the listener, which keeps serving others. The
  // event after it on a new handle is the only one more: the closed handle
  // was sent the one before and never reported it.
  open();
  send("event=State-Change&state=Closed&message=Closed");
  ASSERT_TRUE(events::wait_for(2));
  auto seen = events::seen();
  ASSERT_EQ(2u, seen.size());
  EXPECT_EQ(u"Closed", seen[1].text);
}

TEST_F(Channel, StateFollowsTheSessionsName) {
  int h = open();
  int32_t state = -7;
  ASSERT_EQ(VLN_OK, VLN_state(h, &state));
  EXPECT_EQ(VLN_STATE_IDLE, state);  // no session
  const std::pair<const char*, int> names[] = {
      {"Terminate", 0}, {"Connecting", 1}, {"Connected", 2}, {"Closing", 3}, {"Closed", 4}};
  for (auto [name, value] : names) {
    set_session(true, name);
    ASSERT_EQ(VLN_OK, VLN_state(h, &state)) << name;
    EXPECT_EQ(value, state) << name;
  }
  set_session(true, "Dozing");
  state = -7;
  EXPECT_EQ(VLN_ERR_ANSWER, VLN_state(h, &state));
  EXPECT_EQ(-7, state);
  EXPECT_EQ(VLN_ERR_ARGUMENT, VLN_state(h, nullptr));
  EXPECT_EQ(VLN_ERR_ARGUMENT, VLN_state(h + 1000, &state));
}

TEST_F(Channel, ConnectMapsTheServiceAnswers) {
  int h = open();
  const char* profile = "<profile version=\"1.0\"><host>vpn.example</host></profile>";
  EXPECT_EQ(VLN_OK, VLN_connect(h, profile, nullptr));
  EXPECT_EQ(profile, received());
  set_start_code(400);
  EXPECT_EQ(VLN_ERR_REFUSED, VLN_connect(h, profile, nullptr));
  set_start_code(500);
  EXPECT_EQ(VLN_ERR_START, VLN_connect(h, profile, nullptr));
  set_start_code(205);
  EXPECT_EQ(VLN_ERR_ANSWER, VLN_connect(h, profile, nullptr));
  set_start_code(201);
  EXPECT_EQ(VLN_OK, VLN_connect(h, "", ""));
  EXPECT_EQ("", received());
  EXPECT_EQ(5, count(&ScriptedSessions::starts));

  // A running session is left alone: nothing is posted.
  set_session(true, "Closed");
  EXPECT_EQ(VLN_ERR_BUSY, VLN_connect(h, profile, nullptr));
  EXPECT_EQ(5, count(&ScriptedSessions::starts));
  // One that has terminated is no obstacle.
  set_session(true, "Terminate");
  EXPECT_EQ(VLN_OK, VLN_connect(h, profile, nullptr));

  EXPECT_EQ(VLN_ERR_ARGUMENT, VLN_connect(h, nullptr, nullptr));
  EXPECT_EQ(VLN_ERR_ARGUMENT, VLN_connect(0, profile, nullptr));
}

TEST_F(Channel, LongProfilesArriveWhole) {
  int h = open();
  // Larger than one socket message may be, and with every byte value but 0.
  std::string big = "<profile version=\"1.0\"><trust>";
  for (size_t i = 0; big.size() < 700000; ++i) big.push_back(static_cast<char>(1 + i % 255));
  big += "</trust></profile>";
  EXPECT_EQ(VLN_OK, VLN_connect(h, big.c_str(), nullptr));
  EXPECT_EQ(big.size(), received().size());
  EXPECT_TRUE(big == received());
}

TEST_F(Channel, DisconnectStopsOnlyARunningSession) {
  int h = open();
  EXPECT_EQ(VLN_ERR_NO_SESSION, VLN_disconnect(h));
  set_session(true, "Connected");
  EXPECT_EQ(VLN_OK, VLN_disconnect(h));
  EXPECT_EQ(1, count(&ScriptedSessions::stops));
  EXPECT_EQ(VLN_ERR_ARGUMENT, VLN_disconnect(h + 1000));
}

TEST_F(Channel, ProfileIsCopiedWithinTheBufferAndWholeCharacters) {
  if (geteuid() != 0) GTEST_SKIP() << "only root receives the profile as it was sent";
  int h = open();
  char buf[1024];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(VLN_ERR_NO_SESSION, VLN_getProfile(h, buf, 1023));
  EXPECT_STREQ("", buf);

  std::string text = "<profile><host>h</host><switch>s</switch></profile>";
  set_session(true, "Connected", text);
  EXPECT_EQ(VLN_OK, VLN_getProfile(h, buf, 1023));
  EXPECT_EQ(text, buf);

  // Exactly filling the buffer is no truncation; one more byte is.
  std::string fits(1022, 'a');
  set_session(true, "Connected", fits);
  EXPECT_EQ(VLN_OK, VLN_getProfile(h, buf, 1023));
  EXPECT_EQ(fits, buf);

  // "é" is two bytes and would straddle the cut: it goes entirely.
  std::string straddles = std::string(1021, 'a') + "é";
  set_session(true, "Connected", straddles);
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(VLN_ERR_SPACE, VLN_getProfile(h, buf, 1023));
  EXPECT_EQ(std::string(1021, 'a'), buf);
  EXPECT_EQ('x', buf[1023]);  // nothing written past the given size

  EXPECT_EQ(VLN_ERR_SPACE, VLN_getProfile(h, buf, 1));
  EXPECT_STREQ("", buf);
  EXPECT_EQ(VLN_ERR_ARGUMENT, VLN_getProfile(h, buf, 0));
  EXPECT_EQ(VLN_ERR_ARGUMENT, VLN_getProfile(h, nullptr, 10));
}

// --- the enc_ form, checked with the service's own decryption ------------------------

const char kKey[] = "3c9d0e7a51b2f4860d1e2a3b4c5d6e7f80919a2b";

std::string decrypt(const char* encoded) {
  apr_once();
  apr_pool_t* p;
  apr_pool_create(&p, nullptr);
  char* plain = profile_decrypt(p, encoded);
  std::string out = plain ? plain : "<null>";
  apr_pool_destroy(p);
  return out;
}

TEST_F(Channel, StatisticsAreReadOnlyWellFormedAnswers) {
  int h = open();
  VLN_Statistics st{1, 2, 3};
  EXPECT_EQ(VLN_ERR_NO_SESSION, VLN_statistics(h, &st));
  EXPECT_EQ(0, st.seconds);
  struct Case {
    const char* answer;
    int rc;
    VLN_Statistics want;
  } cases[] = {
      {"seconds=75&sent=1500&received=18446744073709551615", VLN_OK, {75, 1500, 18446744073709551615ull}},
      {"seconds=0&sent=0&received=0", VLN_OK, {0, 0, 0}},
      {"seconds=5&sent=10", VLN_ERR_ANSWER, {0, 0, 0}},
      {"seconds=-1&sent=1&received=1", VLN_ERR_ANSWER, {0, 0, 0}},
      {"seconds=1&sent=1&received=1&more", VLN_ERR_ANSWER, {0, 0, 0}},
  };
  for (const Case& c : cases) {
    {
      std::lock_guard<std::mutex> lock(g_sessions.mutex);
      g_sessions.current = true;
      g_sessions.statistics = c.answer;
    }
    st = VLN_Statistics{9, 9, 9};
    EXPECT_EQ(c.rc, VLN_statistics(h, &st)) << c.answer;
    EXPECT_EQ(c.want.seconds, st.seconds) << c.answer;
    EXPECT_EQ(c.want.sent, st.sent) << c.answer;
    EXPECT_EQ(c.want.received, st.received) << c.answer;
  }
  EXPECT_EQ(VLN_ERR_ARGUMENT, VLN_statistics(h, nullptr));
  EXPECT_EQ(0, count(&ScriptedSessions::starts));
}

TEST(Encrypt, TheServiceDecryptsWhatTheGuiEncrypts) {
  const std::string secrets[] = {"s3cret", "", "pässwörd 日本", "a", "ab", "abc", std::string(765, 'z')};
  for (const std::string& s : secrets) {
    // As the GUI calls it: the length counts the zero, the output is the
    // length plus 296.
    std::vector<char> out(s.size() + 296, 'x');
    ASSERT_EQ(VLN_OK, VLN_encrypt(kKey, 40, s.c_str(), s.size() + 1, out.data(), out.size())) << s.size();
    EXPECT_EQ(s, decrypt(out.data())) << s.size();
    if (!s.empty()) {
      EXPECT_EQ(std::string::npos, std::string(out.data()).find(s));
    }
  }
  // Long secrets need the room their Base64 takes, and then come back whole.
  for (size_t n : {768, 2000, 4000}) {
    std::string s(n, 'k');
    for (size_t i = 0; i < n; ++i) s[i] = char('!' + i % 90);
    std::vector<char> out(4 * ((n + 2) / 3) + 1);
    ASSERT_EQ(VLN_OK, VLN_encrypt(kKey, 40, s.c_str(), n + 1, out.data(), out.size())) << n;
    EXPECT_EQ(s, decrypt(out.data())) << n;
  }
  // The secret ends at the first zero, with or without it counted.
  char out[64];
  ASSERT_EQ(VLN_OK, VLN_encrypt(kKey, 40, "pin\0tail", 8, out, sizeof out));
  EXPECT_EQ("pin", decrypt(out));
  ASSERT_EQ(VLN_OK, VLN_encrypt(kKey, 40, "1234", 4, out, sizeof out));
  EXPECT_EQ("1234", decrypt(out));
}

TEST(Encrypt, FailuresLeaveAnEmptyText) {
  char out[64];
  std::string other(kKey);
  other[0] = '4';
  const struct {
    const char* key;
    size_t len;
  } bad_keys[] = {{other.c_str(), 40}, {kKey, 39}, {"", 0}, {nullptr, 40}};
  for (auto k : bad_keys) {
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(VLN_ERR_ARGUMENT, VLN_encrypt(k.key, k.len, "s3cret", 7, out, sizeof out));
    EXPECT_STREQ("", out);
  }
  // A key counted with its zero is the same key.
  EXPECT_EQ(VLN_OK, VLN_encrypt(kKey, 41, "s3cret", 7, out, sizeof out));

  // "s3cret" encodes to 8 characters: 9 bytes fit, 8 do not.
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(VLN_ERR_SPACE, VLN_encrypt(kKey, 40, "s3cret", 7, out, 8));
  EXPECT_STREQ("", out);
  EXPECT_EQ('x', out[8]);
  EXPECT_EQ(VLN_OK, VLN_encrypt(kKey, 40, "s3cret", 7, out, 9));
  EXPECT_EQ(8u, std::strlen(out));

  EXPECT_EQ(VLN_ERR_ARGUMENT, VLN_encrypt(kKey, 40, nullptr, 0, out, sizeof out));
  EXPECT_EQ(VLN_ERR_ARGUMENT, VLN_encrypt(kKey, 40, "x", 2, nullptr, 10));
}

}  // namespace
