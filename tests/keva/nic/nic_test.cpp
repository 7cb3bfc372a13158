#include <apr_general.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "adapter/frame_batch.h"
#include "in_process.h"
#include "nic.h"
#include "platform/registry.h"
#include "tunnel_site.h"
#include "wait.h"

namespace {

const char kClass[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";

class Nic : public PoolFixtureBase, public ::testing::Test {
 protected:
  // In the pool, as the session keeps it: the pool's clean-up uses it.
  Device& make_device() {
    auto* d = static_cast<Device*>(apr_pcalloc(pool, sizeof(Device)));
    d->pool = pool;
    d->ops = &nic_ops;
    d->name = "NIC";
    d->state = nic_create(d);
    return *d;
  }
  double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
  }
};

}  // namespace

TEST_F(Nic, AdapterFindTakesTheFirstExactComponentId) {
  TempRoot root;
  velarn::Registry reg;
  char id[64];
  EXPECT_EQ(-1, adapter_find("vlncard", id, sizeof id));  // no class key at all
  ASSERT_TRUE(reg.set_sz(std::string(kClass) + "\\0000", "ComponentId", "VLNCARD"));
  ASSERT_TRUE(reg.set_sz(std::string(kClass) + "\\0000", "NetCfgInstanceId", "{AAAAAAAA-0000-0000-0000-000000000000}"));
  EXPECT_EQ(0, adapter_find("vlncard", id, sizeof id));                          // letter case matters
  ASSERT_TRUE(reg.set_dword(std::string(kClass) + "\\0001", "ComponentId", 1));  // not a string
  ASSERT_TRUE(reg.set_sz(std::string(kClass) + "\\0002", "ComponentId", "vlncard"));
  ASSERT_TRUE(reg.set_sz(std::string(kClass) + "\\0002", "NetCfgInstanceId", "{BBBBBBBB-0000-0000-0000-000000000000}"));
  ASSERT_TRUE(reg.set_sz(std::string(kClass) + "\\0003", "ComponentId", "vlncard"));
  ASSERT_TRUE(reg.set_sz(std::string(kClass) + "\\0003", "NetCfgInstanceId", "{CCCCCCCC-0000-0000-0000-000000000000}"));
  EXPECT_EQ(1, adapter_find("vlncard", id, sizeof id));
  EXPECT_STREQ("{BBBBBBBB-0000-0000-0000-000000000000}", id);
  char small[5];
  EXPECT_EQ(1, adapter_find("vlncard", small, sizeof small));
  EXPECT_STREQ("{BBB", small);
}

TEST_F(Nic, ReadSurvivesTimeoutsAbortWakesAtOnceAndWritesReachTheSystem) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TunnelSite site;
  ASSERT_TRUE(site.ok());
  ASSERT_TRUE(site.start_adapter());
  Device& dev = make_device();
  ASSERT_EQ(0, nic_open(&dev));
  // A second open of the exclusive device fails and logs nothing worse.
  Device& other = make_device();
  EXPECT_EQ(-1, nic_open(&other));

  std::vector<unsigned char> buf(65536);
  size_t len = buf.size();
  nic_reset(&dev);
  EXPECT_EQ(0, nic_read(&dev, buf.data(), &len, 1));  // nothing to read: time-out

  // The read still pending collects the frames that come now.
  site.in_ns(site.cli_ns(), "ping -c 1 -W 1 192.168.203.77 >/dev/null 2>&1 &");
  len = buf.size();
  ASSERT_EQ(1, nic_read(&dev, buf.data(), &len, 5));
  ASSERT_GE(len, 4u + 2 + 42);
  EXPECT_GE(buf[0], 1);
  EXPECT_EQ(len - 4, velarn::load_be16(&buf[1]));  // payload length filled in
  EXPECT_EQ(0x08, buf[4 + 2 + 12]);                // an ARP request
  EXPECT_EQ(0x06, buf[4 + 2 + 13]);

  // Abort wakes a waiting read at once, and every read until the reset.
  // The kernel marks the neighbour failed once its ARP retries are over: no
  // frame comes after that to end a read below.
  std::string neigh = "ip -n " + site.cli_ns() + " neigh show 192.168.203.77 dev " + site.adapter();
  ASSERT_TRUE(wait_until([&] { return site.capture(neigh).find("FAILED") != std::string::npos; }, 30000, 100))
      << site.capture(neigh);
  len = buf.size();
  while (nic_read(&dev, buf.data(), &len, 1) == 1) len = buf.size();
  std::thread aborter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    nic_abort(&dev);
  });
  auto t0 = std::chrono::steady_clock::now();
  len = buf.size();
  EXPECT_EQ(0, nic_read(&dev, buf.data(), &len, 10));
  aborter.join();
  EXPECT_LT(seconds_since(t0), 2.0);
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, nic_read(&dev, buf.data(), &len, 10));
  EXPECT_LT(seconds_since(t0), 0.5);
  nic_reset(&dev);
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, nic_read(&dev, buf.data(), &len, 1));
  EXPECT_GT(seconds_since(t0), 0.8);

  // A written batch is received by the system.
  std::string rx = "/sys/class/net/" + site.adapter() + "/statistics/rx_packets";
  auto rx_count = [&] { return std::stol(site.capture("ip netns exec " + site.cli_ns() + " cat " + rx)); };
  long before = rx_count();
  unsigned char batch[4 + 2 + 60] = {1, 0, 0, 0, 0, 60};
  std::memset(batch + 6, 0xff, 6);  // broadcast
  const unsigned char src[6] = {0x02, 0, 0, 0, 0, 0x42};
  std::memcpy(batch + 12, src, 6);
  batch[18] = 0x88, batch[19] = 0xb5;  // experimental type
  size_t wlen = sizeof batch;
  EXPECT_EQ(1, nic_write(&dev, batch, &wlen));
  EXPECT_EQ(sizeof batch, wlen);
  for (int i = 0; i < 50 && rx_count() == before; ++i) usleep(20000);
  EXPECT_EQ(before + 1, rx_count());

  nic_close(&dev);
  EXPECT_NE(std::string::npos,
            site.capture("ip -n " + site.cli_ns() + " link show " + site.adapter()).find("NO-CARRIER"));
  EXPECT_EQ(-1, nic_write(&dev, batch, &wlen));
}

TEST_F(Nic, AListOfMoreThan32AddressesFailsTheOpenAndClosesTheHandle) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  TunnelSite site;
  ASSERT_TRUE(site.ok());
  ASSERT_TRUE(site.start_adapter());
  Device& dev = make_device();
  dev.allow = ptrlist_create(pool);
  static unsigned char macs[33][6];
  for (int i = 0; i < 33; ++i) {
    macs[i][0] = 2;
    macs[i][5] = static_cast<unsigned char>(i);
    ptrlist_append(dev.allow, macs[i]);
  }
  EXPECT_EQ(-1, nic_open(&dev));
  dev.allow->count = 32;  // 32 entries are fine, and the device is free again
  EXPECT_EQ(0, nic_open(&dev));
  nic_close(&dev);
}
