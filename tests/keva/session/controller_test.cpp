// The session controller in the test program, against keva-server on
// loopback, with the adapter and the routing table in memory: no root.
// The service runs once for the whole program (its main queue is made
// once per process); each case starts and stops sessions in it as the
// control channel would.
#include <apr_general.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "client.h"
#include "config.h"
#include "files.h"
#include "kevad.h"
#include "memory_device.h"
#include "memory_routes.h"
#include "ssl.h"
#include "tests/tools/keva-server/support.h"
#include "wait.h"

namespace {

MemoryDevice g_device;
MemoryRouteTable g_routes;
TempRoot* g_root = nullptr;
std::thread g_service;
apr_pool_t* g_config_pool = nullptr;

void service_up() {
  if (g_service.joinable()) return;
  g_root = new TempRoot();
  apr_initialize();
  apr_pool_create(&g_config_pool, nullptr);
  // Every route the service looks up goes through a gateway, so each
  // attempt pins a host route to its server.
  g_routes.add("0.0.0.0", 0, "192.0.2.1", 7, velarn::ROUTE_TYPE_INDIRECT);
  static KevadParts parts{};
  parts.ssl_init = ssl_global_init;
  parts.session_stop = [] { client_stop_current(); };
  parts.session_shutdown = client_shutdown;
  kevad_register_parts(&parts);
  client_register({g_device.ops(), &g_routes});
  g_service = std::thread([] {
    char name[] = "kevad";
    char* argv[] = {name, nullptr};
    kevad_main(1, argv);
  });
  ASSERT_TRUE(wait_until([] { return kevad_submit([](void*) {}, nullptr) == 0; }, 30000));
}

void service_down() {
  if (!g_service.joinable()) return;
  kevad_stop_request();
  g_service.join();
  delete g_root;
}

int thread_count() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

const uint8_t kOurMac[6] = {2, 0, 0, 0, 0, 0x0a};
const uint8_t kPeerMac[6] = {2, 0, 0, 0, 0, 0x0b};
const uint8_t kBroadcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

// The frames of the tunnel records a second client reads.
std::vector<std::string> frames_of(const kst::Message& m) {
  std::vector<std::string> out;
  const std::string& p = m.payload;
  for (size_t off = 0, n = 0; n < m.code && off + 2 <= p.size(); ++n) {
    size_t len = static_cast<uint8_t>(p[off]) << 8 | static_cast<uint8_t>(p[off + 1]);
    out.push_back(p.substr(off + 2, len));
    off += 2 + len;
  }
  return out;
}

std::vector<std::string> tail(const std::vector<std::string>& v, size_t from) {
  return std::vector<std::string>(v.begin() + static_cast<long>(std::min(from, v.size())), v.end());
}

class Controller : public ::testing::Test {
 protected:
  void SetUp() override {
    service_up();
    settings("[client]\nreconnect = 1,2\n");
  }

  // A case that failed half-way still leaves the place free for the next.
  void TearDown() override {
    client_stop_current();
    wait_until([&] { return state().empty(); }, 60000);
  }

  // kevad.ini as sessions started from now on read it.
  void settings(const std::string& ini) {
    write_file(g_root->data("kevad.ini"), ini);
    ASSERT_EQ(0, config_load(g_config_pool, g_root->data("kevad.ini").c_str()));
  }

  bool serve(const std::vector<std::string>& args) { return server.start(args); }

  // A session with the password profile for port; its threads are counted
  // from here.
  void start(int port, const std::string& extra = "") {
    threads = thread_count();
    std::string p = "<?xml version=\"1.0\" encoding=\"utf-8\"?><profile version=\"1.0\"><host>127.0.0.1</host><port>" +
                    std::to_string(port) +
                    "</port><authtype>password</authtype><switch>office</switch><username>user</username>"
                    "<password>secret</password>" +
                    extra + "</profile>";
    ASSERT_EQ(201, client_start(p.data(), p.size(), false, 1000));
  }

  std::string log() { return read_file(g_root->data("session.log")); }
  bool logged(const std::string& text, int ms = 30000) {
    return wait_until([&] { return log().find(text) != std::string::npos; }, ms, 50);
  }
  std::string state() {
    apr_pool_t* p = nullptr;
    apr_pool_create(&p, g_config_pool);
    const char* s = client_state_name(p);
    std::string out = s ? s : "";
    apr_pool_destroy(p);
    return out;
  }
  // The waits the session logged before its reconnects, in order.
  std::vector<int> reconnect_waits() {
    std::vector<int> out;
    std::string text = log();
    std::regex re("reconnect after (\\d+) seconds");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
      out.push_back(std::stoi((*it)[1]));
    return out;
  }

  // Stops the session as the channel does; then nothing of it may remain.
  void stop_and_settle() {
    ASSERT_EQ(0, client_stop_current());
    ASSERT_TRUE(wait_until([&] { return state().empty(); }, 60000)) << log();
    EXPECT_TRUE(logged("remote session terminated"));
    EXPECT_FALSE(g_device.media_connected());
    EXPECT_TRUE(wait_until([] { return g_routes.host_routes().empty(); }, 10000));
    EXPECT_TRUE(wait_until([&] { return thread_count() == threads; }, 10000)) << thread_count() << " " << threads;
  }

  kst::ServerProcess server;
  int threads = 0;
};

}  // namespace

TEST_F(Controller, ConnectsPinsItsRouteAndCarriesFramesBothWays) {
  ASSERT_TRUE(serve({}));
  size_t changes = g_routes.changes().size(), received = g_device.received().size();
  start(server.port);
  ASSERT_TRUE(logged("remote session started")) << log();
  EXPECT_EQ("Connected", state());
  EXPECT_TRUE(g_device.media_connected());
  EXPECT_EQ(std::vector<std::string>{"127.0.0.1 via 192.0.2.1"}, g_routes.host_routes());

  kst::TestClient peer;
  ASSERT_EQ(0, peer.login_password(server.port, "peer", "pw"));
  ASSERT_TRUE(peer.to_tunnel());
  ASSERT_TRUE(wait_until([&] { return count_of(server.output(), "tunnel up") >= 2; }, 20000)) << server.output();
  // Out through the adapter: the switch floods it to the other client.
  std::string out = kst::frame(kBroadcast, kOurMac, 1400, 0x5a);
  ASSERT_TRUE(g_device.send(out));
  bool seen = false;
  for (kst::Message m; !seen && peer.read(m, 20000);)
    for (const std::string& f : frames_of(m)) seen = seen || f == out;
  EXPECT_TRUE(seen);
  // In from the other client, to the address the switch learned: whole, once.
  std::string in = kst::frame(kOurMac, kPeerMac, 60, 0xa5);
  ASSERT_TRUE(peer.send(kst::batch({in, in})));
  EXPECT_TRUE(wait_until([&] { return g_device.received().size() >= received + 2; }, 20000));
  EXPECT_EQ((std::vector<std::string>{in, in}), tail(g_device.received(), received));

  stop_and_settle();
  EXPECT_EQ((std::vector<std::string>{"+127.0.0.1", "-127.0.0.1"}), tail(g_routes.changes(), changes));
}

TEST_F(Controller, KeepalivesHoldAnIdleTunnelOpen) {
  // The server closes a tunnel its client leaves silent for 20 seconds.
  ASSERT_TRUE(serve({"-v", "--idle-timeout", "20"}));
  start(server.port);
  ASSERT_TRUE(logged("remote session started")) << log();
  ASSERT_TRUE(wait_until([&] { return count_of(server.output(), "keepalive answered") >= 2; }, 90000))
      << server.output();
  EXPECT_EQ(std::string::npos, server.output().find("nothing from the client"));
  EXPECT_EQ(std::string::npos, log().find("remote session timeout"));
  EXPECT_EQ("Connected", state());
  stop_and_settle();
}

TEST_F(Controller, AServerThatStopsReadingIsADeadLink) {
  settings("[client]\nreconnect = 60\n");
  // It still sends keepalives: only the writes that back up tell.
  ASSERT_TRUE(serve({"--stall"}));
  start(server.port);
  ASSERT_TRUE(logged("remote session started")) << log();
  std::string frame = kst::frame(kBroadcast, kOurMac, 1400, 0x11);
  ASSERT_TRUE(wait_until(
      [&] {
        while (g_device.queued() < MemoryDevice::kQueueLimit / 2 && g_device.send(frame)) {
        }
        return log().find("remote session timeout") != std::string::npos;
      },
      180000, 5))
      << log();
  EXPECT_TRUE(logged("reconnect after 60 seconds...")) << log();
  stop_and_settle();
}

TEST_F(Controller, ReconnectScheduleWalksRepeatsItsLastAndRestartsAfterSuccess) {
  int port = closed_port();
  start(port, "<reconnect>1</reconnect>");
  ASSERT_TRUE(wait_until([&] { return reconnect_waits().size() >= 3; }, 60000)) << log();
  std::vector<int> waits = reconnect_waits();
  EXPECT_EQ((std::vector<int>{1, 2, 2}), std::vector<int>(waits.begin(), waits.begin() + 3));
  ASSERT_TRUE(serve({"--port", std::to_string(port)}));
  ASSERT_TRUE(logged("remote session started", 60000)) << log();
  size_t before = reconnect_waits().size();
  server.stop();  // the link goes; the schedule starts again from its first wait
  ASSERT_TRUE(wait_until([&] { return reconnect_waits().size() > before; }, 60000)) << log();
  EXPECT_EQ(1, reconnect_waits()[before]);
  stop_and_settle();
}

TEST_F(Controller, ABrokenDeviceIsRestartedAndTheSessionReconnects) {
  ASSERT_TRUE(serve({}));
  start(server.port, "<reconnect>1</reconnect>");
  ASSERT_TRUE(logged("remote session started")) << log();
  int opens = g_device.opens();
  g_device.break_device();
  ASSERT_TRUE(logged("restarting device")) << log();
  ASSERT_TRUE(wait_until([&] { return count_of(log(), "remote session started") >= 2; }, 60000)) << log();
  EXPECT_EQ(opens + 1, g_device.opens());
  EXPECT_TRUE(g_device.media_connected());
  stop_and_settle();
}

// A listener whose accept queue is full: the kernel drops every further
// SYN, so a connect to it gets no answer at all.
struct DeafListener {
  DeafListener() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    fds.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    bind(fds[0], reinterpret_cast<sockaddr*>(&a), len);
    listen(fds[0], 0);
    getsockname(fds[0], reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    for (int i = 0; i < 2; ++i) {
      fds.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
      connect(fds.back(), reinterpret_cast<sockaddr*>(&a), len);
    }
  }
  ~DeafListener() {
    for (int fd : fds) close(fd);
  }
  std::vector<int> fds;
  int port = 0;
};

TEST_F(Controller, StopEndsTheSessionInEveryPhaseWithoutAFailure) {
  settings("[client]\nreconnect = 60\n");
  struct Phase {
    const char* name;
    std::vector<std::string> server;  // empty: the deaf listener instead
    const char* server_says;          // where the server shows the phase, or
    const char* session_says;         // where the session shows it
  } phases[] = {
      {"tcp connect", {}, nullptr, "connecting to 127.0.0.1:"},
      {"greeting", {"--silent", "greeting"}, "silent from greeting on", nullptr},
      {"login", {"--silent", "login"}, "silent from login on", nullptr},
      {"tunnel wait", {"--silent", "tunnel-wait"}, "silent from tunnel-wait on", nullptr},
      {"connected", {"-q"}, nullptr, "remote session started"},
      {"reconnect wait", {"--drop", "tunnel"}, nullptr, "reconnect after 60 seconds..."},
  };
  for (const Phase& ph : phases) {
    SCOPED_TRACE(ph.name);
    kst::ServerProcess srv;
    DeafListener deaf;
    int port = deaf.port;
    if (!ph.server.empty()) {
      ASSERT_TRUE(srv.start(ph.server));
      port = srv.port;
    }
    start(port, "<reconnect>1</reconnect>");
    if (ph.server_says) {
      ASSERT_TRUE(srv.wait_for(ph.server_says, 30000)) << srv.output();
    } else {
      ASSERT_TRUE(logged(ph.session_says)) << log();
    }
    size_t at = log().size();
    stop_and_settle();
    // A stop is no failure: nothing timed out, nothing was logged as an
    // error, no further server was tried.
    std::string after = log().substr(at);
    EXPECT_EQ(std::string::npos, after.find("[error]")) << after;
    EXPECT_EQ(std::string::npos, after.find("connecting to")) << after;
  }
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  int rc = RUN_ALL_TESTS();
  service_down();
  return rc;
}
