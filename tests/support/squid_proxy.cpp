#include "squid_proxy.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "process.h"
#include "wait.h"

SquidProxy::SquidProxy(const std::string& scheme, const std::string& listen, int port, const std::string& users,
                       const std::string& netns)
    : port_(port) {
  const std::string& dir_ = dir.path();
  // squid's helpers run as its own unprivileged user once it drops root.
  chmod(dir_.c_str(), 0777);
  write_file(dir_ + "/passwd", users);
  std::string conf = "http_port " + listen + ":" + std::to_string(port) + "\npid_filename " + dir_ +
                     "/squid.pid\ncache_log " + dir_ + "/cache.log\ncoredump_dir " + dir_ +
                     "\naccess_log none\ncache deny all\nshutdown_lifetime 0 seconds\n"
                     "visible_hostname velarn-test\nicp_port 0\nhtcp_port 0\npinger_enable off\n";
  if (scheme == "ntlm")
    conf += "auth_param ntlm program /usr/lib/squid/ntlm_fake_auth\n";
  else
    conf += "auth_param digest program /usr/lib/squid/digest_file_auth " + dir_ +
            "/passwd\nauth_param digest realm velarn\n";
  conf += "auth_param " + scheme +
          " children 1\nacl authed proxy_auth REQUIRED\nhttp_access allow authed\nhttp_access deny all\n";
  write_file(dir_ + "/squid.conf", conf);
  chmod((dir_ + "/passwd").c_str(), 0644);

  std::string name = "velarnsq" + std::to_string(getpid()) + "p" + std::to_string(port);
  pid_ = spawn({"squid", "-N", "-n", name, "-f", dir_ + "/squid.conf"},
               {.netns = netns, .err_file = dir_ + "/stderr", .own_group = true});
  ok_ = wait_until([&] { return log().find("Accepting HTTP Socket connections") != std::string::npos; }, 15000, 50);
}

SquidProxy::~SquidProxy() {
  if (pid_ > 0) {
    // The process group takes the helpers along.
    kill(-pid_, SIGTERM);
    int st;
    wait_until([&] { return waitpid(pid_, &st, WNOHANG) != 0; }, 10000, 50);
    kill(-pid_, SIGKILL);
    waitpid(pid_, &st, WNOHANG);
  }
}

std::string SquidProxy::log() const { return read_file(dir.path() + "/cache.log"); }
