// Sessions whose client key lives on a token: kevad loads the PKCS#11 module
// named in the profile (SoftHSM2 directly, or the test module in front of it
// that can pull the token out), logs in with the certificate from the token
// against keva-server, and the tunnel carries traffic.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "files.h"
#include "softhsm.h"
#include "tunnel_site.h"

namespace {

const std::string kCreated = "HTTP/1.1 201 Created\r\n";

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

class TokenTunnel : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (namespaces, TAP devices)";
    if (access(kSoftHsm, R_OK) != 0) GTEST_SKIP() << "SoftHSM2 is not installed";
    site = std::make_unique<TunnelSite>();
    ASSERT_TRUE(site->ok());
    token = std::make_unique<SoftHsmToken>(site->root() + "/softhsm");
    dir = token->dir();
    conf = token->conf();
    hide = site->root() + "/token-hidden";
    // Only the programs the test runs see this token.
    std::string error;
    ASSERT_TRUE(token->init(&error, false)) << error;
    // The client's key and certificate go onto the token; only the
    // certificate stays on disk, as the CA the server checks clients against.
    ASSERT_TRUE(token->make_identity("user", "token-user", &error)) << error;
    ASSERT_TRUE(token->import("user", "01", &error)) << error;
    std::string base = dir + "/user";
    run_ok("rm -f " + base + ".key " + base + ".key.der");
    // The server's users: certificate logins of that name only.
    write_file(site->root() + "/users", "cert-cn:token-user\n");
  }
  void TearDown() override { site.reset(); }

  // Runs cmd with the test's token configuration; its output.
  std::string run(const std::string& cmd, int* status = nullptr) { return token->run(cmd, status); }
  void run_ok(const std::string& cmd) {
    int st = -1;
    std::string out = run(cmd, &st);
    ASSERT_EQ(0, st) << cmd << "\n" << out;
  }
  std::string p11tool() const { return SoftHsmToken::tool(); }

  bool start_server(const std::vector<std::string>& tls) {
    std::vector<std::string> args = {"--ca", dir + "/user.crt", "--require-client-cert"};
    args.insert(args.end(), tls.begin(), tls.end());
    return site->start_server(args);
  }
  bool start_kevad(const std::string& ini = "") {
    return site->start_kevad_env(ini, {"SOFTHSM2_CONF=" + conf, "P11SHIM_HIDE=" + hide});
  }

  std::string profile(const std::string& driver, const std::string& pin, const std::string& extra = "") {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><profile version=\"1.0\"><host>10.203.0.1</host>"
           "<authtype>token</authtype><switch>test</switch><driver>" +
           driver + "</driver><pin>" + pin + "</pin><trust>" + read_file(site->root() + "/server.crt") + "</trust>" +
           extra + "</profile>";
  }
  std::string stop_session() { return channel_request("DELETE /keva/client/x HTTP/1.1\r\n\r\n"); }
  std::string kevad_log() { return read_file(site->data("kevad.log")); }
  std::string server_log() { return read_file(site->root() + "/server.log"); }
  std::string logs() { return "--- kevad.log\n" + kevad_log() + "--- server.log\n" + server_log(); }

  bool ping_both_ways() {
    // A restarted server brings a new TAP with a new address: forget the
    // old one rather than wait for the neighbour entry to go stale.
    site->in_ns(site->cli_ns(), "ip neigh flush all");
    site->in_ns(site->srv_ns(), "ip neigh flush all");
    return site->in_ns(site->cli_ns(), "ping -c 2 -i 0.2 -W 2 192.168.203.1 >/dev/null") == 0 &&
           site->in_ns(site->srv_ns(), "ping -c 2 -i 0.2 -W 2 192.168.203.2 >/dev/null") == 0;
  }
  void hide_token() { write_file(hide, ""); }
  void show_token() { unlink(hide.c_str()); }

  std::unique_ptr<TunnelSite> site;
  std::unique_ptr<SoftHsmToken> token;
  std::string dir, conf, hide;
};

TEST_F(TokenTunnel, LogsInWithTheKeyOnTheTokenOverTls12And13) {
  ASSERT_TRUE(site->start_adapter());
  ASSERT_TRUE(start_kevad());
  struct Case {
    const char* name;
    std::vector<std::string> tls;
    const char* version;
    std::string driver;
  } cases[] = {
      {"TLS 1.2, SoftHSM2", {"--tls-max", "1.2"}, "TLS up (TLSv1.2,", kSoftHsm},
      {"TLS 1.3, test module", {"--tls-min", "1.3"}, "TLS up (TLSv1.3,", P11SHIM_PATH},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(start_server(c.tls)) << server_log();
    size_t log_from = kevad_log().size();
    {
      Listener l;
      ASSERT_TRUE(l.ok());
      ASSERT_EQ(kCreated, post_session(profile(c.driver, kPin)).substr(0, kCreated.size()));
      ASSERT_TRUE(l.wait_for("message=Connected", 20000)) << logs();
      EXPECT_TRUE(ping_both_ways());
      std::string slog = server_log();
      EXPECT_NE(std::string::npos, slog.find(c.version)) << slog;
      EXPECT_NE(std::string::npos, slog.find("login accepted: certificate")) << slog;
      // The key was used on the token, and the token session is closed
      // while the tunnel runs.
      EXPECT_TRUE(site->wait_for_log(site->data("kevad.log"), "closing token session..", 3000));
      std::string klog = kevad_log().substr(log_from);
      EXPECT_EQ(1u, count_of(klog, "token sign..")) << klog;
      EXPECT_EQ(count_of(klog, "opening token session.."), count_of(klog, "closing token session..")) << klog;
      EXPECT_TRUE(ping_both_ways());

      EXPECT_EQ(0u, stop_session().rfind("HTTP/1.1 200 OK\r\n", 0));
      ASSERT_TRUE(l.wait_for("message=Terminate", 20000)) << logs();
      std::vector<std::string> want = {"Connecting", "Connected", "Closing", "Closed", "Terminate"};
      EXPECT_EQ(want, l.states());
      for (const auto& e : l.events()) EXPECT_NE(0u, e.rfind("event=Error-Message&", 0)) << e;
    }
    site->stop_server();
  }
}

TEST_F(TokenTunnel, WrongPinCostsOneTryAndEndsTheSession) {
  ASSERT_TRUE(start_server({}));
  ASSERT_TRUE(site->start_adapter());
  // The trace records every PKCS#11 call the service makes.
  ASSERT_TRUE(start_kevad("[trace]\n"));
  Listener l;
  ASSERT_TRUE(l.ok());
  // Reconnecting is allowed: only the token failure can end this session.
  ASSERT_EQ(kCreated,
            post_session(profile(P11SHIM_PATH, "9999", "<reconnect>1</reconnect>")).substr(0, kCreated.size()));
  ASSERT_TRUE(l.wait_for("message=Terminate", 15000)) << logs();
  std::vector<std::string> want = {"Terminate"};
  EXPECT_EQ(want, l.states());
  // Reconnecting would demote an error to information; a PIN error never is.
  std::vector<std::string> ev = l.events();
  EXPECT_NE(ev.end(), std::find(ev.begin(), ev.end(), "event=Error-Message&state=Closed&message=PIN error"))
      << ::testing::PrintToString(ev);
  EXPECT_NE(std::string::npos, kevad_log().find("[error] PIN error")) << kevad_log();
  // No server was ever tried.
  EXPECT_EQ(std::string::npos, kevad_log().find("starting remote session"));
  EXPECT_EQ(std::string::npos, server_log().find(": connected")) << server_log();
  EXPECT_EQ(0u, channel_request("GET /keva/client/state HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404", 0));

  EXPECT_EQ(0, site->stop_kevad());
  std::string trace = read_file(site->data("trace.log"));
  EXPECT_EQ(1u, count_of(trace, "C_Login() = ")) << trace;
  EXPECT_EQ(1u, count_of(trace, "C_Login() = 160")) << trace;  // CKR_PIN_INCORRECT
  // The token itself saw the failed login, and the right PIN still opens it.
  EXPECT_NE(std::string::npos, run(p11tool() + " -T").find("user PIN count low"));
  int st = -1;
  std::string out = run(p11tool() + " --login --pin " + kPin + " -O", &st);
  EXPECT_EQ(0, st) << out;
  EXPECT_EQ(std::string::npos, run(p11tool() + " -T").find("user PIN count low"));
}

TEST_F(TokenTunnel, WaitsForAHiddenTokenThenConnects) {
  ASSERT_TRUE(start_server({}));
  ASSERT_TRUE(site->start_adapter());
  ASSERT_TRUE(start_kevad());
  hide_token();
  Listener l;
  ASSERT_TRUE(l.ok());
  ASSERT_EQ(kCreated, post_session(profile(P11SHIM_PATH, kPin, "<reconnect>0</reconnect>")).substr(0, kCreated.size()));

  // Each look for the token starts with "finding token..": note when each
  // one appears while the token is away.
  // Three looks: the session went round its wait twice without connecting.
  std::vector<double> looks;
  auto started = Clock::now();
  while (looks.size() < 3 && seconds_since(started) < 30) {
    size_t n = count_of(kevad_log(), "finding token..");
    while (looks.size() < n) looks.push_back(seconds_since(started));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_GE(looks.size(), 3u) << kevad_log();
  // A look asks for slots three times half a second apart, then the session
  // pauses two seconds before the next one.
  for (size_t i = 1; i < looks.size(); ++i) {
    EXPECT_GT(looks[i] - looks[i - 1], 2.5) << ::testing::PrintToString(looks);
    EXPECT_LT(looks[i] - looks[i - 1], 4.5) << ::testing::PrintToString(looks);
  }
  EXPECT_TRUE(l.states().empty()) << ::testing::PrintToString(l.events());
  EXPECT_EQ(std::string::npos, kevad_log().find("starting remote session"));
  EXPECT_EQ(std::string::npos, server_log().find(": connected"));
  // Waiting is not a failure of the session: it neither ended nor logged in.
  EXPECT_EQ(std::string::npos, kevad_log().find("PIN"));
  EXPECT_NE(std::string::npos, channel_request("GET /keva/client/state HTTP/1.1\r\n\r\n").find("\r\n\r\nClosed"));

  show_token();
  auto shown = Clock::now();
  ASSERT_TRUE(l.wait_for("message=Connected", 10000)) << logs();
  EXPECT_LT(seconds_since(shown), 6.0);
  std::vector<std::string> want = {"Connecting", "Connected"};
  EXPECT_EQ(want, l.states());
  EXPECT_TRUE(ping_both_ways());
  EXPECT_EQ(0u, stop_session().rfind("HTTP/1.1 200 OK\r\n", 0));
  EXPECT_TRUE(l.wait_for("message=Terminate", 20000));
}

TEST_F(TokenTunnel, TokenPulledWhileConnectedKeepsTheTunnelAndTheReconnectWaitsForIt) {
  ASSERT_TRUE(start_server({}));
  ASSERT_TRUE(site->start_adapter());
  ASSERT_TRUE(start_kevad("[client]\nreconnect = 1\n"));
  Listener l;
  ASSERT_TRUE(l.ok());
  ASSERT_EQ(kCreated, post_session(profile(P11SHIM_PATH, kPin)).substr(0, kCreated.size()));
  ASSERT_TRUE(l.wait_for("message=Connected", 20000)) << logs();

  // The token is only needed for the handshake.
  hide_token();
  EXPECT_TRUE(ping_both_ways());

  // The link goes; the next attempt needs the token again and waits for it
  // without starting a connection.
  site->stop_server();
  ASSERT_TRUE(l.wait_for("message=Closed", 20000)) << logs();
  ASSERT_TRUE(start_server({}));
  ASSERT_TRUE(site->wait_for_log(site->data("kevad.log"), "reconnect after 1 seconds...", 5000)) << logs();
  // Two looks for the token came up empty: each attempt stopped there.
  for (int i = 0; i < 300 && count_of(kevad_log(), "no token available") < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_GE(count_of(kevad_log(), "no token available"), 2u) << logs();
  // Nothing after the link closed: no new attempt was started.
  auto after_close = [&] {
    std::vector<std::string> s = l.states();
    auto closed = std::find(s.begin(), s.end(), "Closed");
    return closed == s.end() ? s : std::vector<std::string>(closed + 1, s.end());
  };
  EXPECT_TRUE(after_close().empty()) << logs();
  EXPECT_EQ(std::string::npos, server_log().find(": connected")) << server_log();

  show_token();
  for (int i = 0; i < 100 && after_close().size() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  std::vector<std::string> want = {"Connecting", "Connected"};
  EXPECT_EQ(want, after_close()) << logs();
  EXPECT_TRUE(ping_both_ways());
  EXPECT_EQ(0u, stop_session().rfind("HTTP/1.1 200 OK\r\n", 0));
  EXPECT_TRUE(l.wait_for("message=Terminate", 20000));
}

}  // namespace
