// keva-server bridging its own TAP device into the switch: the device is moved
// into a namespace of the test's own, where the kernel answers an ARP request
// that a tunnel client sends. Needs root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "support.h"

using namespace kst;

namespace {

bool sh(const std::string& cmd) { return system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

class KevaServerTap : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    std::string id = std::to_string(getpid() % 100000);
    tap_ = "kstap" + id;
    ns_ = "kst-ns-" + id;
  }
  void TearDown() override {
    if (tap_.empty()) return;
    srv_.stop();  // closing the device's descriptor removes it
    sh("ip netns del " + ns_);
    sh("ip link del " + tap_);
  }
  // The server with its device moved into the test's namespace as 10.213.7.1/24.
  void bring_up() {
    ASSERT_TRUE(srv_.start({"--tap", tap_}));
    ASSERT_TRUE(srv_.wait_for(tap_ + ": bridged into the switch"));
    ASSERT_TRUE(sh("ip netns add " + ns_));
    ASSERT_TRUE(sh("ip link set " + tap_ + " netns " + ns_));
    ASSERT_TRUE(sh("ip -n " + ns_ + " addr add 10.213.7.1/24 dev " + tap_));
    ASSERT_TRUE(sh("ip -n " + ns_ + " link set " + tap_ + " up"));
  }
  std::string tap_, ns_;
  ServerProcess srv_;
};

// How often the server's own TAP thread has gone to sleep (and so been woken):
// its voluntary context switches, -1 when the thread is not found.
long tap_thread_sleeps(const std::string& tap) {
  namespace fs = std::filesystem;
  const std::string arg = std::string("--tap") + '\0' + tap + '\0';
  for (auto& proc : fs::directory_iterator("/proc")) {
    std::ifstream cmd(proc.path() / "cmdline");
    std::string line((std::istreambuf_iterator<char>(cmd)), std::istreambuf_iterator<char>());
    if (line.find(arg) == std::string::npos) continue;
    std::error_code ec;
    for (auto& task : fs::directory_iterator(proc.path() / "task", ec)) {
      std::ifstream comm(task.path() / "comm");
      std::string name;
      if (!std::getline(comm, name) || name != "ks-tap") continue;
      std::ifstream status(task.path() / "status");
      std::string key;
      long value;
      while (status >> key)
        if (key == "voluntary_ctxt_switches:" && status >> value) return value;
    }
  }
  return -1;
}

// Reads records until `want` ICMP echo requests to `mac` have come (or none
// comes for a while); returns how many came.
int echo_requests(TestClient& c, const uint8_t mac[6], int want) {
  int seen = 0;
  while (seen < want) {
    Message m;
    if (!c.read(m, 5000)) break;
    if (m.code < 1 || m.code > 127) continue;
    size_t pos = 0;
    for (int k = 0; k < m.code && pos + 2 <= m.payload.size(); ++k) {
      size_t len = static_cast<uint8_t>(m.payload[pos]) << 8 | static_cast<uint8_t>(m.payload[pos + 1]);
      std::string f = m.payload.substr(pos + 2, len);
      pos += 2 + len;
      if (f.size() >= 35 && memcmp(f.data(), mac, 6) == 0 && f[12] == '\x08' && f[13] == '\x00' && f[23] == 1 &&
          f[34] == 8)
        ++seen;
    }
  }
  return seen;
}

}  // namespace

TEST_F(KevaServerTap, ArpThroughTheBridgedDevice) {
  ASSERT_TRUE(srv_.start({"--tap", tap_}));
  ASSERT_TRUE(srv_.wait_for(tap_ + ": bridged into the switch"));
  ASSERT_TRUE(sh("ip netns add " + ns_));
  ASSERT_TRUE(sh("ip link set " + tap_ + " netns " + ns_));
  ASSERT_TRUE(sh("ip -n " + ns_ + " addr add 10.213.7.1/24 dev " + tap_));
  ASSERT_TRUE(sh("ip -n " + ns_ + " link set " + tap_ + " up"));

  TestClient c;
  ASSERT_EQ(c.login_password(srv_.port, "u", "p"), 0);
  ASSERT_TRUE(c.to_tunnel());

  const uint8_t me[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0a};
  const uint8_t bcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  std::string arp = frame(bcast, me, 60, 0);
  const uint8_t body[] = {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00,
                          0x0a, 10,   213,  7,    2,    0,    0, 0, 0,    0,    0,    10,   213,  7,    1};
  memcpy(arp.data() + 12, body, sizeof body);
  ASSERT_TRUE(c.send(batch({arp})));

  // The kernel may send other frames of its own (router solicitations and
  // the like); look for the ARP reply among them.
  bool answered = false;
  for (int i = 0; i < 20 && !answered; ++i) {
    Message m;
    if (!c.read(m, 3000)) break;
    if (m.code < 1 || m.code > 127) continue;
    size_t pos = 0;
    for (int k = 0; k < m.code && pos + 2 <= m.payload.size(); ++k) {
      size_t len = static_cast<uint8_t>(m.payload[pos]) << 8 | static_cast<uint8_t>(m.payload[pos + 1]);
      std::string f = m.payload.substr(pos + 2, len);
      pos += 2 + len;
      if (f.size() >= 42 && memcmp(f.data(), me, 6) == 0 && f[12] == '\x08' && f[13] == '\x06' && f[21] == 2 &&
          memcmp(f.data() + 28, "\x0a\xd5\x07\x01", 4) == 0)
        answered = true;
    }
  }
  EXPECT_TRUE(answered);
  EXPECT_EQ(srv_.stop(), 0);
}

// While one client is in its tunnel, its own thread reads the device, so the
// server's TAP thread sleeps through the traffic; a second client hands the
// device back to the TAP thread and its leaving hands it to the first again.
TEST_F(KevaServerTap, TheSoleClientReadsTheDeviceItself) {
  bring_up();
  const uint8_t mac_a[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0a};
  const uint8_t bcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  // The namespace knows the client's address, so that pings need no ARP.
  ASSERT_TRUE(sh("ip -n " + ns_ + " neigh replace 10.213.7.2 lladdr 02:00:00:00:00:0a dev " + tap_));
  // Nobody answers: ping's exit status says nothing here.
  auto ping = [&](int n) {
    sh("ip netns exec " + ns_ + " ping -q -c " + std::to_string(n) + " -i 0.01 -W 1 10.213.7.2");
  };

  TestClient a;
  ASSERT_EQ(a.login_password(srv_.port, "a", "p"), 0);
  ASSERT_TRUE(a.to_tunnel());
  ASSERT_TRUE(srv_.wait_for(" a: tunnel up"));
  ASSERT_TRUE(a.send(batch({frame(bcast, mac_a, 60, 0)})));  // the switch learns A
  long before = tap_thread_sleeps(tap_);
  ASSERT_GE(before, 0);
  ping(20);
  EXPECT_EQ(echo_requests(a, mac_a, 20), 20);
  // One sleep may still be due from the wake-up that told the thread to stop reading.
  EXPECT_LE(tap_thread_sleeps(tap_) - before, 1);

  {
    TestClient b;
    ASSERT_EQ(b.login_password(srv_.port, "b", "p"), 0);
    ASSERT_TRUE(b.to_tunnel());
    ASSERT_TRUE(srv_.wait_for(" b: tunnel up"));
    ping(5);
    EXPECT_EQ(echo_requests(a, mac_a, 5), 5);
  }
  ASSERT_TRUE(srv_.wait_for(" b: closed"));
  before = tap_thread_sleeps(tap_);
  ping(5);
  EXPECT_EQ(echo_requests(a, mac_a, 5), 5);
  EXPECT_LE(tap_thread_sleeps(tap_) - before, 1);
  EXPECT_EQ(srv_.stop(), 0);
}
