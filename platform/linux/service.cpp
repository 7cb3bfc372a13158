#include "platform/service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/roots.h"

namespace velarn {

// --- systemd service manager --------------------------------------------------

namespace {

std::string unit_name(const std::string& service_name) {
  std::string first = service_name.substr(0, service_name.find(' '));
  return first + ".service";
}

bool systemd_runs_this_root() {
  struct stat st;
  return roots::root().empty() && stat("/run/systemd/system", &st) == 0;
}

// A failure is said on standard error: the caller's exit code alone would
// not tell which step failed.
bool systemctl(const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("systemctl"));
    argv.push_back(const_cast<char*>("--quiet"));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp("systemctl", argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  std::string what;
  for (const auto& a : args) what += " " + a;
  std::fprintf(stderr, "systemctl%s failed (%s %d)\n", what.c_str(), WIFEXITED(status) ? "exit code" : "signal",
               WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status));
  return false;
}

class SystemdServiceManager : public ServiceManager {
 public:
  bool open() override {
    dir_ = roots::service_units_dir();
    return roots::make_dirs(dir_) && access(dir_.c_str(), W_OK) == 0;
  }

  bool create(const ServiceConfig& c) override {
    if (!service_command_valid(c.command) || !service_command_valid(c.name)) return false;
    std::string path = unit_path(c.name);
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return false;  // the service exists already
    config_ = c;
    if (!write_unit(c, "")) return false;
    if (systemd_runs_this_root() &&
        (!systemctl({"daemon-reload"}) || (c.auto_start && !systemctl({"enable", unit_name(c.name)})))) {
      // Not left half installed: the next install starts afresh.
      unlink(path.c_str());
      systemctl({"daemon-reload"});
      return false;
    }
    return true;
  }

  bool set_description(const std::string& name, const std::string& d) override {
    if (config_.name != name) return false;
    if (!write_unit(config_, d)) return false;
    return !systemd_runs_this_root() || systemctl({"daemon-reload"});
  }

  bool exists(const std::string& name) override {
    struct stat st;
    return stat(unit_path(name).c_str(), &st) == 0;
  }

  bool start(const std::string& name) override {
    return exists(name) && systemd_runs_this_root() && systemctl({"start", unit_name(name)});
  }

  bool stop(const std::string& name) override {
    return exists(name) && systemd_runs_this_root() && systemctl({"stop", unit_name(name)});
  }

  bool remove(const std::string& name) override {
    if (!exists(name)) return false;
    if (systemd_runs_this_root()) systemctl({"disable", unit_name(name)});
    bool ok = unlink(unit_path(name).c_str()) == 0;
    if (systemd_runs_this_root()) systemctl({"daemon-reload"});
    return ok;
  }

 private:
  std::string unit_path(const std::string& name) const { return roots::service_units_dir() + "/" + unit_name(name); }

  bool write_unit(const ServiceConfig& c, const std::string& description) {
    std::string path = unit_path(c.name);
    std::string tmp = path + ".tmp";
    {
      std::ofstream out(tmp, std::ios::trunc);
      out << systemd_unit_text(c, description);
      if (!out.flush()) return false;
    }
    return rename(tmp.c_str(), path.c_str()) == 0;
  }

  std::string dir_;
  ServiceConfig config_;
};

}  // namespace

std::string systemd_exec_escape(const std::string& command) {
  // Quotes stay: they group words for systemd as for the command line they
  // came from. What systemd would expand or read as an escape is doubled.
  std::string out;
  for (size_t i = 0; i < command.size(); ++i) {
    char ch = command[i];
    if (ch == '%' || ch == '$' || ch == '\\') {
      out += ch;
      out += ch;
    } else if (ch == ';' && (i == 0 || command[i - 1] == ' ') && (i + 1 == command.size() || command[i + 1] == ' ')) {
      out += "\\;";  // a lone ";" would end the command line
    } else {
      out += ch;
    }
  }
  return out;
}

std::string systemd_unit_text(const ServiceConfig& c, const std::string& description) {
  std::string text = "[Unit]\n";
  text += "Description=" + (description.empty() ? c.display_name : description) + "\n";
  text += "Documentation=man:kevad(8)\nAfter=network.target vlncard.service\nWants=vlncard.service\n";
  text += "\n[Service]\nType=notify\n";
  text += "ExecStart=" + systemd_exec_escape(c.command) + "\n";
  text += "KillMode=mixed\nTimeoutStopSec=30\n";
  // Root facing servers and local users: keep only what a tunnel needs.
  // Routes and the adapter want CAP_NET_ADMIN, the DHCP client it starts on
  // the adapter a packet socket (CAP_NET_RAW, AF_PACKET); what it reads is
  // root's own or left readable by the users who wrote it, so no DAC
  // override. The priority it asks for is granted here, as it may no longer
  // raise it.
  text +=
      "Nice=-10\n"
      "CapabilityBoundingSet=CAP_NET_ADMIN CAP_NET_RAW\n"
      "NoNewPrivileges=yes\n"
      "ProtectSystem=strict\n"
      "ReadWritePaths=/var/lib/Velarn /run/velarn -/etc/velarn -/var/lib/softhsm -/run/resolvconf\n"
      "ProtectHome=yes\n"
      "PrivateTmp=yes\n"
      "ProtectKernelTunables=yes\n"
      "ProtectKernelModules=yes\n"
      "ProtectKernelLogs=yes\n"
      "ProtectControlGroups=yes\n"
      "ProtectClock=yes\n"
      "ProtectHostname=yes\n"
      "RestrictNamespaces=yes\n"
      "RestrictRealtime=yes\n"
      "RestrictSUIDSGID=yes\n"
      "LockPersonality=yes\n"
      "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK AF_PACKET\n"
      "SystemCallArchitectures=native\n";
  text += "\n[Install]\nWantedBy=multi-user.target\n";
  return text;
}

std::unique_ptr<ServiceManager> make_systemd_service_manager() { return std::make_unique<SystemdServiceManager>(); }

// --- service host -------------------------------------------------------------------

struct ServiceHost::Impl {
  bool debug_mode = false;
  sigset_t signals{};
  int sigfd = -1;
  int wakefd = -1;
  sd_bus* bus = nullptr;
  std::thread thread;
  std::atomic<bool> closing{false};
  std::mutex mutex;
  std::deque<std::pair<uint32_t, uint32_t>> injected;
  Handler handler;

  void deliver(uint32_t control, uint32_t event) {
    if (handler) handler(control, event);
  }

  // The match cannot name logind as the sender (the bus gives each signal
  // the sender's unique name, which a match on the well-known one misses
  // here), so the sender is checked against logind's owner: any local
  // program may emit a signal that looks like logind's.
  static bool from_logind(sd_bus_message* m) {
    const char* sender = sd_bus_message_get_sender(m);
    if (!sender) return false;
    sd_bus_creds* creds = nullptr;
    const char* owner = nullptr;
    bool ok = sd_bus_get_name_creds(sd_bus_message_get_bus(m), "org.freedesktop.login1", SD_BUS_CREDS_UNIQUE_NAME,
                                    &creds) >= 0 &&
              sd_bus_creds_get_unique_name(creds, &owner) >= 0 && owner && std::strcmp(owner, sender) == 0;
    sd_bus_creds_unref(creds);
    return ok;
  }

  static int on_shutdown(sd_bus_message* m, void* user, sd_bus_error*) {
    if (!from_logind(m)) return 0;
    int start = 0;
    if (sd_bus_message_read(m, "b", &start) >= 0 && start)
      static_cast<Impl*>(user)->deliver(SERVICE_CONTROL_SHUTDOWN, 0);
    return 0;
  }

  // logind waits for a "delay" inhibitor before the machine sleeps: held
  // from start and from each resume, let go once the handler has run the
  // session's suspend step (the handler returns only then).
  int inhibit_fd = -1;

  void take_inhibitor() {
    if (!bus || inhibit_fd >= 0) return;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r =
        sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "Inhibit", &error, &reply, "ssss", "sleep", "kevad", "closing the VPN session", "delay");
    int fd = -1;
    if (r >= 0 && sd_bus_message_read(reply, "h", &fd) >= 0 && fd >= 0)
      inhibit_fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);  // the reply owns fd
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
  }

  void release_inhibitor() {
    if (inhibit_fd < 0) return;
    ::close(inhibit_fd);
    inhibit_fd = -1;
  }

  static int on_sleep(sd_bus_message* m, void* user, sd_bus_error*) {
    if (!from_logind(m)) return 0;
    int start = 0;
    if (sd_bus_message_read(m, "b", &start) < 0) return 0;
    auto* self = static_cast<Impl*>(user);
    if (start) {
      self->deliver(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
      self->release_inhibitor();
    } else {
      self->take_inhibitor();
      self->deliver(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND);
    }
    return 0;
  }

  void open_bus() {
    struct stat st;
    // Without a system bus (containers, tests) there are no power events.
    if (stat("/run/dbus/system_bus_socket", &st) != 0 && !getenv("DBUS_SYSTEM_BUS_ADDRESS")) return;
    if (sd_bus_open_system(&bus) < 0) {
      bus = nullptr;
      return;
    }
    const char* m1 =
        "type='signal',path='/org/freedesktop/login1',interface='org.freedesktop.login1.Manager',"
        "member='PrepareForShutdown'";
    const char* m2 =
        "type='signal',path='/org/freedesktop/login1',interface='org.freedesktop.login1.Manager',"
        "member='PrepareForSleep'";
    if (sd_bus_add_match(bus, nullptr, m1, on_shutdown, this) < 0 ||
        sd_bus_add_match(bus, nullptr, m2, on_sleep, this) < 0) {
      sd_bus_unref(bus);
      bus = nullptr;
      return;
    }
    take_inhibitor();
  }

  void run() {
    crash_thread_enter();
    open_bus();
    while (!closing.load()) {
      // What a synchronous call left queued is not seen by poll.
      if (bus) {
        while (sd_bus_process(bus, nullptr) > 0) {
        }
      }
      struct pollfd fds[3];
      int n = 0;
      fds[n++] = {sigfd, POLLIN, 0};
      fds[n++] = {wakefd, POLLIN, 0};
      if (bus) fds[n++] = {sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0};
      int r = poll(fds, n, -1);
      if (r < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[0].revents & POLLIN) {
        struct signalfd_siginfo si;
        if (read(sigfd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
          if (si.ssi_signo == SIGTERM || (debug_mode && si.ssi_signo == SIGINT)) deliver(SERVICE_CONTROL_STOP, 0);
        }
      }
      if (fds[1].revents & POLLIN) {
        uint64_t v;
        if (read(wakefd, &v, sizeof v) < 0) {
        }
        for (;;) {
          std::pair<uint32_t, uint32_t> item;
          {
            std::lock_guard<std::mutex> lock(mutex);
            if (injected.empty()) break;
            item = injected.front();
            injected.pop_front();
          }
          deliver(item.first, item.second);
        }
      }
      if (bus && n == 3 && fds[2].revents) {
        while (sd_bus_process(bus, nullptr) > 0) {
        }
      }
    }
    release_inhibitor();
    if (bus) sd_bus_flush_close_unref(bus);
    bus = nullptr;
  }
};

ServiceHost::ServiceHost(bool service_mode, bool debug_mode)
    : impl_(std::make_unique<Impl>()), service_mode_(service_mode) {
  impl_->debug_mode = debug_mode;
  sigemptyset(&impl_->signals);
  sigaddset(&impl_->signals, SIGTERM);
  if (debug_mode) sigaddset(&impl_->signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &impl_->signals, nullptr);
  impl_->sigfd = signalfd(-1, &impl_->signals, SFD_CLOEXEC);
  impl_->wakefd = eventfd(0, EFD_CLOEXEC);
}

ServiceHost::~ServiceHost() {
  close();
  if (impl_->sigfd >= 0) ::close(impl_->sigfd);
  if (impl_->wakefd >= 0) ::close(impl_->wakefd);
  // A stop asked for again while the first one ran is answered by this very
  // shutdown: take it, so that unblocking does not kill a clean exit.
  struct timespec none = {0, 0};
  while (sigtimedwait(&impl_->signals, nullptr, &none) > 0) {
  }
  pthread_sigmask(SIG_UNBLOCK, &impl_->signals, nullptr);
}

bool ServiceHost::register_handler(Handler handler) {
  if (impl_->sigfd < 0 || impl_->wakefd < 0 || impl_->thread.joinable()) return false;
  impl_->handler = std::move(handler);
  try {
    impl_->thread = std::thread([this] { impl_->run(); });
  } catch (...) {
    return false;
  }
  return true;
}

void ServiceHost::report(uint32_t state, uint32_t wait_hint_ms, const char* status_text) {
  if (!service_mode_) return;
  char buf[256];
  const char* what = "";
  switch (state) {
    case SERVICE_START_PENDING: what = "EXTEND_TIMEOUT_USEC="; break;
    case SERVICE_RUNNING: what = "READY=1"; break;
    case SERVICE_STOP_PENDING: what = "STOPPING=1"; break;
    case SERVICE_STOPPED: what = "STOPPING=1"; break;
    default: break;
  }
  if (state == SERVICE_START_PENDING)
    std::snprintf(buf, sizeof buf, "EXTEND_TIMEOUT_USEC=%llu", static_cast<unsigned long long>(wait_hint_ms) * 1000ULL);
  else
    std::snprintf(buf, sizeof buf, "%s", what);
  if (status_text) {
    size_t len = std::strlen(buf);
    std::snprintf(buf + len, sizeof buf - len, "\nSTATUS=%s", status_text);
  }
  sd_notify(0, buf);
}

void ServiceHost::inject(uint32_t control, uint32_t event_type) {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->injected.emplace_back(control, event_type);
  }
  uint64_t one = 1;
  if (write(impl_->wakefd, &one, sizeof one) < 0) {
  }
}

void ServiceHost::close() {
  if (!impl_->thread.joinable()) return;
  impl_->closing = true;
  uint64_t one = 1;
  if (write(impl_->wakefd, &one, sizeof one) < 0) {
  }
  if (impl_->thread.get_id() == std::this_thread::get_id()) {
    impl_->thread.detach();
    return;
  }
  impl_->thread.join();
}

void raise_priority() {
  // The tunnel competes with whatever else the machine runs; without the
  // right to raise it, the default priority has to do.
  setpriority(PRIO_PROCESS, 0, -10);
}

// --- crash handler --------------------------------------------------------------

namespace {
void (*g_crash_fn)(void*, int) = nullptr;

// Mapped rather than allocated: the handler may run with the heap broken.
struct AltStack {
  static constexpr size_t kSize = 64 * 1024;
  void* mem = MAP_FAILED;
  AltStack() {
    mem = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) return;
    stack_t ss{};
    ss.ss_sp = mem;
    ss.ss_size = kSize;
    if (sigaltstack(&ss, nullptr) != 0) {
      munmap(mem, kSize);
      mem = MAP_FAILED;
    }
  }
  ~AltStack() {
    if (mem == MAP_FAILED) return;
    stack_t ss{};
    ss.ss_flags = SS_DISABLE;
    sigaltstack(&ss, nullptr);
    munmap(mem, kSize);
  }
};

void crash_signal(int sig, siginfo_t* info, void*) {
  if (g_crash_fn) g_crash_fn(info ? info->si_addr : nullptr, sig);
  // SA_RESETHAND restored the default action: let it take its course.
  raise(sig);
}
}  // namespace

void crash_thread_enter() {
  thread_local AltStack stack;
  (void)stack;
}

void install_crash_handler(void (*fn)(void* address, int code)) {
  g_crash_fn = fn;
  crash_thread_enter();  // lets a stack overflow still be reported
  struct sigaction sa {};
  sa.sa_sigaction = crash_signal;
  sa.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) sigaction(sig, &sa, nullptr);
}

}  // namespace velarn
