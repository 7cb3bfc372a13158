#pragma once
// What every connection shares: options, users, the TLS context and the switch.
#include <openssl/ssl.h>

#include <atomic>

#include "options.h"
#include "switch.h"
#include "users.h"

namespace ks {

class TapPort;

struct Server {
  Options opt;
  Users users;
  SSL_CTX* ctx = nullptr;
  Switch sw;
  int stop_fd = -1;  // becomes readable (and stays so) when the server stops
  std::atomic<int> logged_in{0};
  // Set before the first client starts and cleared after the last has ended.
  TapPort* tap = nullptr;
};

// Waits up to `ms` milliseconds or until the server stops; true when stopping.
bool wait_stop(const Server& s, int ms);

}  // namespace ks
