#include "squid_proxy.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

SquidProxy::SquidProxy(const std::string& scheme, const std::string& listen, int port,
                       const std::string& users, const std::string& netns)
    : port_(port) {
  char tmpl[] = "/tmp/velarn-squid-XXXXXX";
  if (!mkdtemp(tmpl)) return;
  dir_ = tmpl;
  // squid's helpers run as its own unprivileged user once it drops root.
  chmod(dir_.c_str(), 0777);
  std::ofstream(dir_ + "/passwd") << users;
  std::ofstream conf(dir_ + "/squid.conf");
  conf << "http_port " << listen << ":" << port << "\n"
       << "pid_filename " << dir_ << "/squid.pid\ncache_log " << dir_ << "/cache.log\n"
       << "coredump_dir " << dir_ << "\naccess_log none\ncache deny all\n"
       << "shutdown_lifetime 0 seconds\nvisible_hostname velarn-test\n"
       << "icp_port 0\nhtcp_port 0\npinger_enable off\n";
  if (scheme == "ntlm")
    conf << "auth_param ntlm program /usr/lib/squid/ntlm_fake_auth\n";
  else
    conf << "auth_param digest program /usr/lib/squid/digest_file_auth " << dir_ << "/passwd\n"
         << "auth_param digest realm velarn\n";
  conf << "auth_param " << scheme << " children 1\n"
       << "acl authed proxy_auth REQUIRED\nhttp_access allow authed\nhttp_access deny all\n";
  conf.close();
  chmod((dir_ + "/passwd").c_str(), 0644);

  std::string name = "velarnsq" + std::to_string(getpid()) + "p" + std::to_string(port);
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    if (!freopen((dir_ + "/stderr").c_str(), "w", stderr)) _exit(127);
    std::string cfg = dir_ + "/squid.conf";
    if (netns.empty())
      execlp("squid", "squid", "-N", "-n", name.c_str(), "-f", cfg.c_str(), nullptr);
    else
      execlp("ip", "ip", "netns", "exec", netns.c_str(), "squid", "-N", "-n", name.c_str(), "-f",
             cfg.c_str(), nullptr);
    _exit(127);
  }
  for (int i = 0; i < 300 && !ok_; i++) {
    ok_ = log().find("Accepting HTTP Socket connections") != std::string::npos;
    if (!ok_) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

SquidProxy::~SquidProxy() {
  if (pid_ > 0) {
    // The process group takes the helpers along.
    kill(-pid_, SIGTERM);
    int st;
    for (int i = 0; i < 200 && waitpid(pid_, &st, WNOHANG) == 0; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kill(-pid_, SIGKILL);
    waitpid(pid_, &st, WNOHANG);
  }
  if (!dir_.empty()) {
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
}

std::string SquidProxy::log() const {
  std::ifstream f(dir_ + "/cache.log");
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}
