// A real squid for proxy-authentication tests: its own configuration, pid
// file, logs and shared-memory names in a throwaway folder, so that parallel
// runs and a system instance never meet. Runs in a network namespace when
// one is named.
#pragma once
#include <sys/types.h>

#include <string>

#include "files.h"

class SquidProxy {
 public:
  // scheme: "digest" (users from "name:password" lines) or "ntlm" (squid's
  // fake NTLM helper: the handshake is real, any user is taken).
  SquidProxy(const std::string& scheme, const std::string& listen, int port, const std::string& users = "user:secret\n",
             const std::string& netns = "");
  ~SquidProxy();
  SquidProxy(const SquidProxy&) = delete;
  SquidProxy& operator=(const SquidProxy&) = delete;
  // True once it accepts connections.
  bool ok() const { return ok_; }
  int port() const { return port_; }
  std::string log() const;

 private:
  TempDir dir{"velarn-squid"};
  int port_;
  pid_t pid_ = -1;
  bool ok_ = false;
};
