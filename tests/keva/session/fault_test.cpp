// Hostile and broken peers against the whole service: after each, the service
// must answer, hold no route, threads or descriptors it did not hold before,
// and have written no secret.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "tunnel_site.h"

namespace {

const std::string kCreated = "HTTP/1.1 201 Created\r\n";

int count_entries(const std::string& dir) {
  int n = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

bool eventually(const std::function<bool()>& cond, int ms) {
  for (int t = 0; t < ms; t += 100) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return cond();
}

// A listener whose accept queue is full and never drained: the kernel drops
// every further SYN, so a connect to it gets no answer at all.
const char kDeaf[] = R"(import socket, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("10.203.0.1", 5711))
s.listen(0)
held = []
for _ in range(2):
    c = socket.socket()
    c.setblocking(False)
    c.connect_ex(("10.203.0.1", 5711))
    held.append(c)
time.sleep(120)
)";

// A CONNECT proxy that answers every request with one status line.
const char kProxy[] = R"(import socket
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("10.203.0.1", 8080))
s.listen(8)
while True:
    c, _ = s.accept()
    c.recv(4096)
    c.sendall(STATUS.encode() + b"\r\n\r\n")
    c.close()
)";

class Fault : public ::testing::Test {
 public:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (namespaces, TAP devices)";
    site = std::make_unique<TunnelSite>();
    ASSERT_TRUE(site->ok());
  }
  void TearDown() override { site.reset(); }

  // Server (with its options), adapter, kevad; the counts to come back to.
  void start(const std::vector<std::string>& server, const std::string& ini = "[client]\nreconnect = 0\n",
             const std::vector<std::string>& env = {}) {
    if (!server.empty() && server[0].rfind("proxy=", 0) == 0) {
      write_file(site->root() + "/proxy.py", "STATUS = '" + server[0].substr(6) + "'\n" + kProxy);
      background(site->srv_ns(), "/usr/bin/python3 " + site->root() + "/proxy.py");
      ASSERT_TRUE(
          eventually([&] { return site->in_ns(site->srv_ns(), "ss -ltn | grep -q 10.203.0.1:8080") == 0; }, 10000));
    } else if (!server.empty() && server[0] == "deaf") {
      write_file(site->root() + "/deaf.py", kDeaf);
      background(site->srv_ns(), "/usr/bin/python3 " + site->root() + "/deaf.py");
      ASSERT_TRUE(
          eventually([&] { return site->in_ns(site->srv_ns(), "ss -ltn | grep -q 10.203.0.1:5711") == 0; }, 10000));
    } else {
      ASSERT_TRUE(site->start_server(server));
    }
    ASSERT_TRUE(site->start_adapter());
    ASSERT_TRUE(site->start_kevad_env(ini, env));
    ASSERT_EQ(0u, channel_request("GET /keva/ HTTP/1.1\r\n\r\n").rfind("HTTP/1.1", 0));
    threads = count_entries(proc("task"));
    fds = count_entries(proc("fd"));
    listener = std::make_unique<Listener>();
    ASSERT_TRUE(listener->ok());
  }
  std::string proc(const std::string& what) { return "/proc/" + std::to_string(site->kevad_pid()) + "/" + what; }
  std::string post(const std::string& profile) {
    return channel_request("POST /keva/client/x HTTP/1.1\r\nContent-Length: " + std::to_string(profile.size()) +
                           "\r\n\r\n" + profile);
  }
  bool stop_session() {
    return channel_request("DELETE /keva/client/x HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200", 0) == 0;
  }
  std::string log() { return read_file(site->data("kevad.log")); }
  bool logged(const std::string& text, int ms) { return site->wait_for_log(site->data("kevad.log"), text, ms); }
  bool terminated(int ms) { return listener->wait_for("message=Terminate", ms); }
  void background(const std::string& ns, const std::string& cmd) {
    site->in_ns(ns, "timeout 60 " + cmd + " >/dev/null 2>&1 &");
  }
  // Frames towards the server site as fast as they go; a fixed neighbour
  // entry, so that they go whether or not anything answers.
  void flood_from_client() {
    site->in_ns(site->cli_ns(), "ip neigh replace 192.168.203.1 lladdr 02:00:00:00:00:99 dev " + site->adapter());
    background(site->cli_ns(), "ping -q -i 0.002 -s 20000 -c 20000 192.168.203.1");
  }

  // What must hold once no session runs, whatever happened before.
  void expect_settled() {
    listener.reset();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0u, channel_request("GET /keva/ HTTP/1.1\r\n\r\n", 1000).rfind("HTTP/1.1", 0));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    EXPECT_TRUE(eventually(
        [&] { return site->capture("ip -n " + site->cli_ns() + " route show 10.203.0.1/32").empty(); }, 5000));
    // The counts before may include a channel client being let go.
    EXPECT_TRUE(eventually([&] { return count_entries(proc("task")) <= threads; }, 10000))
        << count_entries(proc("task")) << " threads, " << threads << " before";
    EXPECT_TRUE(eventually([&] { return count_entries(proc("fd")) <= fds; }, 10000))
        << count_entries(proc("fd")) << " descriptors, " << fds << " before";
    for (const char* f : {"kevad.log", "kevad-error.log", "session.log", "trace.log"})
      EXPECT_EQ(std::string::npos, read_file(site->data(f)).find("secret")) << f;
  }

  std::unique_ptr<TunnelSite> site;
  std::unique_ptr<Listener> listener;
  int threads = 0, fds = 0;
};

}  // namespace

// Each case: the server's options, what is done once the session was asked
// for, and the line the service must log on its way to "Terminate".
struct Case {
  const char* name;
  std::vector<std::string> server;
  std::string profile_extra;
  std::string ini;
  std::function<void(Fault&)> act;
  const char* line;
};

class FaultCase : public Fault, public ::testing::WithParamInterface<int> {};

static const Case& fault_case(int i);

TEST_P(FaultCase, EndsCleanly) {
  const Case& c = fault_case(GetParam());
  start(c.server, c.ini.empty() ? "[client]\nreconnect = 0\n" : c.ini);
  if (HasFatalFailure()) return;
  ASSERT_EQ(kCreated, post(site->profile(c.profile_extra)).substr(0, kCreated.size()));
  c.act(*this);
  EXPECT_TRUE(terminated(90000)) << log();
  if (c.line) {
    EXPECT_NE(std::string::npos, log().find(c.line)) << log();
  }
  expect_settled();
}

namespace {

void wait_connected(Fault& f) { ASSERT_TRUE(f.listener->wait_for("message=Connected", 15000)) << f.log(); }
// A stop in the middle of something that would otherwise last: it must end
// the session within a couple of seconds.
void stop_soon(Fault& f) {
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(f.stop_session());
  EXPECT_TRUE(f.terminated(20000)) << f.log();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5)) << f.log();
}
std::function<void(Fault&)> stop_after_log(const std::string& text) {
  return [text](Fault& f) {
    ASSERT_TRUE(f.logged(text, 30000)) << f.log();
    stop_soon(f);
  };
}
std::function<void(Fault&)> refused(const char* why) {
  return [why](Fault& f) { EXPECT_TRUE(f.logged(std::string("login error: ") + why, 20000)) << f.log(); };
}

std::vector<Case> make_cases() {
  const std::string proxy = "<proxyHost>10.203.0.1</proxyHost><proxyPort>8080</proxyPort>";
  return {
      {"ServerKilledMidTunnel",
       {},
       "",
       "",
       [](Fault& f) {
         wait_connected(f);
         f.site->stop_server();
       },
       "remote session closed"},
      {"ServerNotReading",
       {"--stall"},
       "",
       "",
       [](Fault& f) {
         wait_connected(f);
         f.flood_from_client();
       },
       "remote session timeout"},
      {"StopWhileTheWriterIsStalled",
       {"--stall"},
       "",
       "",
       [](Fault& f) {
         wait_connected(f);
         f.flood_from_client();
         std::this_thread::sleep_for(std::chrono::seconds(4));
         stop_soon(f);
       },
       nullptr},
      {"LoopingBeforeTunnel",
       {"--config-loop", "500"},
       "",
       "",
       [](Fault& f) {
         ASSERT_TRUE(f.listener->wait_for("message=Connecting", 10000));
         std::this_thread::sleep_for(std::chrono::seconds(3));
         stop_soon(f);
       },
       nullptr},
      {"StopDuringAnUnansweredConnect", {"deaf"}, "", "", stop_after_log("connecting to 10.203.0.1:5711"), nullptr},
      // Nobody stops it: the login phases as a whole have a deadline.
      {"LoopingBeforeTunnelMeetsTheLoginDeadline",
       {"--config-loop", "500"},
       "",
       "",
       [](Fault&) {},
       "connection timeout"},
      {"StopDuringGreeting",
       {"--silent", "greeting"},
       "",
       "",
       stop_after_log("connecting to 10.203.0.1:5711"),
       nullptr},
      {"StopDuringLogin", {"--silent", "login"}, "", "", stop_after_log("using cipher"), nullptr},
      {"StopDuringReconnectWait",
       {"--drop", "tunnel:300"},
       "",
       "[client]\nreconnect = 30\n",
       stop_after_log("reconnect after 30 seconds..."),
       nullptr},
      {"RefusedAuthentication", {"--refuse", "0"}, "", "", refused("authentication failure"), nullptr},
      {"RefusedAlreadyConnected", {"--refuse", "2"}, "", "", refused("user already connected"), nullptr},
      {"RefusedTooMany", {"--refuse", "3"}, "", "", refused("too many connections"), nullptr},
      {"RefusedDisabled", {"--refuse", "4"}, "", "", refused("user disabled"), nullptr},
      {"Proxy407",
       {"proxy=HTTP/1.0 407 Proxy Authentication Required"},
       proxy,
       "",
       [](Fault&) {},
       "proxy connection error: authentication failure"},
      {"Proxy503",
       {"proxy=HTTP/1.0 503 Service Unavailable"},
       proxy,
       "",
       [](Fault&) {},
       "proxy error: Service Unavailable"},
      {"AdapterHostRestarted",
       {},
       "",
       "",
       [](Fault& f) {
         wait_connected(f);
         // The adapter is open once a frame went through.
         ASSERT_EQ(0, f.site->in_ns(f.site->cli_ns(), "ping -c 1 -W 5 192.168.203.1 >/dev/null"));
         ASSERT_TRUE(f.site->restart_vlncard());
         EXPECT_TRUE(f.logged("restarting device", 30000)) << f.log();
         stop_soon(f);
       },
       nullptr},
      {"ChannelFloodedDuringASession",
       {},
       "",
       "",
       [](Fault& f) {
         wait_connected(f);
         std::vector<std::unique_ptr<velarn::PipeConnection>> held;
         // Fewer than the listen backlog: a held connection keeps the channel
         // busy, and a client beyond the backlog would wait in its connect.
         static const std::string kinds[] = {"\x01\x02garbage\xff\r\n\r\n",
                                             "GET /keva/client/st",
                                             "DELETE\r\n\r\n",
                                             "POST /keva/client/x HTTP/1.1\r\nContent-Length: 99999\r\n\r\n<pro",
                                             std::string(5000, 'A'),
                                             ""};
         for (int i = 0; i < 12; ++i) {
           auto c = velarn::local_pipe_connect("\\\\.\\pipe\\kevad");
           if (!c) continue;
           const std::string& k = kinds[i % 6];
           if (!k.empty()) c->write(k.data(), k.size());
           if (i % 2) held.push_back(std::move(c));  // half of them stay open, silent after
         }
         // The tunnel does not wait for the channel.
         EXPECT_EQ(0, f.site->in_ns(f.site->cli_ns(), "ping -c 1 -W 3 192.168.203.1 >/dev/null"));
         held.clear();
         EXPECT_NE(std::string::npos,
                   channel_request("GET /keva/client/state HTTP/1.1\r\n\r\n", 30000).find("Connected"));
         stop_soon(f);
       },
       nullptr},
  };
}

const std::vector<Case>& cases() {
  static const std::vector<Case> all = make_cases();
  return all;
}

}  // namespace

static const Case& fault_case(int i) { return cases()[static_cast<size_t>(i)]; }

INSTANTIATE_TEST_SUITE_P(All, FaultCase, ::testing::Range(0, static_cast<int>(cases().size())),
                         [](const ::testing::TestParamInfo<int>& i) {
                           return cases()[static_cast<size_t>(i.param)].name;
                         });

// The server asks for a TLS 1.3 key update every few hundred writes while
// both sides ping each other flat out: the client's reader must answer each
// update while its writer sends, and not one frame may be lost or corrupted.
TEST_F(Fault, KeyUpdatesDuringABidirectionalFlood) {
  start({"--key-update", "200"});
  if (HasFatalFailure()) return;
  ASSERT_EQ(kCreated, post(site->profile()).substr(0, kCreated.size()));
  ASSERT_TRUE(listener->wait_for("message=Connected", 15000)) << log();
  auto flood = [&](const std::string& ns, const char* to, std::string* out) {
    *out = site->capture("ip netns exec " + ns + " ping -q -f -c 5000 -w 120 -s 1000 -p a55a0ff0 " + to + " 2>&1");
  };
  std::string up, down;
  std::thread a(flood, site->cli_ns(), "192.168.203.1", &up);
  std::thread b(flood, site->srv_ns(), "192.168.203.2", &down);
  a.join();
  b.join();
  for (const std::string* out : {&up, &down}) {
    EXPECT_NE(std::string::npos, out->find("5000 received")) << *out;
    EXPECT_EQ(std::string::npos, out->find("wrong data")) << *out;
  }
  EXPECT_EQ(std::string::npos, log().find("ssl error")) << log();
  ASSERT_TRUE(stop_session());
  ASSERT_TRUE(terminated(20000));
  site->stop_server();
  std::string server = read_file(site->root() + "/server.log");
  size_t at = server.find("key updates requested: ");
  ASSERT_NE(std::string::npos, at) << server;
  EXPECT_GE(std::atoi(server.c_str() + at + 23), 20) << server;
  EXPECT_NE(std::string::npos, server.find("dropped 0, bad 0")) << server;
  expect_settled();
}

namespace {

// logind on a bus of the test's own: it hands out "delay" inhibitors, notes
// when each is let go, and announces sleep and wake-up when told.
const char kLogind[] = R"PY(import os, sys
from gi.repository import Gio, GLib
log = open(sys.argv[1], "a", buffering=1)
conn = Gio.DBusConnection.new_for_address_sync(
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"],
    Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
node = Gio.DBusNodeInfo.new_for_xml(
    '<node><interface name="org.freedesktop.login1.Manager"><method name="Inhibit">'
    '<arg type="s" direction="in"/><arg type="s" direction="in"/><arg type="s" direction="in"/>'
    '<arg type="s" direction="in"/><arg type="h" direction="out"/></method>'
    '<signal name="PrepareForSleep"><arg type="b"/></signal></interface></node>')
def released(fd, cond):
    log.write("released\n")
    os.close(fd)
    return False
def on_call(c, sender, path, iface, method, params, inv):
    what, who, why, mode = params.unpack()
    r, w = os.pipe()
    fds = Gio.UnixFDList.new()
    idx = fds.append(w)
    os.close(w)
    log.write("inhibit %s %s\n" % (what, mode))
    inv.return_value_with_unix_fd_list(GLib.Variant("(h)", (idx,)), fds)
    GLib.io_add_watch(r, GLib.PRIORITY_DEFAULT, GLib.IO_HUP | GLib.IO_ERR, released)
conn.register_object("/org/freedesktop/login1", node.interfaces[0], on_call, None, None)
Gio.bus_own_name_on_connection(conn, "org.freedesktop.login1", 0, None, None)
def poll():
    p = sys.argv[2]
    if os.path.exists(p):
        cmd = open(p).read().strip()
        os.unlink(p)
        log.write(cmd + "\n")
        conn.emit_signal(None, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                         "PrepareForSleep", GLib.Variant("(b)", (cmd == "suspend",)))
    return True
GLib.timeout_add(100, poll)
log.write("ready\n")
GLib.MainLoop().run()
)PY";

class Sleep : public Fault {
 public:
  void SetUp() override {
    Fault::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (std::system("command -v dbus-daemon >/dev/null && /usr/bin/python3 -c 'import gi' 2>/dev/null") != 0)
      GTEST_SKIP() << "needs dbus-daemon and python3-gi";
    std::string dir = site->root();
    write_file(dir + "/bus.conf",
               "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
               "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\"><busconfig><type>system</type>"
               "<listen>unix:path=" +
                   dir +
                   "/bus</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                   "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                   "</policy></busconfig>");
    write_file(dir + "/logind.py", kLogind);
    bus = "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dir + "/bus";
    std::system(
        ("timeout 120 dbus-daemon --config-file=" + dir + "/bus.conf --nofork --nopidfile >/dev/null 2>&1 &").c_str());
    ASSERT_TRUE(eventually([&] { return access((dir + "/bus").c_str(), F_OK) == 0; }, 5000));
    std::system(("env " + bus + " timeout 120 /usr/bin/python3 " + dir + "/logind.py " + dir + "/logind.log " + dir +
                 "/logind.cmd >/dev/null 2>&1 &")
                    .c_str());
    ASSERT_TRUE(eventually([&] { return logind().find("ready") != std::string::npos; }, 10000));
    start({}, "", {bus});
    if (HasFatalFailure()) return;
    ASSERT_EQ(kCreated, post(site->profile()).substr(0, kCreated.size()));
    ASSERT_TRUE(listener->wait_for("message=Connected", 15000)) << log();
  }
  std::string logind() { return read_file(site->root() + "/logind.log"); }
  void tell(const char* what) { write_file(site->root() + "/logind.cmd", what); }
  int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
  }
  std::string bus;
};

}  // namespace

// The inhibitor is let go only once the session is closed; it is taken again
// on wake-up, and the session comes back.
TEST_F(Sleep, SuspendThenResume) {
  EXPECT_TRUE(eventually([&] { return logind().find("inhibit sleep delay") != std::string::npos; }, 5000)) << logind();
  tell("suspend");
  ASSERT_TRUE(eventually([&] { return logind().find("released") != std::string::npos; }, 15000)) << logind() << log();
  EXPECT_NE(std::string::npos, log().find("remote session closed")) << log();
  tell("resume");
  EXPECT_TRUE(eventually([&] { return count(logind(), "inhibit sleep delay") == 2; }, 5000)) << logind();
  EXPECT_TRUE(eventually([&] { return count(log(), "remote session started") == 2; }, 20000)) << log();
  ASSERT_TRUE(stop_session());
  EXPECT_TRUE(terminated(20000));
  expect_settled();
}

// A stop while suspended ends the session: waking up brings nothing back.
TEST_F(Sleep, SuspendThenStop) {
  tell("suspend");
  ASSERT_TRUE(eventually([&] { return logind().find("released") != std::string::npos; }, 15000)) << logind() << log();
  ASSERT_TRUE(stop_session());
  EXPECT_TRUE(terminated(20000)) << log();
  tell("resume");
  EXPECT_TRUE(eventually([&] { return count(logind(), "inhibit sleep delay") == 2; }, 5000)) << logind();
  // Nothing must follow the wake-up: watched for a bounded time, since a
  // session that does not come back sends no event to wait for.
  EXPECT_FALSE(eventually([&] { return count(log(), "connecting to") > 1; }, 3000)) << log();
  EXPECT_EQ(1, count(log(), "remote session started")) << log();
  EXPECT_EQ(0u, channel_request("GET /keva/client/state HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 404", 0));
  expect_settled();
}
