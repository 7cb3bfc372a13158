#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "tunnel_site.h"
#include "wait.h"

namespace {

class Session : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (namespaces, TAP devices)";
    site = std::make_unique<TunnelSite>();
    ASSERT_TRUE(site->ok());
  }
  void TearDown() override { site.reset(); }

  std::string kevad_log() { return read_file(site->data("kevad.log")); }

  std::unique_ptr<TunnelSite> site;
};

const std::string kCreated = "HTTP/1.1 201 Created\r\n";

}  // namespace

TEST_F(Session, CarriesTrafficBothWaysAndEndsOnRequest) {
  ASSERT_TRUE(site->start_server());
  ASSERT_TRUE(site->start_adapter());
  ASSERT_TRUE(site->start_kevad());
  Listener l;
  ASSERT_TRUE(l.ok());
  ASSERT_EQ(kCreated, post_session(site->profile()).substr(0, kCreated.size()));
  ASSERT_TRUE(l.wait_for("message=Connected", 10000)) << kevad_log();

  EXPECT_EQ(0, site->in_ns(site->cli_ns(), "ping -c 3 -i 0.2 -W 2 192.168.203.1 >/dev/null"));
  EXPECT_EQ(0, site->in_ns(site->srv_ns(), "ping -c 3 -i 0.2 -W 2 192.168.203.2 >/dev/null"));
  // The pinned host route to the server, through the link it is reached by.
  EXPECT_NE(std::string::npos,
            site->capture("ip -n " + site->cli_ns() + " route show 10.203.0.1/32").find("10.203.0.1"));

  EXPECT_NE(std::string::npos, channel_request("GET /keva/client/state HTTP/1.1\r\n\r\n").find("\r\n\r\nConnected"));
  EXPECT_EQ(0u, channel_request("DELETE /keva/client/x HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200 OK\r\n", 0));
  ASSERT_TRUE(l.wait_for("message=Terminate", 20000));
  std::vector<std::string> want = {"Connecting", "Connected", "Closing", "Closed", "Terminate"};
  EXPECT_EQ(want, l.states());
  // Every event carries the state it was sent in; they never go back.
  for (const auto& e : l.events())
    EXPECT_TRUE(std::regex_search(e, std::regex("^event=[A-Za-z-]+&state=[A-Za-z]+&message=")));
  EXPECT_EQ("", site->capture("ip -n " + site->cli_ns() + " route show 10.203.0.1/32"));
  EXPECT_EQ(0u, channel_request("GET /keva/client/state HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404", 0));
  // The session log holds the session's own head lines.
  std::string slog = read_file(site->data("session.log"));
  EXPECT_NE(std::string::npos, slog.find("[debug] Version: kevad 1.4.5.248 (2015.11.18)\n"));
  EXPECT_NE(std::string::npos, slog.find("[debug] System: "));
  EXPECT_NE(std::string::npos, slog.find("[info] remote session started\n"));

  // A client that connects again as soon as it hears "Terminate" is served.
  ASSERT_EQ(kCreated, post_session(site->profile()).substr(0, kCreated.size()));
  wait_until([&] { return count_of(kevad_log(), "remote session started") >= 2; }, 10000, 100);
  EXPECT_EQ(2u, count_of(kevad_log(), "remote session started"));
  EXPECT_EQ(std::string::npos, kevad_log().find("a session is already running"));
}

TEST_F(Session, StoppingTheServiceEndsTheSessionAndRemovesTheRoute) {
  ASSERT_TRUE(site->start_server());
  ASSERT_TRUE(site->start_adapter());
  write_file(site->data("startup.vln"), site->profile());
  ASSERT_TRUE(site->start_kevad("[client]\nStartupProfile = " + site->data("startup.vln") + "\n"));
  ASSERT_TRUE(site->wait_for_log(site->data("kevad.log"), "remote session started", 10000)) << kevad_log();
  EXPECT_NE("", site->capture("ip -n " + site->cli_ns() + " route show 10.203.0.1/32"));
  EXPECT_EQ(0, site->stop_kevad());
  EXPECT_EQ("", site->capture("ip -n " + site->cli_ns() + " route show 10.203.0.1/32"));
  std::string log = kevad_log();
  EXPECT_NE(std::string::npos, log.find("remote session closed"));
  EXPECT_NE(std::string::npos, log.find("exited"));
  // The carrier goes down with the device closed.
  EXPECT_NE(std::string::npos,
            site->capture("ip -n " + site->cli_ns() + " link show " + site->adapter()).find("NO-CARRIER"));
}

TEST_F(Session, RefusedLoginEndsWithoutReconnect) {
  ASSERT_TRUE(site->start_server({"--refuse", "0"}));
  ASSERT_TRUE(site->start_adapter());
  ASSERT_TRUE(site->start_kevad());
  Listener l;
  ASSERT_EQ(kCreated, post_session(site->profile("<reconnect>1</reconnect>")).substr(0, kCreated.size()));
  ASSERT_TRUE(l.wait_for("message=Terminate", 20000)) << kevad_log();
  std::string log = kevad_log();
  EXPECT_EQ(std::string::npos, log.find("reconnect after"));
  // The refusal reaches clients as an error: nothing more will be tried.
  bool error_event = false;
  for (const auto& e : l.events()) error_event = error_event || e.rfind("event=Error-Message&", 0) == 0;
  EXPECT_TRUE(error_event);
}

TEST_F(Session, FirstConnectionFailingWithoutReconnectTerminates) {
  // No server at all: the connection is refused.
  ASSERT_TRUE(site->start_adapter());
  ASSERT_TRUE(site->start_kevad());
  Listener l;
  ASSERT_EQ(kCreated, post_session(site->profile("<reconnect>0</reconnect>")).substr(0, kCreated.size()));
  ASSERT_TRUE(l.wait_for("message=Terminate", 30000)) << kevad_log();
  std::vector<std::string> want = {"Connecting", "Closed", "Terminate"};
  EXPECT_EQ(want, l.states());
  EXPECT_EQ(std::string::npos, kevad_log().find("reconnect after"));
}

TEST_F(Session, DroppedConnectionReconnectsAfterTheFirstPause) {
  ASSERT_TRUE(site->start_server({"--drop", "tunnel:1500"}));
  ASSERT_TRUE(site->start_adapter());
  ASSERT_TRUE(site->start_kevad("[client]\nreconnect = 2,30\n"));
  Listener l;
  ASSERT_EQ(kCreated, post_session(site->profile()).substr(0, kCreated.size()));
  ASSERT_TRUE(site->wait_for_log(site->data("kevad.log"), "reconnect after 2 seconds...", 20000)) << kevad_log();
  wait_until([&] { return count_of(kevad_log(), "remote session started") >= 2; }, 10000, 100);
  EXPECT_EQ(2u, count_of(kevad_log(), "remote session started")) << kevad_log();
  // The connection that succeeded put the schedule back to its start.
  wait_until([&] { return count_of(kevad_log(), "reconnect after 2 seconds...") >= 2; }, 10000, 100);
  EXPECT_EQ(2u, count_of(kevad_log(), "reconnect after 2 seconds..."));
  EXPECT_EQ(std::string::npos, kevad_log().find("reconnect after 30 seconds"));
}

TEST_F(Session, SilentServerGetsOneKeepaliveThenTimesOut) {
  ASSERT_TRUE(site->start_server({"--silent", "tunnel"}));
  ASSERT_TRUE(site->start_adapter());
  ASSERT_TRUE(site->start_kevad("[client]\nreconnect = 0\n[trace]\n"));
  ASSERT_EQ(kCreated, post_session(site->profile()).substr(0, kCreated.size()));
  ASSERT_TRUE(site->wait_for_log(site->data("kevad.log"), "remote session started", 10000)) << kevad_log();
  auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(site->wait_for_log(site->data("kevad.log"), "remote session timeout", 45000)) << kevad_log();
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GT(secs, 25.0);
  EXPECT_LT(secs, 40.0);
  EXPECT_EQ(0, site->stop_kevad());
  // Records written in the tunnel phase, after the adapter's first read: the
  // 4-byte ones are keepalives.
  std::string trace = read_file(site->data("trace.log"));
  size_t tunnel = trace.find("ReadFile(65536)");
  ASSERT_NE(std::string::npos, tunnel);
  EXPECT_EQ(1u, count_of(trace.substr(tunnel), "SSL_write(4) = 4")) << trace;
}

TEST_F(Session, AnAllowListTheAdapterRefusesStopsTheSession) {
  ASSERT_TRUE(site->start_server());
  ASSERT_TRUE(site->start_adapter());
  ASSERT_TRUE(site->start_kevad());
  std::string allow;
  for (int i = 0; i < 33; ++i) {
    char mac[64];
    std::snprintf(mac, sizeof mac, "<allow>02:00:00:00:00:%02x</allow>", i);
    allow += mac;
  }
  Listener l;
  ASSERT_EQ(kCreated, post_session(site->profile(allow)).substr(0, kCreated.size()));
  ASSERT_TRUE(l.wait_for("message=Terminate", 20000)) << kevad_log();
  EXPECT_NE(std::string::npos, kevad_log().find("failed to open device"));
  EXPECT_TRUE(l.wait_for("event=Error-Message&state=Connected&message=failed to open device", 1000));
}

TEST_F(Session, ASecondStartWhileOneRunsIsRefused) {
  ASSERT_TRUE(site->start_server());
  ASSERT_TRUE(site->start_adapter());
  ASSERT_TRUE(site->start_kevad());
  ASSERT_EQ(kCreated, post_session(site->profile()).substr(0, kCreated.size()));
  ASSERT_TRUE(site->wait_for_log(site->data("kevad.log"), "remote session started", 10000));
  EXPECT_EQ(0u, post_session(site->profile()).rfind("HTTP/1.1 500", 0));
  EXPECT_NE(std::string::npos, kevad_log().find("a session is already running"));
  EXPECT_EQ(0, site->in_ns(site->cli_ns(), "ping -c 1 -W 2 192.168.203.1 >/dev/null"));
}

TEST_F(Session, InvalidProfileAndBridgeAreRefused) {
  ASSERT_TRUE(site->start_kevad());
  EXPECT_EQ(0u, post_session("<profile version=\"1.0\"></profile>").rfind("HTTP/1.1 400", 0));
  EXPECT_EQ(0u, post_session(site->profile("<deviceType>bridge</deviceType>")).rfind("HTTP/1.1 500", 0));
  EXPECT_NE(std::string::npos, kevad_log().find("bridge is not supported"));
  EXPECT_EQ(0u, channel_request("GET /keva/client/state HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404", 0));
}
