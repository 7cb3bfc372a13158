// Linux: ISC dhclient run for the one interface, with its pid, lease and
// configuration files in the data folder and our own hook (vlnaddr-hook)
// as its script, so that nothing else of the machine is touched. The hook
// also applies a fixed address and undoes whatever it applied, from its own
// record of it. Where systemd-networkd or NetworkManager manage the
// interface they are left to do it.
#include "platform/addressing.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/roots.h"

namespace velarn {

namespace {

constexpr const char* kPath = "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
constexpr int kLevelError = 1, kLevelWarning = 2, kLevelInfo = 4, kLevelDebug = 5;

bool parse_ipv4(const std::string& text, uint32_t* out) {
  struct in_addr a {};
  if (text.empty() || inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *out = ntohl(a.s_addr);
  return true;
}

// The program's data files: beside it in the build tree, in ../share/velarn
// when installed.
std::string data_file(const std::string& name) {
  std::string here = roots::program_folder() + "/" + name;
  if (::access(here.c_str(), F_OK) == 0) return here;
  return roots::program_folder() + "/../share/velarn/" + name;
}

// Run as root, so only what nobody but root can change.
bool trusted_program(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 && !(st.st_mode & 022) &&
         (st.st_mode & 0100);
}

std::string first_program(std::initializer_list<const char*> candidates) {
  for (const char* c : candidates)
    if (trusted_program(c)) return c;
  return "";
}

// Network managers only see the interfaces of the machine's own network
// namespace.
bool in_init_netns() {
  struct stat a {
  }, b{};
  return ::stat("/proc/self/ns/net", &a) == 0 && ::stat("/proc/1/ns/net", &b) == 0 && a.st_ino == b.st_ino &&
         a.st_dev == b.st_dev;
}

std::string read_text(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Which network manager looks after the interface: "" for none.
std::string manager_of(const std::string& ifname) {
  if (!in_init_netns()) return "";
  unsigned index = if_nametoindex(ifname.c_str());
  std::string links = read_text("/run/systemd/netif/links/" + std::to_string(index));
  auto p = links.find("ADMIN_STATE=");
  if (index && p != std::string::npos) {
    std::string state = links.substr(p + 12, links.find('\n', p) - p - 12);
    if (state != "unmanaged" && state != "linger") return "systemd-networkd";
  }
  if (::access("/run/NetworkManager/NetworkManager.pid", F_OK) == 0) {
    std::string nmcli = first_program({"/usr/bin/nmcli", "/bin/nmcli"});
    // It holds a tap device it has no profile for without doing anything:
    // only a profile of its own (in use or waiting for the carrier) counts.
    // The interface name is ours (letters and hex digits): no quoting issue.
    std::string cmd =
        nmcli + " -t -g GENERAL.CONNECTION,GENERAL.AVAILABLE-CONNECTIONS device show " + ifname + " 2>/dev/null";
    std::string out;
    if (!nmcli.empty())
      if (FILE* f = ::popen(cmd.c_str(), "r")) {
        char b[256];
        while (std::fgets(b, sizeof b, f)) out += b;
        ::pclose(f);
      }
    if (out.find_first_not_of(" \n") != std::string::npos) return "NetworkManager";
  }
  return "";
}

// Waits for a child within a bound, then ends it; its exit code or -1.
int reap(pid_t pid, int ms) {
  int status = 0;
  for (int t = 0; t <= ms; t += 20) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (r < 0) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGTERM);
  for (int t = 0; t <= 1000; t += 20) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

// Lines the DHCP client and the hook write: "info: ...", "warning: ...",
// "error: ..." reach the log at that level, the client's chatter at debug.
class LineForwarder {
 public:
  explicit LineForwarder(std::function<void(int, const std::string&)> log) : log_(std::move(log)) {}
  ~LineForwarder() { close(); }

  // The write end for a child's output; -1 when no pipe could be had.
  int writer() {
    if (fds_[1] >= 0) return fds_[1];
    if (::pipe2(fds_, O_CLOEXEC) != 0) return -1;
    closing_ = false;
    thread_ = std::thread([this] { run(); });
    return fds_[1];
  }

  // Once every child is gone: what is left is read, within a bound.
  void close() {
    if (fds_[1] < 0) return;
    ::close(fds_[1]);
    fds_[1] = -1;
    closing_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(fds_[0]);
    fds_[0] = -1;
  }

 private:
  void run() {
    std::string pending;
    char buf[1024];
    // A grandchild that kept the pipe open must not hold the session up.
    int idle_ms = 0;
    for (;;) {
      struct pollfd p {
        fds_[0], POLLIN, 0
      };
      int r = ::poll(&p, 1, 200);
      if (r == 0) {
        if (closing_ && (idle_ms += 200) >= 3000) break;
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      ssize_t n = r > 0 ? ::read(fds_[0], buf, sizeof buf) : -1;
      if (n <= 0) break;
      pending.append(buf, size_t(n));
      for (size_t nl; (nl = pending.find('\n')) != std::string::npos;) {
        emit(pending.substr(0, nl));
        pending.erase(0, nl + 1);
      }
      if (pending.size() > 4096) pending.clear();
    }
    if (!pending.empty()) emit(pending);
  }

  void emit(std::string line) {
    for (char& c : line)
      if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    if (line.empty() || !log_) return;
    static const struct {
      const char* prefix;
      int level;
    } kinds[] = {{"error: ", kLevelError}, {"warning: ", kLevelWarning}, {"info: ", kLevelInfo}};
    for (const auto& k : kinds)
      if (line.rfind(k.prefix, 0) == 0) {
        log_(k.level, line.substr(std::strlen(k.prefix)));
        return;
      }
    log_(kLevelDebug, line);
  }

  std::function<void(int, const std::string&)> log_;
  int fds_[2] = {-1, -1};
  std::atomic<bool> closing_{false};
  std::thread thread_;
};

class LinuxAddressing : public AdapterAddressing {
 public:
  LinuxAddressing(std::string ifname, AddressingOptions options)
      : ifname_(std::move(ifname)), options_(std::move(options)), out_(options_.log) {
    std::string dir = roots::data_folder() + "/address";
    base_ = dir + "/" + ifname_;
    state_ = base_ + ".state";
    roots::make_dirs(dir, 0700);
  }
  ~LinuxAddressing() override { stop(); }

  const std::string& interface_name() const override { return ifname_; }

  bool start(const FixedAddress* fixed) override {
    std::lock_guard<std::mutex> lock(m_);
    if (started_) return true;
    if (if_nametoindex(ifname_.c_str()) == 0) {
      log(kLevelError, "adapter " + ifname_ + ": no such interface, no address");
      return false;
    }
    hook_ = data_file("vlnaddr-hook");
    if (!trusted_program(hook_)) {
      log(kLevelError, hook_ + ": missing, or not root's alone: the adapter gets no address");
      return false;
    }
    // What an earlier run left (the service was killed) goes first.
    if (::access(state_.c_str(), F_OK) == 0) run_hook({"reason=VLN_UNDO"});
    std::string manager = manager_of(ifname_);
    if (!manager.empty()) {
      log(kLevelInfo, "adapter " + ifname_ + " is managed by " + manager + ": its address comes from there");
      return true;
    }
    std::string have = interface_ipv4(ifname_);
    if (!have.empty()) {
      log(kLevelInfo, "adapter " + ifname_ + " already has the address " + have + ": left as it is");
      return true;
    }
    started_ = true;
    if (fixed) {
      std::vector<std::string> env = {"reason=VLN_STATIC", "new_ip_address=" + fixed->address,
                                      "new_subnet_mask=" + fixed->mask};
      if (!fixed->gateway.empty()) env.push_back("new_routers=" + fixed->gateway);
      if (run_hook(env) != 0) {
        log(kLevelError, "adapter " + ifname_ + ": the address " + fixed->address + " could not be set");
        return false;
      }
      return true;
    }
    std::string dhclient = first_program({"/usr/sbin/dhclient", "/sbin/dhclient"});
    if (dhclient.empty()) {
      log(kLevelError,
          "no DHCP client (dhclient, package isc-dhcp-client): the adapter " + ifname_ + " gets no address");
      return false;
    }
    write_client_config();
    dhclient_ = dhclient;
    // A client left running by a service that was killed goes first: never
    // two on one interface.
    end_stale_client();
    dhclient_pid_ = spawn(dhclient_args("-d"), {kPath});
    if (dhclient_pid_ <= 0) {
      log(kLevelError, "cannot start " + dhclient + ": " + std::strerror(errno));
      return false;
    }
    log(kLevelDebug, "adapter " + ifname_ + ": DHCP client started (pid " + std::to_string(dhclient_pid_) + ")");
    return true;
  }

  void stop() override {
    std::lock_guard<std::mutex> lock(m_);
    if (!started_) return;
    started_ = false;
    if (dhclient_pid_ > 0) {
      // Releases the lease (its hook takes the address away) and ends the
      // client that runs, through the pid file.
      pid_t rel = spawn(dhclient_args("-r"), {kPath});
      if (rel > 0) reap(rel, 10000);
      reap(dhclient_pid_, 3000);
      dhclient_pid_ = 0;
      log(kLevelDebug, "adapter " + ifname_ + ": DHCP client stopped");
    }
    // Whatever is still there, by the hook's own record.
    run_hook({"reason=VLN_UNDO"});
    out_.close();
  }

 private:
  void log(int level, const std::string& text) {
    if (options_.log) options_.log(level, text);
  }

  std::vector<std::string> hook_env() const {
    return {"VLN_STATE=" + state_, "VLN_DNS=" + options_.dns, "VLN_RESOLV_CONF=" + roots::root() + "/etc/resolv.conf",
            std::string("VLN_DEFAULT_ROUTE=") + (options_.default_route ? "1" : "0"),
            "VLN_METRIC=" + std::to_string(options_.route_metric)};
  }

  // The pid file outlives a reboot, so its number may be anyone's now: only
  // a dhclient on our own files is ended.
  void end_stale_client() {
    std::string pidfile = base_ + ".pid";
    long pid = std::atol(read_text(pidfile).c_str());
    ::unlink(pidfile.c_str());
    if (pid <= 1) return;
    std::string proc = "/proc/" + std::to_string(pid);
    std::string cmdline = read_text(proc + "/cmdline");
    for (char& c : cmdline)
      if (c == '\0') c = ' ';
    if (cmdline.find("dhclient") == std::string::npos || cmdline.find(" " + pidfile + " ") == std::string::npos) return;
    log(kLevelInfo,
        "adapter " + ifname_ + ": ending the DHCP client an earlier run left (pid " + std::to_string(pid) + ")");
    // Gone, or a zombie that only its new parent can reap.
    auto alive = [&] {
      std::string stat = read_text(proc + "/stat");
      auto p = stat.rfind(") ");
      return p != std::string::npos && p + 2 < stat.size() && stat[p + 2] != 'Z';
    };
    ::kill(pid_t(pid), SIGTERM);
    for (int t = 0; t < 5000 && alive(); t += 50) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (alive()) ::kill(pid_t(pid), SIGKILL);
  }

  // mode: "-d" runs it (in the foreground, our child), "-r" releases and
  // ends the one running.
  std::vector<std::string> dhclient_args(const char* mode) const {
    std::vector<std::string> a = {
        dhclient_,       "-4",  mode, "-v", "-pf", base_ + ".pid", "-lf", base_ + ".leases", "-cf",
        base_ + ".conf", "-sf", hook_};
    for (const auto& e : hook_env()) {
      a.push_back("-e");
      a.push_back(e);
    }
    a.push_back(ifname_);
    return a;
  }

  void write_client_config() {
    // Quick first tries: the tunnel is up when this starts, and a user
    // waits for the address.
    std::ofstream f(base_ + ".conf", std::ios::trunc);
    f << "request subnet-mask, broadcast-address, routers, domain-name, domain-name-servers,\n"
         "        domain-search, dhcp-lease-time, dhcp-renewal-time, dhcp-rebinding-time;\n"
         "timeout 30;\nretry 10;\ninitial-interval 1;\nbackoff-cutoff 4;\n";
  }

  int run_hook(std::vector<std::string> env) {
    env.push_back("interface=" + ifname_);
    env.push_back(kPath);
    for (auto& e : hook_env()) env.push_back(e);
    pid_t pid = spawn({hook_}, env);
    if (pid <= 0) return -1;
    return reap(pid, 20000);
  }

  // fork and exec with a clean environment, output to the forwarder.
  pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    int out = out_.writer();
    std::vector<char*> av, ev;
    for (auto& s : argv) av.push_back(const_cast<char*>(s.c_str()));
    av.push_back(nullptr);
    for (auto& s : env) ev.push_back(const_cast<char*>(s.c_str()));
    ev.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
      int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(out >= 0 ? out : null, 1);
      ::dup2(out >= 0 ? out : null, 2);
      ::close_range(3, ~0u, 0);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      ::execve(av[0], av.data(), ev.data());
      ::_exit(127);
    }
    return pid;
  }

  std::string ifname_;
  AddressingOptions options_;
  LineForwarder out_;
  std::string base_, state_, hook_, dhclient_;
  pid_t dhclient_pid_ = 0;
  bool started_ = false;
  std::mutex m_;
};

}  // namespace

std::string check_fixed_address(const FixedAddress& fixed) {
  uint32_t a = 0, m = 0, g = 0;
  if (!parse_ipv4(fixed.address, &a)) return "invalid address: " + fixed.address;
  if (!parse_ipv4(fixed.mask, &m)) return "invalid subnet mask: " + fixed.mask;
  // Contiguous ones from the top, and room for a host on the segment.
  if (m == 0 || (~m & (~m + 1)) != 0 || m == 0xffffffffu) return "invalid subnet mask: " + fixed.mask;
  if ((a >> 24) == 0 || (a >> 24) == 127 || (a >> 28) >= 14) return "invalid address: " + fixed.address;
  if (m != 0xfffffffeu && ((a & ~m) == 0 || (a & ~m) == ~m)) return "invalid address: " + fixed.address;
  if (!fixed.gateway.empty() && (!parse_ipv4(fixed.gateway, &g) || g == 0 || (g >> 28) >= 14))
    return "invalid gateway: " + fixed.gateway;
  return "";
}

std::string interface_ipv4(const std::string& ifname) {
  std::string out;
  struct ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (auto* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || ifname != i->ifa_name) continue;
    char text[INET_ADDRSTRLEN];
    auto* sin = reinterpret_cast<struct sockaddr_in*>(i->ifa_addr);
    inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
    int len = 0;
    if (i->ifa_netmask)
      len = __builtin_popcount(reinterpret_cast<struct sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
    if (!out.empty()) out += ' ';
    out += std::string(text) + "/" + std::to_string(len);
  }
  ::freeifaddrs(list);
  return out;
}

std::unique_ptr<AdapterAddressing> make_adapter_addressing(const std::string& instance_id, AddressingOptions options) {
  return std::make_unique<LinuxAddressing>(adapter_interface_name(instance_id), std::move(options));
}

}  // namespace velarn
