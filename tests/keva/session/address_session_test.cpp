// The adapter's address: from a real dnsmasq on the server's segment, or
// fixed by the profile; its DNS servers handed over for that link only; and
// nothing left behind when the session ends.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "platform/addressing.h"
#include "process.h"
#include "tunnel_site.h"

namespace {

const std::string kCreated = "HTTP/1.1 201 Created\r\n";

class Address : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (namespaces, TAP devices)";
    site = std::make_unique<TunnelSite>();
    ASSERT_TRUE(site->ok());
    ASSERT_TRUE(site->start_server());
    ASSERT_TRUE(site->start_adapter(false));
    std::string r = site->root();
    ASSERT_EQ(0, site->in_ns(site->srv_ns(),
                             "dnsmasq --conf-file=/dev/null --no-resolv --no-hosts --port=0 --user=root "
                             "--interface=kevatap --bind-interfaces --dhcp-range=192.168.203.50,192.168.203.60,1h "
                             "--dhcp-option=option:dns-server,192.168.203.1 "
                             "--dhcp-option=option:domain-search,corp.test --dhcp-leasefile=" +
                                 r + "/dnsmasq.leases --pid-file=" + r + "/dnsmasq.pid --log-facility=" + r +
                                 "/dnsmasq.log"));
    // Stand-ins seen only by kevad: a resolvconf that writes down what it is
    // given, and a resolver file whose bytes must not change.
    mkdir((r + "/sbin").c_str(), 0755);
    mkdir((r + "/nosbin").c_str(), 0755);
    write_file(r + "/sbin/resolvconf",
               "#!/bin/sh\n{ echo \"resolvconf $*\"; [ \"$1\" = -a ] && cat; } >> " + r + "/resolvconf.record\n");
    chmod((r + "/sbin/resolvconf").c_str(), 0755);
    write_file(r + "/resolv.conf", "nameserver 198.51.100.7\n");
    real_resolv = read_file("/etc/resolv.conf");
  }
  void TearDown() override {
    if (!site) return;
    site->stop_kevad();
    std::string pid = read_file(site->root() + "/dnsmasq.pid");
    if (!pid.empty()) kill(std::stoi(pid), SIGTERM);
    if (!IsSkipped()) {
      EXPECT_EQ(real_resolv, read_file("/etc/resolv.conf"));
    }
    site.reset();
  }

  // kevad in a mount namespace of its own, with sbin_dir over
  // /usr/local/sbin and the test's resolver file over /etc/resolv.conf.
  bool start_kevad(const std::string& ini, const std::string& sbin_dir) {
    unlink(site->data("kevad.log").c_str());
    std::string r = site->root();
    std::string script = "mount --bind " + r + "/" + sbin_dir +
                         " /usr/local/sbin && "
                         "{ [ ! -e /etc/resolv.conf ] || mount --bind " +
                         r +
                         "/resolv.conf /etc/resolv.conf; } && "
                         "exec \"$0\" \"$@\"";
    return site->start_kevad_wrapped(ini, {"unshare", "-m", "--propagation", "private", "sh", "-c", script});
  }
  std::string ns_cmd(const std::string& cmd) { return site->capture("ip netns exec " + site->cli_ns() + " " + cmd); }
  std::string adapter_addr() { return ns_cmd("ip -4 -o addr show dev " + site->adapter()); }
  std::string adapter_routes() { return ns_cmd("ip -4 route show dev " + site->adapter()); }
  bool dhclient_running() { return !site->capture("pgrep -f 'dhclient.* " + site->adapter() + "$'").empty(); }
  // Waits until the adapter's address listing contains text ("" for none).
  bool wait_addr(const std::string& text, int ms = 30000) {
    for (int t = 0; t < ms; t += 100) {
      std::string a = adapter_addr();
      if (text.empty() ? a.empty() : a.find(text) != std::string::npos) return true;
      usleep(100000);
    }
    return false;
  }
  // One session: connect, wait for an address in the range, ping through
  // it, disconnect; the address it had.
  std::string session(const std::string& profile, const std::string& expect,
                      const std::function<void()>& while_up = nullptr) {
    // An address an earlier run left is not this session's: wait for the
    // service to say it applied one.
    auto applied = [&] {
      std::string t = read_file(site->data("kevad.log"));
      int n = 0;
      for (size_t p = t.find("has the address"); p != std::string::npos; p = t.find("has the address", p + 1)) ++n;
      return n;
    };
    int before = applied();
    Listener l;
    EXPECT_EQ(kCreated, post_session(profile).substr(0, kCreated.size()));
    EXPECT_TRUE(l.wait_for("message=Connected", 20000));
    for (int t = 0; t < 30000 && applied() <= before; t += 100) usleep(100000);
    EXPECT_TRUE(wait_addr(expect)) << adapter_addr() << read_file(site->data("kevad.log"));
    std::string a = adapter_addr();
    EXPECT_EQ(0, site->in_ns(site->cli_ns(), "ping -c 2 -i 0.2 -W 3 192.168.203.1 >/dev/null"));
    if (while_up) while_up();
    EXPECT_EQ(0u, channel_request("DELETE /keva/client/x HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200 OK\r\n", 0));
    EXPECT_TRUE(l.wait_for("message=Terminate", 30000));
    EXPECT_EQ("", adapter_addr());
    EXPECT_EQ("", adapter_routes());
    EXPECT_FALSE(dhclient_running());
    auto p = a.find(" inet ");
    return p == std::string::npos ? "" : a.substr(p + 6, a.find(' ', p + 6) - p - 6);
  }

  std::unique_ptr<TunnelSite> site;
  std::string real_resolv;
};

}  // namespace

TEST_F(Address, DhcpLeaseComesBackTheSameAndLeavesNothingBehind) {
  ASSERT_TRUE(start_kevad("[address]\ndns = resolvconf\n", "sbin"));
  std::string first = session(site->profile(), "192.168.203.");
  ASSERT_NE("", first);
  std::string rec = read_file(site->root() + "/resolvconf.record");
  std::string name = site->adapter() + ".velarn";
  EXPECT_NE(std::string::npos, rec.find("resolvconf -a " + name + "\nsearch corp.test\nnameserver 192.168.203.1\n"))
      << rec;
  EXPECT_NE(std::string::npos, rec.find("resolvconf -d " + name + "\n")) << rec;
  EXPECT_NE(std::string::npos, read_file(site->root() + "/dnsmasq.log").find("DHCPRELEASE"))
      << read_file(site->root() + "/dnsmasq.log");

  // Without a resolver to hand them to, the servers are only logged.
  site->stop_kevad();
  EXPECT_FALSE(dhclient_running());
  ASSERT_TRUE(start_kevad("", "nosbin"));
  bool other_resolver = !site->capture("command -v resolvconf resolvectl").empty();
  EXPECT_EQ(first, session(site->profile(), first));
  if (!other_resolver) {
    EXPECT_NE(std::string::npos, read_file(site->data("kevad.log")).find("no resolver to hand them to"));
    EXPECT_EQ("nameserver 198.51.100.7\n", read_file(site->root() + "/resolv.conf"));
  }

  // Asked for: the resolver file while the address lasts (put back after),
  // and the gateway as a default route beside the machine's own.
  site->stop_kevad();
  std::string resolv = site->root() + "/etc/resolv.conf";
  write_file(resolv, "nameserver 203.0.113.9\n");
  ASSERT_TRUE(start_kevad("[address]\ndns = file\ndefault_route = 1\nroute_metric = 7\n", "nosbin"));
  session(site->profile(), first, [&] {
    EXPECT_NE(std::string::npos, read_file(resolv).find("search corp.test\nnameserver 192.168.203.1\n"));
    EXPECT_NE(std::string::npos, adapter_routes().find("default via 192.168.203.1 metric 7"));
  });
  EXPECT_EQ("nameserver 203.0.113.9\n", read_file(resolv));
}

TEST_F(Address, ProfileAddressInsteadOfDhcp) {
  ASSERT_TRUE(start_kevad("", "nosbin"));
  Listener l;
  ASSERT_EQ(kCreated, post_session(site->profile("<ip>192.168.203.77</ip><subnetmask>255.255.255.0</subnetmask>"
                                                 "<gateway>192.168.203.1</gateway>"))
                          .substr(0, kCreated.size()));
  ASSERT_TRUE(l.wait_for("message=Connected", 20000));
  EXPECT_TRUE(wait_addr("192.168.203.77/24")) << read_file(site->data("kevad.log"));
  EXPECT_FALSE(dhclient_running());
  EXPECT_EQ(0, site->in_ns(site->cli_ns(), "ping -c 2 -i 0.2 -W 3 192.168.203.1 >/dev/null"));
  // The gateway is no default route unless kevad.ini says so.
  EXPECT_EQ(std::string::npos, adapter_routes().find("default"));
  site->stop_kevad();
  EXPECT_EQ("", adapter_addr());
  EXPECT_EQ("", adapter_routes());
}

TEST(FixedAddress, Checked) {
  struct Case {
    const char* address;
    const char* mask;
    const char* gateway;
    bool good;
  } cases[] = {
      {"192.168.1.7", "255.255.255.0", "", true},
      {"192.168.1.7", "255.255.255.0", "192.168.1.1", true},
      {"10.1.2.3", "255.0.0.0", "10.0.0.1", true},
      {"192.168.1.7", "255.0.255.0", "", false},  // holes in the mask
      {"192.168.1.7", "0.0.0.0", "", false},
      {"192.168.1.0", "255.255.255.0", "", false},    // the network itself
      {"192.168.1.255", "255.255.255.0", "", false},  // its broadcast
      {"127.0.0.5", "255.0.0.0", "", false},
      {"224.0.0.1", "255.255.255.0", "", false},
      {"192.168.1.7; rm -rf /", "255.255.255.0", "", false},
      {"192.168.1.7", "255.255.255.0", "gw", false},
      {"", "255.255.255.0", "", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.good, velarn::check_fixed_address({c.address, c.mask, c.gateway}).empty())
        << c.address << " " << c.mask << " " << c.gateway;
}

TEST_F(Address, ClientLeftByAKilledServiceIsEndedNotDoubled) {
  ASSERT_TRUE(start_kevad("", "nosbin"));
  {
    Listener l;
    ASSERT_EQ(kCreated, post_session(site->profile()).substr(0, kCreated.size()));
    ASSERT_TRUE(l.wait_for("message=Connected", 20000));
    ASSERT_TRUE(wait_addr("192.168.203."));
    std::string pid = site->capture("for p in $(ip netns pids " + site->cli_ns() +
                                    "); do [ \"$(cat /proc/$p/comm)\" = kevad ] && echo $p; done");
    ASSERT_FALSE(pid.empty());
    kill(std::stoi(pid), SIGKILL);
  }
  site->stop_kevad();  // reaps it
  ASSERT_TRUE(dhclient_running());
  ASSERT_TRUE(start_kevad("", "nosbin"));
  session(site->profile(), "192.168.203.");
  EXPECT_NE(std::string::npos, read_file(site->data("kevad.log")).find("ending the DHCP client an earlier run left"));
}

// What a DHCP server sends lands in the hook: it takes what is sound, refuses
// what would pull other traffic in, and undoes exactly what it did.
TEST(AddressHook, TakesOnlyWhatIsSound) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root (namespaces)";
  TempRoot root;
  std::string ns = "vah" + std::to_string(getpid()), r = root.path();
  std::string hook = std::string(KEVAD_PATH).substr(0, std::string(KEVAD_PATH).rfind('/')) + "/vlnaddr-hook";
  ASSERT_EQ(0, std::system(("ip netns add " + ns + " && ip -n " + ns + " link add d0 type veth peer name d1 && " +
                            "ip -n " + ns + " link set d0 up")
                               .c_str()));
  write_file(r + "/resolv.conf", "nameserver 203.0.113.9\n");
  // A stand-in resolvectl over /usr/local/sbin, for the hook only.
  mkdir((r + "/sbin").c_str(), 0755);
  write_file(r + "/sbin/resolvectl", "#!/bin/sh\necho \"resolvectl $*\" >> " + r + "/resolvectl.record\n");
  chmod((r + "/sbin/resolvectl").c_str(), 0755);
  auto run = [&](const std::string& vars) {
    return std::system(("ip netns exec " + ns + " sh -c 'mount --bind " + r +
                        "/sbin /usr/local/sbin && exec \"$@\"' sh env -i reason=BOUND interface=d0 VLN_STATE=" + r +
                        "/d0.state VLN_DNS=file VLN_RESOLV_CONF=" + r + "/resolv.conf " + vars + " " + hook +
                        " >/dev/null")
                           .c_str());
  };
  auto addr = [&] { return run_command("ip -n " + ns + " -4 -o addr show dev d0 2>/dev/null"); };
  struct Case {
    std::string vars, address;
  } cases[] = {
      {"new_ip_address=10.9.0.5 new_subnet_mask=128.0.0.0", ""},
      {"new_ip_address=127.0.0.9 new_subnet_mask=255.0.0.0", ""},
      {"new_ip_address=10.9.0.5 'new_subnet_mask=255.255.255.0 dev lo'", ""},
      {"new_ip_address=10.9.0.5 new_subnet_mask=255.255.255.0 'new_domain_name_servers=10.9.0.1 x;touch " + r +
           "/pwn' 'new_domain_search=corp.test. $(touch${IFS}" + r + "/pwn)'",
       "10.9.0.5/24"},
  };
  for (const auto& c : cases) {
    run(c.vars);
    EXPECT_EQ(c.address.empty(), addr().find("inet ") == std::string::npos) << c.vars << addr();
    if (!c.address.empty()) {
      EXPECT_NE(std::string::npos, addr().find(c.address));
    }
  }
  EXPECT_EQ("# written by kevad for d0; put back when the session ends\nsearch corp.test\nnameserver 10.9.0.1\n",
            read_file(r + "/resolv.conf"));
  EXPECT_EQ(0, run("reason=VLN_UNDO"));
  EXPECT_EQ("", addr());
  EXPECT_EQ("nameserver 203.0.113.9\n", read_file(r + "/resolv.conf"));
  EXPECT_NE(0, access((r + "/pwn").c_str(), F_OK));

  // systemd-resolved gets the servers for that link only, and forgets them.
  run("VLN_DNS=resolved new_ip_address=10.9.0.5 new_subnet_mask=255.255.255.0 new_domain_name_servers=10.9.0.1 "
      "new_domain_search=corp.test");
  EXPECT_EQ(0, run("reason=VLN_UNDO"));
  EXPECT_EQ("resolvectl dns d0 10.9.0.1\nresolvectl domain d0 corp.test\nresolvectl revert d0\n",
            read_file(r + "/resolvectl.record"));
  std::system(("ip netns del " + ns).c_str());
}
