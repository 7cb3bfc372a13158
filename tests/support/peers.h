// Outside peers and our own server on loopback, each on a free port and
// stopped (and reaped) with its object.
#pragma once
#include <string>
#include <vector>

#include "files.h"
#include "process.h"

// openssl s_server in reverse-line mode (-rev) with these further options.
class SServer : public WatchedProcess {
 public:
  explicit SServer(const std::vector<std::string>& options);
  // Killed: the kernel closes its sockets, a FIN without a TLS close_notify.
  ~SServer() { stop(); }
  void stop() { WatchedProcess::stop(SIGKILL); }
  int port() const { return port_; }

 private:
  int port_ = 0;
};

// keva-server listening on 127.0.0.1 with these options (certificate, key,
// users …); port() is 0 when it did not come up.
class KevaServer : public WatchedProcess {
 public:
  explicit KevaServer(const std::vector<std::string>& options);
  int port() const { return port_; }

 private:
  int port_ = 0;
};

// tinyproxy on loopback, with basic authentication (user, secret) if asked.
class Tinyproxy {
 public:
  explicit Tinyproxy(bool auth);
  ~Tinyproxy();
  int port() const { return port_; }

 private:
  TempDir dir_{"velarn-tinyproxy"};
  pid_t pid_ = -1;
  int port_ = 0;
};
