// How the driver host runs here: a systemd unit for the service, a pid file
// and signals for the running process (SIGHUP rescans, SIGTERM stops).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/device_installer.h"
#include "platform/roots.h"
#include "platform/text.h"

namespace velarn {

namespace {

const char* const kServicesRoot = "SYSTEM\\CurrentControlSet\\Services";

bool is_dir(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_file(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A unit installed with the programs (package or cmake --install) is the one
// to run: a copy written under /etc would shadow it and drop its hardening.
bool shipped_unit(const std::string& unit_name) {
  if (!roots::root().empty()) return false;
  for (const char* dir : {"/lib/systemd/system/", "/usr/lib/systemd/system/", "/usr/local/lib/systemd/system/"})
    if (is_file(dir + unit_name)) return true;
  return false;
}
}  // namespace

bool DeviceInstaller::install_service(const InfInfo& inf) {
  if (!reg_.create_key(std::string(kServicesRoot) + "\\" + inf.service_name)) {
    error_ = reg_.last_error();
    return false;
  }
  const std::string dir = roots::service_units_dir();
  const std::string unit = dir + "/" + inf.service_name + ".service";
  if (shipped_unit(inf.service_name + ".service")) {
    if (service_manager_present() && !run_systemctl({"enable", inf.service_name + ".service"})) {
      error_ = "systemctl could not enable " + inf.service_name + ".service";
      return false;
    }
    return true;
  }
  const std::string text = "[Unit]\nDescription=" + (inf.device_desc.empty() ? inf.service_name : inf.device_desc) +
                           " host\n\n[Service]\nType=simple\nExecStart=\"" + roots::program_folder() + "/" +
                           inf.service_name + "\"\nRestart=on-failure\n\n[Install]\nWantedBy=multi-user.target\n";
  if (!roots::make_dirs(dir)) {
    error_ = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  std::string tmp = unit + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f << text;
    f.flush();
    if (!f) {
      error_ = "cannot write " + tmp;
      ::unlink(tmp.c_str());
      return false;
    }
  }
  if (::rename(tmp.c_str(), unit.c_str()) != 0) {
    error_ = "cannot write " + unit + ": " + std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  if (roots::root().empty() && service_manager_present()) {
    if (!run_systemctl({"daemon-reload"}) || !run_systemctl({"enable", inf.service_name + ".service"})) {
      error_ = "systemctl could not enable " + inf.service_name + ".service";
      return false;
    }
  }
  return true;
}

bool DeviceInstaller::restart_host(const std::string& service) {
  if (ProcessId pid = running_host_pid(); pid > 0) {
    if (!signal_host(pid, false)) {
      error_ = "cannot signal the driver host (pid " + std::to_string(pid) + "): " + std::strerror(errno);
      return false;
    }
    return true;
  }
  const std::string unit = roots::service_units_dir() + "/" + service + ".service";
  if (roots::root().empty() && service_manager_present() && (is_file(unit) || shipped_unit(service + ".service"))) {
    if (!run_systemctl({"restart", service + ".service"})) {
      error_ = "systemctl could not restart " + service + ".service";
      return false;
    }
  }
  // Otherwise the host reads every instance when it starts.
  return true;
}

bool DeviceInstaller::remove_host(const std::string& service_name) {
  bool ok = true;
  const std::string unit_name = service_name + ".service";
  const std::string unit = roots::service_units_dir() + "/" + unit_name;
  const bool systemd = roots::root().empty() && service_manager_present();
  if (systemd && (is_file(unit) || shipped_unit(unit_name)) && !run_systemctl({"disable", "--now", unit_name})) {
    error_ = "systemctl could not disable " + unit_name;
    ok = false;
  }
  // A host not run by systemd goes too: with no device left it has nothing
  // to serve, as a driver is unloaded after its last device.
  if (ProcessId pid = running_host_pid(); pid > 0 && !signal_host(pid, true)) {
    error_ = "the driver host (pid " + std::to_string(pid) + ") did not stop";
    ok = false;
  }
  if (::unlink(unit.c_str()) != 0 && errno != ENOENT) {
    error_ = "cannot remove " + unit + ": " + std::strerror(errno);
    ok = false;
  }
  if (systemd) run_systemctl({"daemon-reload"});
  // The driver's own key stays: its pool of MAC addresses lets adapters
  // installed again come back with the addresses they had.
  return ok;
}

namespace {

std::string read_small(const std::string& path) {
  std::ifstream f(path);
  std::string s;
  std::getline(f, s);
  return s;
}

bool process_gone(pid_t pid) {
  if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
  // A zombie is gone for our purpose: it cannot act on the registry any more.
  std::string stat = read_small("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

}  // namespace

ProcessId DeviceInstaller::running_host_pid() {
  const std::string pid_file = roots::root() + "/run/velarn/vlncard.pid";
  std::string text = trim(read_small(pid_file));
  if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), ::isdigit)) return 0;
  pid_t pid = pid_t(std::stol(text));
  if (pid <= 1 || process_gone(pid)) return 0;
  // A stale pid file may name a process that has nothing to do with us;
  // signalling it could kill it. Only the driver host is signalled.
  std::string comm = trim(read_small("/proc/" + std::to_string(pid) + "/comm"));
  if (comm != "vlncard") return 0;
  return pid;
}

bool DeviceInstaller::signal_host(ProcessId pid, bool stop) {
  if (::kill(pid, stop ? SIGTERM : SIGHUP) != 0) return false;
  if (!stop) return true;
  for (int i = 0; i < 50; ++i) {
    if (process_gone(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
  return false;
}

bool DeviceInstaller::service_manager_present() { return is_dir("/run/systemd/system"); }

bool DeviceInstaller::run_systemctl(const std::vector<std::string>& args) {
  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
    }
    std::vector<char*> argv{const_cast<char*>("systemctl")};
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp("systemctl", argv.data());
    _exit(127);
  }
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0)
    if (errno != EINTR) return false;
  return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

}  // namespace velarn
