#include "tunnel_site.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "process.h"
#include "wait.h"

namespace {

std::string tag() { return std::to_string(getpid() % 100000); }

}  // namespace

TunnelSite::TunnelSite()
    : srv_("vst-s" + tag()), cli_("vst-c" + tag()), veth_a_("vsta" + tag()), veth_b_("vstb" + tag()) {
  chmod(root_.path().c_str(), 0755);
  std::string cmds[] = {
      "ip netns add " + srv_,
      "ip netns add " + cli_,
      "ip link add " + veth_a_ + " netns " + srv_ + " type veth peer name " + veth_b_ + " netns " + cli_,
      "ip -n " + srv_ + " addr add 10.203.0.1/24 dev " + veth_a_,
      "ip -n " + cli_ + " addr add 10.203.0.2/24 dev " + veth_b_,
      "ip -n " + srv_ + " link set lo up",
      "ip -n " + cli_ + " link set lo up",
      "ip -n " + srv_ + " link set " + veth_a_ + " up",
      "ip -n " + cli_ + " link set " + veth_b_ + " up",
      "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=10.203.0.1 -keyout '" + root() +
          "/server.key' -out '" + root() + "/server.crt' 2>/dev/null",
  };
  for (const auto& c : cmds)
    if (std::system(c.c_str()) != 0) return;
  write_file(root() + "/users", "user:secret\n");
  ok_ = true;
}

TunnelSite::~TunnelSite() {
  stop_kevad();
  finish(vlncard_, SIGTERM);
  stop_server();
  std::system(("ip netns del " + srv_ + " 2>/dev/null").c_str());
  std::system(("ip netns del " + cli_ + " 2>/dev/null").c_str());
}

pid_t TunnelSite::start(const std::string& ns, const std::vector<std::string>& argv, const std::string& err_file,
                        const std::vector<std::string>& env) {
  std::vector<std::string> all = {"VELARN_ROOT=" + root()};
  all.insert(all.end(), env.begin(), env.end());
  return spawn(argv, {.netns = ns, .err_file = err_file, .env = all});
}

bool TunnelSite::start_server(const std::vector<std::string>& extra) {
  std::vector<std::string> argv = {KEVA_SERVER_PATH,
                                   "--listen",
                                   "10.203.0.1",
                                   "--cert",
                                   root() + "/server.crt",
                                   "--key",
                                   root() + "/server.key",
                                   "--users",
                                   root() + "/users",
                                   "--tap",
                                   "kevatap"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  server_ = start(srv_, argv, root() + "/server.log");
  if (!wait_until(
          [&] {
            return in_ns(srv_, "ip link show kevatap >/dev/null 2>&1") == 0 &&
                   read_file(root() + "/server.log").find("listening") != std::string::npos;
          },
          5000, 50))
    return false;
  return in_ns(srv_, "ip addr add 192.168.203.1/24 dev kevatap && ip link set kevatap up") == 0;
}

void TunnelSite::stop_server() {
  finish(server_, SIGTERM);
  server_ = 0;
}

bool TunnelSite::start_adapter(bool with_address) {
  std::string env = "VELARN_ROOT='" + root() + "' ";
  if (std::system((env + VLNCARDSETUP_PATH + " install >/dev/null 2>&1").c_str()) != 0) return false;
  vlncard_ = start(cli_, {VLNCARD_PATH}, root() + "/vlncard.log");
  wait_until(
      [&] {
        std::string links = capture("ip -n " + cli_ + " -o link show");
        auto p = links.find(": vln");
        if (p != std::string::npos) ifname_ = links.substr(p + 2, 11);
        return !ifname_.empty();
      },
      5000, 50);
  if (ifname_.empty()) return false;
  // No IPv6 chatter: the tests count what crosses the adapter.
  in_ns(cli_, "sysctl -qw net.ipv6.conf." + ifname_ + ".disable_ipv6=1");
  if (!with_address) return true;
  return in_ns(cli_, "ip addr add 192.168.203.2/24 dev " + ifname_) == 0;
}

bool TunnelSite::restart_vlncard() {
  finish(vlncard_, SIGKILL);
  vlncard_ = start(cli_, {VLNCARD_PATH}, root() + "/vlncard.log");
  return wait_until([&] { return in_ns(cli_, "ip link show " + ifname_ + " >/dev/null 2>&1") == 0; }, 5000, 50);
}

bool TunnelSite::start_kevad(const std::string& ini) {
  write_file(data("kevad.ini"), ini);
  kevad_ = start(cli_, {KEVAD_PATH, "service"}, root() + "/kevad.err");
  return wait_for_log(data("kevad.log"), "startup succeeded", 5000);
}

bool TunnelSite::start_kevad_env(const std::string& ini, const std::vector<std::string>& env) {
  write_file(data("kevad.ini"), ini);
  kevad_ = start(cli_, {KEVAD_PATH, "service"}, root() + "/kevad.err", env);
  return wait_for_log(data("kevad.log"), "startup succeeded", 5000);
}

bool TunnelSite::start_kevad_wrapped(const std::string& ini, const std::vector<std::string>& wrapper) {
  write_file(data("kevad.ini"), ini);
  std::vector<std::string> argv = wrapper;
  argv.push_back(KEVAD_PATH);
  argv.push_back("service");
  kevad_ = start(cli_, argv, root() + "/kevad.err");
  return wait_for_log(data("kevad.log"), "startup succeeded", 5000);
}

int TunnelSite::stop_kevad() {
  int rc = finish(kevad_, SIGTERM);
  kevad_ = 0;
  return rc;
}

std::string TunnelSite::profile(const std::string& extra, const std::string& password) const {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?><profile version=\"1.0\"><host>10.203.0.1</host>"
         "<authtype>password</authtype><switch>test</switch><username>user</username><password>" +
         password + "</password>" + extra + "</profile>";
}

int TunnelSite::in_ns(const std::string& ns, const std::string& cmd) const {
  std::string full = "ip netns exec " + ns + " sh -c '" + cmd + "'";
  int rc = std::system(full.c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string TunnelSite::capture(const std::string& cmd) const {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char b[512];
    while (fgets(b, sizeof b, p)) out += b;
    pclose(p);
  }
  return out;
}

bool TunnelSite::wait_for_log(const std::string& file, const std::string& text, int ms) const {
  return wait_for_text(file, text, ms);
}

std::string channel_request(const std::string& text, int timeout_ms) {
  auto c = velarn::local_pipe_connect("\\\\.\\pipe\\kevad");
  if (!c) return "<no channel>";
  c->write(text.data(), text.size());
  char buf[8192];
  long n = c->read(buf, sizeof buf, timeout_ms);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string post_session(const std::string& profile) {
  return channel_request("POST /keva/client/x HTTP/1.1\r\nContent-Length: " + std::to_string(profile.size()) +
                         "\r\n\r\n" + profile);
}

Listener::Listener() : conn_(velarn::local_pipe_connect("\\\\.\\pipe\\kevad")) {
  if (!conn_) return;
  std::string req = "GET /keva/listen HTTP/1.1\r\n\r\n";
  conn_->write(req.data(), req.size());
  thread_ = std::thread([this] {
    char buf[2048];
    for (;;) {
      long n = conn_->read(buf, sizeof buf);
      if (n <= 0) break;
      std::lock_guard<std::mutex> lock(m_);
      events_.emplace_back(buf, static_cast<size_t>(n));
      cv_.notify_all();
    }
    std::lock_guard<std::mutex> lock(m_);
    done_ = true;
    cv_.notify_all();
  });
  // Make sure the service has taken the listener before anything happens.
  channel_request("GET /keva/ HTTP/1.1\r\n\r\n");
}

Listener::~Listener() {
  if (conn_) conn_->shutdown();
  if (thread_.joinable()) thread_.join();
}

std::vector<std::string> Listener::events() {
  std::lock_guard<std::mutex> lock(m_);
  return events_;
}

std::vector<std::string> Listener::states() {
  std::vector<std::string> out;
  for (const auto& e : events())
    if (e.rfind("event=State-Change&", 0) == 0) out.push_back(e.substr(e.rfind("message=") + 8));
  return out;
}

bool Listener::wait_for(const std::string& text, int ms) {
  std::unique_lock<std::mutex> lock(m_);
  return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    for (const auto& e : events_)
      if (e.find(text) != std::string::npos) return true;
    return false;
  });
}
