// Whole sessions on the ways out of a company network: through a squid that
// asks for Digest, and to a server reached over IPv6 only.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "squid_proxy.h"
#include "tunnel_site.h"

namespace {

class WayOut : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (namespaces, TAP devices)";
    site = std::make_unique<TunnelSite>();
    ASSERT_TRUE(site->ok());
  }
  void TearDown() override { site.reset(); }

  // Starts a session with the profile and waits for its last state.
  bool run(const std::string& profile, Listener& l, const std::string& until) {
    std::string r = channel_request(
        "POST /keva/client/x HTTP/1.1\r\nContent-Length: " + std::to_string(profile.size()) + "\r\n\r\n" + profile);
    return r.rfind("HTTP/1.1 201", 0) == 0 && l.wait_for("message=" + until, 20000);
  }
  bool end(Listener& l) {
    channel_request("DELETE /keva/client/x HTTP/1.1\r\n\r\n");
    return l.wait_for("message=Terminate", 20000);
  }
  std::string logs() { return read_file(site->data("kevad.log")) + read_file(site->data("session.log")); }
  std::string route6(const std::string& dest) {
    return site->capture("ip -n " + site->cli_ns() + " -6 route show " + dest + "/128");
  }

  std::unique_ptr<TunnelSite> site;
};

TEST_F(WayOut, ThroughADigestProxy) {
  ASSERT_TRUE(site->start_server());
  ASSERT_TRUE(site->start_adapter());
  ASSERT_TRUE(site->start_kevad("[trace]\n"));
  // The client's own namespace: its loopback is ours alone.
  SquidProxy squid("digest", "127.0.0.1", 3128, "proxyuser:proxypass\n", site->cli_ns());
  ASSERT_TRUE(squid.ok()) << squid.log();
  auto via = [](const std::string& password) {
    return "<proxyHost>127.0.0.1</proxyHost><proxyPort>3128</proxyPort>"
           "<proxyUsername>proxyuser</proxyUsername><proxyPassword>" +
           password + "</proxyPassword>";
  };
  {
    Listener l;
    ASSERT_TRUE(run(site->profile(via("proxypass")), l, "Connected")) << logs();
    EXPECT_TRUE(l.wait_for("connecting to 10.203.0.1:5711 via 127.0.0.1:3128...", 1000));
    EXPECT_EQ(0, site->in_ns(site->cli_ns(), "ping -c 3 -i 0.2 -W 2 192.168.203.1 >/dev/null"));
    ASSERT_TRUE(end(l));
  }
  {
    Listener l;
    ASSERT_TRUE(run(site->profile(via("wrongpass") + "<reconnect>1</reconnect>"), l, "Terminate")) << logs();
    EXPECT_TRUE(l.wait_for("proxy connection error: authentication failure", 1000));
    for (const auto& e : l.events()) EXPECT_EQ(std::string::npos, e.find("message=Connected"));
  }
  site->stop_kevad();  // writes the trace
  std::string trace = read_file(site->data("trace.log"));
  EXPECT_NE(std::string::npos, trace.find("apr_socket_connect")) << trace.substr(0, 2000);
  std::string all = logs() + trace;
  EXPECT_NE(std::string::npos, all.find("proxy asks for Digest authentication"));
  EXPECT_EQ(std::string::npos, all.find("proxypass"));
  EXPECT_EQ(std::string::npos, all.find("wrongpass"));
}

// Gives both sites an IPv6 address on their link, and takes IPv4 away.
void add_ipv6(const TunnelSite& site, bool drop_ipv4) {
  std::string cmd = std::string(drop_ipv4 ? "ip -4 addr flush scope global && " : "") +
                    "ip addr add fd00:203::%s/64 nodad dev $(ls /sys/class/net | grep ^vst)";
  ASSERT_EQ(0, site.in_ns(site.srv_ns(), std::string(cmd).replace(cmd.find("%s"), 2, "1")));
  ASSERT_EQ(0, site.in_ns(site.cli_ns(), std::string(cmd).replace(cmd.find("%s"), 2, "2")));
}

TEST_F(WayOut, ServerOverIPv6Only) {
  // No IPv4 between the two sites: only the tunnel's inner addresses.
  add_ipv6(*site, true);
  ASSERT_TRUE(site->start_server({"--listen", "fd00:203::1"}));
  ASSERT_TRUE(site->start_adapter());
  ASSERT_TRUE(site->start_kevad());
  std::string profile = site->profile();
  profile.replace(profile.find("10.203.0.1"), 10, "fd00:203::1");

  Listener l;
  ASSERT_TRUE(run(profile, l, "Connected")) << logs();
  EXPECT_TRUE(l.wait_for("route created: ", 1000));
  EXPECT_NE(std::string::npos, route6("fd00:203::1").find("dev vstb")) << route6("fd00:203::1");
  EXPECT_EQ(0, site->in_ns(site->cli_ns(), "ping -c 3 -i 0.2 -W 2 192.168.203.1 >/dev/null"));
  ASSERT_TRUE(end(l));
  EXPECT_EQ("", route6("fd00:203::1"));
  EXPECT_NE(std::string::npos, logs().find("route deleted"));
}

// A name with an address of each family: tried in the resolver's order, the
// first (where nothing listens) left without a route, the second used.
TEST_F(WayOut, DualStackNameInResolverOrder) {
  add_ipv6(*site, false);
  // ip netns exec puts this file in place of /etc/hosts for the client.
  std::string etc = "/etc/netns/" + site->cli_ns();
  ASSERT_EQ(0, std::system(("mkdir -p " + etc).c_str()));
  struct Gone {
    std::string dir;
    ~Gone() { std::system(("rm -rf " + dir).c_str()); }
  } gone{etc};
  write_file(etc + "/hosts", "10.203.0.1 vpn.test\nfd00:203::1 vpn.test\n");
  std::vector<std::string> order;
  for (const auto& line : lines_of(site->capture("ip netns exec " + site->cli_ns() + " getent ahosts vpn.test"))) {
    std::string a = line.substr(0, line.find(' '));
    if (!a.empty() && std::find(order.begin(), order.end(), a) == order.end()) order.push_back(a);
  }
  ASSERT_EQ(2u, order.size());
  auto shown = [](const std::string& a) { return a.find(':') != std::string::npos ? "[" + a + "]:5711" : a + ":5711"; };
  auto route = [&](const std::string& a) {
    return site->capture("ip -n " + site->cli_ns() + " route show " + a +
                         (a.find(':') != std::string::npos ? "/128" : "/32"));
  };

  ASSERT_TRUE(site->start_server({"--listen", order[1]}));
  ASSERT_TRUE(site->start_adapter());
  ASSERT_TRUE(site->start_kevad());
  std::string profile = site->profile();
  profile.replace(profile.find("10.203.0.1"), 10, "vpn.test");
  Listener l;
  ASSERT_TRUE(run(profile, l, "Connected")) << logs();
  std::string log = logs();
  size_t first = log.find("address resolved: " + shown(order[0]));
  size_t second = log.find("address resolved: " + shown(order[1]));
  ASSERT_NE(std::string::npos, second) << log;
  EXPECT_LT(first, second) << log;
  EXPECT_EQ("", route(order[0]));
  EXPECT_NE("", route(order[1]));
  ASSERT_TRUE(end(l));
  EXPECT_EQ("", route(order[1]));
}

}  // namespace
