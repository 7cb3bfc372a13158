// Links, addresses, routes and their reports through the rtnetlink helper,
// inside a network namespace the test makes (and removes, also after a
// failure).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "platform/linux/netlink.h"
#include "platform/network_info.h"
#include "platform/route_table.h"
#include "netns.h"
#include "process.h"
#include "wait.h"

namespace {

using namespace velarn;

class Netlink : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    ASSERT_EQ("", ns_.create("vlnnl"));
    ASSERT_EQ("", ip("link add d0 type veth peer name d1"));
    ASSERT_EQ("", ip("link set d0 address 02:00:00:00:07:01 alias 'Velarn test adapter'"));
    ASSERT_EQ("", ip("addr add 10.78.0.1/24 dev d0"));
    ASSERT_EQ("", ip("link set d1 up"));
    ASSERT_EQ("", ip("link set d0 up"));
    ASSERT_EQ("", ip("route add default via 10.78.0.254 dev d0"));
    // Every call of this thread acts inside the namespace from here on.
    ASSERT_TRUE(ns_.enter());
  }
  std::string ip(const std::string& args) { return ns_.ip(args); }

  std::vector<RouteRow> routes() {
    std::vector<RouteRow> rows;
    EXPECT_TRUE(get_ipv4_routes(rows)) << strerror(errno);
    return rows;
  }

  PrivateNetns ns_;
};

TEST_F(Netlink, AdaptersAndRoutesOfTheNamespace) {
  std::vector<AdapterInfo> adapters;
  ASSERT_TRUE(get_adapters(adapters)) << strerror(errno);
  unsigned d0 = if_nametoindex("d0"), d1 = if_nametoindex("d1");
  ASSERT_NE(0u, d0);
  auto find = [&](unsigned index) {
    auto it = std::find_if(adapters.begin(), adapters.end(), [&](const AdapterInfo& a) { return a.index == index; });
    return it == adapters.end() ? AdapterInfo{} : *it;
  };
  AdapterInfo a = find(d0);
  EXPECT_EQ("Velarn test adapter", a.description);
  const uint8_t mac[6] = {2, 0, 0, 0, 7, 1};
  EXPECT_EQ(0, memcmp(mac, a.mac, 6));
  EXPECT_EQ("10.78.0.1", a.ip_address);
  EXPECT_EQ("255.255.255.0", a.ip_mask);
  EXPECT_EQ("10.78.0.254", a.gateway);
  EXPECT_EQ("d1", find(d1).description);  // no alias: the name
  EXPECT_EQ("0.0.0.0", find(d1).ip_address);

  // A host route added through the table is listed, then gone once deleted.
  RouteTable& table = route_table_system();
  IpForwardRow row;
  ASSERT_EQ(0u, table.best_route(inet_addr("198.51.100.9"), 0, &row));
  row.dest = inet_addr("198.51.100.9");
  row.mask = 0xffffffffu;
  ASSERT_EQ(0u, table.create_entry(row));
  auto listed = [&](uint32_t dest, uint32_t mask) {
    for (const RouteRow& r : routes())
      if (r.destination == dest && r.mask == mask) return r;
    return RouteRow{};
  };
  RouteRow host = listed(inet_addr("198.51.100.9"), 0xffffffffu);
  EXPECT_EQ(d0, host.if_index);
  EXPECT_EQ(inet_addr("10.78.0.254"), host.next_hop);
  EXPECT_FALSE(host.direct);
  EXPECT_TRUE(listed(inet_addr("10.78.0.0"), inet_addr("255.255.255.0")).direct);
  ASSERT_EQ(0u, table.delete_entry(row));
  EXPECT_EQ(0u, listed(inet_addr("198.51.100.9"), 0xffffffffu).if_index);
}

// Reports reach a subscriber; a report that another process sends to the
// subscriber's port instead of the kernel does not.
TEST_F(Netlink, AddressReportsComeOnlyFromTheKernel) {
  AddressMonitor monitor;
  ASSERT_TRUE(monitor.valid());
  netlink::Socket events;
  ASSERT_EQ(0, events.open(true));
  ASSERT_EQ(0, events.subscribe(RTNLGRP_IPV4_IFADDR));

  sockaddr_nl to{};
  socklen_t len = sizeof to;
  ASSERT_EQ(0, getsockname(events.fd(), reinterpret_cast<sockaddr*>(&to), &len));
  netlink::Message fake;
  auto* ifa = fake.start<ifaddrmsg>(RTM_NEWADDR);
  ifa->ifa_family = AF_INET;
  ifa->ifa_index = if_nametoindex("d0");
  uint32_t forged = inet_addr("192.0.2.66");
  fake.put(IFA_LOCAL, &forged, 4);
  int spoofer = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  ASSERT_GE(spoofer, 0);
  ASSERT_GT(sendto(spoofer, fake.header(), fake.header()->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&to), len), 0);
  close(spoofer);

  ASSERT_EQ("", ip("addr add 10.78.0.5/24 dev d0"));
  bool real = false, spoofed = false;
  auto take = [&](const nlmsghdr* h) {
    netlink::for_each_attr(h, sizeof(ifaddrmsg), [&](const nlattr* a) {
      uint32_t addr = 0;
      if (mnl_attr_get_type(a) != IFA_LOCAL || !netlink::attr_copy(a, &addr, 4)) return;
      real |= h->nlmsg_type == RTM_NEWADDR && addr == inet_addr("10.78.0.5");
      spoofed |= addr == forged;
    });
  };
  EXPECT_TRUE(wait_until([&] { return events.receive(take) == 0 && real; }, 20000));
  EXPECT_FALSE(spoofed);

  // The monitor saw the same change; its stop event ends the next wait. The
  // guard also stops a monitor that never saw anything, so nothing hangs.
  int stop = eventfd(0, EFD_CLOEXEC);
  std::atomic<bool> first_done{false};
  std::thread guard([&] {
    wait_until([&] { return first_done.load(); }, 30000);
    eventfd_write(stop, 1);
  });
  EXPECT_TRUE(monitor.wait(stop));
  first_done = true;
  EXPECT_FALSE(monitor.wait(stop));
  EXPECT_EQ(0, errno);
  guard.join();
  close(stop);
}

TEST(NetlinkMessage, RefusesWhatDoesNotFit) {
  netlink::Message m;
  m.start<rtmsg>(RTM_NEWROUTE);
  std::string big(netlink::Message::kCapacity, 'x');
  EXPECT_TRUE(m.put_u32(RTA_OIF, 1));
  EXPECT_FALSE(m.put(RTA_DST, big.data(), big.size()));
  EXPECT_FALSE(m.put_u32(RTA_TABLE, 254));  // a bad message stays bad
  netlink::Socket nl;
  ASSERT_EQ(0, nl.open());
  EXPECT_EQ(EMSGSIZE, nl.request(m));

  // A report too short for its fixed part has none, and no attributes.
  alignas(nlmsghdr) char buf[64] = {};
  auto* shorty = reinterpret_cast<nlmsghdr*>(buf);
  shorty->nlmsg_len = NLMSG_LENGTH(2);
  shorty->nlmsg_type = RTM_NEWROUTE;
  EXPECT_EQ(nullptr, netlink::fixed_part<rtmsg>(shorty));
  int seen = 0;
  netlink::for_each_attr(shorty, sizeof(rtmsg), [&](const nlattr*) { ++seen; });
  EXPECT_EQ(0, seen);
}

}  // namespace
