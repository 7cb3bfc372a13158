#pragma once
// What every connection shares: options, users, the TLS context and the switch.
#include <openssl/ssl.h>

#include <atomic>

#include "options.h"
#include "switch.h"
#include "users.h"

namespace ks {

class TapPort;

// Options, users and the TLS context are filled before the first client
// thread starts and only read afterwards, so they need no lock.
struct Server {
  Options opt;
  Users users;
  SSL_CTX* ctx = nullptr;  // shared by every connection; OpenSSL locks it itself
  Switch sw;
  // Becomes readable (and stays so) when the server stops: nobody drains it,
  // so every thread's poll sees the stop, however late it looks.
  int stop_fd = -1;
  std::atomic<int> logged_in{0};  // counted at login, against --max-clients
  // Set before the first client starts and cleared after the last has ended.
  TapPort* tap = nullptr;
};

// Waits up to `ms` milliseconds or until the server stops; true when stopping.
bool wait_stop(const Server& s, int ms);

}  // namespace ks
