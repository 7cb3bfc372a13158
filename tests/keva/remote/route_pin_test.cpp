// Host routes pinned to a server, made in a network namespace that the test
// creates (and removes, also after a failure). Needs root.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "in_process.h"
#include "log.h"
#include "platform/route_table.h"
#include "netns.h"
#include "process.h"
#include "remote.h"

namespace {

class RoutePin : public ::testing::Test, public PoolFixtureBase {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    ASSERT_EQ("", ns_.create("vlnroute"));
    // A veth pair kept inside the namespace: its carrier is up once both
    // ends are.
    ASSERT_EQ("", ip("link add d0 type veth peer name d1"));
    ASSERT_EQ("", ip("addr add 10.77.0.1/24 dev d0"));
    ASSERT_EQ("", ip("link set d1 up"));
    ASSERT_EQ("", ip("link set d0 up"));
    ASSERT_EQ("", ip("route add default via 10.77.0.254 dev d0"));
    // This thread's routing calls act inside the namespace from here on.
    ASSERT_TRUE(ns_.enter());
  }
  std::string ip(const std::string& args) { return ns_.ip(args); }
  std::string route(const std::string& dest) { return ip("-4 route show " + dest + "/32"); }

  apr_sockaddr_t* addr(const char* host) {
    apr_sockaddr_t* a = nullptr;
    EXPECT_EQ(APR_SUCCESS, apr_sockaddr_info_get(&a, host, APR_UNSPEC, 5711, 0, pool));
    return a;
  }

  PrivateNetns ns_;
};

TEST_F(RoutePin, AddsAHostRouteThroughTheGatewayAndRemovesIt) {
  apr_pool_t* attempt;
  apr_pool_create(&attempt, pool);
  CapturedLog log;
  ASSERT_EQ(0, route_pin(addr("198.51.100.7"), attempt));
  EXPECT_NE(std::string::npos, route("198.51.100.7").find("via 10.77.0.254 dev d0")) << route("198.51.100.7");
  EXPECT_TRUE(log.has("route created: 198.51.100.7:5711"));
  bool gateway_line = false;
  for (const auto& e : log.entries()) gateway_line |= e.message.rfind("using gateway: 10.77.0.254 (#", 0) == 0;
  EXPECT_TRUE(gateway_line);

  // A route the pin did not make stays when the attempt's pool goes.
  ip("route add 198.51.100.8 via 10.77.0.254 dev d0");
  ASSERT_EQ(0, route_pin(addr("198.51.100.8"), attempt));
  apr_pool_clear(attempt);
  EXPECT_EQ("", route("198.51.100.7"));
  EXPECT_NE("", route("198.51.100.8"));
  EXPECT_TRUE(log.has("route deleted"));
  apr_pool_destroy(attempt);
}

TEST_F(RoutePin, OnLinkServerGetsADirectRoute) {
  apr_pool_t* attempt;
  apr_pool_create(&attempt, pool);
  ASSERT_EQ(0, route_pin(addr("10.77.0.9"), attempt));
  std::string r = route("10.77.0.9");
  EXPECT_NE(std::string::npos, r.find("dev d0")) << r;
  EXPECT_EQ(std::string::npos, r.find("via")) << r;
  apr_pool_destroy(attempt);
  EXPECT_EQ("", route("10.77.0.9"));
}

TEST_F(RoutePin, NothingToPin) {
  apr_pool_t* attempt;
  apr_pool_create(&attempt, pool);
  // Our own address needs no host route.
  EXPECT_EQ(0, route_pin(addr("10.77.0.1"), attempt));
  EXPECT_EQ("", route("10.77.0.1"));
  // No route at all is not an error either: the connect will say so.
  ip("route del default");
  velarn::IpForwardRow row;
  EXPECT_EQ(velarn::ROUTE_ERROR_CAN_NOT_COMPLETE,
            velarn::route_table_system().best_route(inet_addr("203.0.113.1"), 0, &row));
  EXPECT_EQ(0, route_pin(addr("203.0.113.1"), attempt));
  EXPECT_EQ("", ip("-4 route show"
                   " 203.0.113.1/32"));
  apr_pool_destroy(attempt);
}

TEST_F(RoutePin, ErrorCodesOfTheTable) {
  velarn::RouteTable& t = velarn::route_table_system();
  velarn::IpForwardRow row;
  ASSERT_EQ(0u, t.best_route(inet_addr("198.51.100.20"), 0, &row));
  EXPECT_EQ(static_cast<uint32_t>(velarn::ROUTE_TYPE_INDIRECT), row.type);
  EXPECT_EQ(inet_addr("10.77.0.254"), row.next_hop);
  row.dest = inet_addr("198.51.100.20");
  row.mask = 0xffffffffu;
  EXPECT_EQ(0u, t.create_entry(row));
  EXPECT_EQ(static_cast<unsigned long>(velarn::ROUTE_ERROR_OBJECT_ALREADY_EXISTS), t.create_entry(row));
  EXPECT_EQ(0u, t.delete_entry(row));
  EXPECT_EQ(static_cast<unsigned long>(velarn::ROUTE_ERROR_NOT_FOUND), t.delete_entry(row));
  row.if_index = 9999;  // no such interface
  EXPECT_NE(0u, t.create_entry(row));
  row.if_index = 1;
  row.next_hop = inet_addr("192.0.2.1");  // gateway not reachable on lo
  EXPECT_NE(0u, t.create_entry(row));
  EXPECT_STREQ("The object already exists.", velarn::route_error_text(5010));
  EXPECT_STREQ("The parameter is incorrect.", velarn::route_error_text(87));
}

// The same rules for an IPv6 server, on a /128.
TEST_F(RoutePin, IPv6HostRoutes) {
  ASSERT_EQ("", ip("addr add fd00:77::1/64 dev d0 nodad"));
  ASSERT_EQ("", ip("-6 route add default via fd00:77::fe dev d0"));
  auto route6 = [&](const std::string& dest) { return ip("-6 route show " + dest + "/128"); };
  apr_pool_t* attempt;
  apr_pool_create(&attempt, pool);
  CapturedLog log;

  ASSERT_EQ(0, route_pin(addr("2001:db8::7"), attempt));
  EXPECT_NE(std::string::npos, route6("2001:db8::7").find("via fd00:77::fe dev d0")) << route6("2001:db8::7");
  bool created = false, gateway = false;
  for (const auto& e : log.entries()) {
    created |= e.message.rfind("route created: ", 0) == 0 && e.message.find("2001:db8::7") != std::string::npos;
    gateway |= e.message.rfind("using gateway: fd00:77::fe (#", 0) == 0;
  }
  EXPECT_TRUE(created && gateway);

  ASSERT_EQ(0, route_pin(addr("fd00:77::9"), attempt));  // on the link: direct
  EXPECT_EQ(std::string::npos, route6("fd00:77::9").find("via")) << route6("fd00:77::9");
  EXPECT_NE(std::string::npos, route6("fd00:77::9").find("dev d0"));
  ASSERT_EQ(0, route_pin(addr("fd00:77::1"), attempt));  // our own: nothing
  EXPECT_EQ("", route6("fd00:77::1"));
  ip("-6 route add 2001:db8::8/128 via fd00:77::fe dev d0");
  ASSERT_EQ(0, route_pin(addr("2001:db8::8"), attempt));  // someone else's: kept

  apr_pool_clear(attempt);
  EXPECT_EQ("", route6("2001:db8::7"));
  EXPECT_EQ("", route6("fd00:77::9"));
  EXPECT_NE("", route6("2001:db8::8"));

  ip("-6 route del default");
  EXPECT_EQ(0, route_pin(addr("2001:db8:1::1"), attempt));  // unreachable: no route, no error
  EXPECT_EQ("", route6("2001:db8:1::1"));
  apr_pool_destroy(attempt);
}

}  // namespace
