// Two network namespaces joined by a veth pair: a server site with
// keva-server bridging its TAP (192.168.203.1/24), and a client with the
// virtual adapter (192.168.203.2/24) and, when asked, kevad. Everything the
// fixture starts or makes is removed when it goes.
#pragma once
#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "platform/local_pipe.h"

class TunnelSite {
 public:
  TunnelSite();
  ~TunnelSite();
  bool ok() const { return ok_; }

  const std::string& srv_ns() const { return srv_; }
  const std::string& cli_ns() const { return cli_; }
  const std::string& root() const { return root_.path(); }
  std::string data(const std::string& name) const { return root_.data(name); }
  const std::string& adapter() const { return ifname_; }

  // keva-server with these extra options; a users file with user:secret.
  bool start_server(const std::vector<std::string>& extra = {});
  void stop_server();
  // vlncardsetup install, vlncard, and the adapter's address (unless the
  // service is to find one).
  bool start_adapter(bool with_address = true);
  // kevad in service mode with kevad.ini text.
  bool start_kevad(const std::string& ini = "");
  // The same with further environment ("NAME=value"), e.g. SOFTHSM2_CONF.
  bool start_kevad_env(const std::string& ini, const std::vector<std::string>& env);
  // The same through a wrapper command that execs its arguments (kevad service).
  bool start_kevad_wrapped(const std::string& ini, const std::vector<std::string>& wrapper);
  // SIGTERM; the exit code.
  int stop_kevad();
  pid_t kevad_pid() const { return kevad_; }
  // The driver host killed outright and started again, as a crash would.
  bool restart_vlncard();
  // A password profile for the server; extra elements appended.
  std::string profile(const std::string& extra = "", const std::string& password = "secret") const;

  // Runs a shell command in a namespace; its exit code.
  int in_ns(const std::string& ns, const std::string& cmd) const;
  std::string capture(const std::string& cmd) const;
  bool wait_for_log(const std::string& file, const std::string& text, int ms) const;

 private:
  pid_t start(const std::string& ns, const std::vector<std::string>& argv, const std::string& err_file,
              const std::vector<std::string>& env = {});
  TempRoot root_;
  std::string srv_, cli_, veth_a_, veth_b_;
  std::string ifname_;
  pid_t server_ = 0, vlncard_ = 0, kevad_ = 0;
  bool ok_ = false;
};

// A client of the control channel.
std::string channel_request(const std::string& text, int timeout_ms = 20000);
// A session started on the channel with this profile text; the answer.
std::string post_session(const std::string& profile);

// A listener on the control channel collecting event lines.
class Listener {
 public:
  Listener();
  ~Listener();
  bool ok() const { return conn_ != nullptr; }
  std::vector<std::string> events();
  // The messages of the State-Change events, in order.
  std::vector<std::string> states();
  // Waits until an event line contains text.
  bool wait_for(const std::string& text, int ms);

 private:
  std::unique_ptr<velarn::PipeConnection> conn_;
  std::thread thread_;
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> events_;
  bool done_ = false;
};
