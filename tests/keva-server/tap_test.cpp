// keva-server bridging its own TAP device into the switch: the device is moved
// into a namespace of the test's own, where the kernel answers an ARP request
// that a tunnel client sends. Needs root.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "support.hpp"

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
    std::string tap_, ns_;
    ServerProcess srv_;
};

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
    const uint8_t body[] = {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01,
                            0x02, 0x00, 0x00, 0x00, 0x00, 0x0a, 10, 213, 7, 2,
                            0, 0, 0, 0, 0, 0, 10, 213, 7, 1};
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
            if (f.size() >= 42 && memcmp(f.data(), me, 6) == 0 && f[12] == '\x08' && f[13] == '\x06' &&
                f[21] == 2 && memcmp(f.data() + 28, "\x0a\xd5\x07\x01", 4) == 0)
                answered = true;
        }
    }
    EXPECT_TRUE(answered);
    EXPECT_EQ(srv_.stop(), 0);
}
