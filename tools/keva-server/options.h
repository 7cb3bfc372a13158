#pragma once
// The command line: what the server offers, and the faults it can be told to
// commit so that tests can drive the client into every error path.
#include <cstdint>
#include <string>
#include <vector>

namespace ks {

// Protocol phases at which the server can be told to misbehave.
enum class Phase { none, greeting, tls, login, info, tunnel_wait, tunnel };
const char* phase_name(Phase p);

enum class BadInfo { none, version, description, capability, mac, keepalive };

struct Options {
  std::string listen_addr = "0.0.0.0";
  int port = 5711;
  std::string cert, key, ca;
  bool require_client_cert = false;
  std::string ciphers;
  int tls_min = 0, tls_max = 0;  // OpenSSL protocol version constants, 0 = library default
  std::string users_file;
  int max_clients = 64;
  int idle_timeout = 0;  // seconds; 0: never
  std::string tap;       // device name; empty: no TAP

  std::string version_text = "keva-server 1.0";
  std::string description = "Linux";
  std::string capability;  // raw bytes
  bool send_mac = false;
  uint8_t mac[6] = {};
  int keepalive = -1;  // -1: not sent

  // misbehaviour
  std::string greeting = "KEVA/1.2 OK";
  int refuse = -1;  // refusal reason for every login; -1: judge each one
  BadInfo bad_info = BadInfo::none;
  std::string info_extra, pre_tunnel;  // raw bytes
  Phase silent = Phase::none;
  Phase drop = Phase::none;
  int drop_delay_ms = 0;  // in the tunnel the link keeps working until then
  bool split_bytes = false;
  std::vector<size_t> split_at;  // ascending offsets inside each write
  int config_loop_ms = 0;        // > 0: CONFIG every so often instead of TUNNEL
  bool stall = false;            // tunnel: stop reading the client, keep talking
  int key_update = 0;            // > 0: TLS 1.3 key update after every N tunnel writes

  int verbosity = 1;  // a LogLevel; higher shows more
};

// Fills `o` from the command line. Returns 0 to run, 1 when help was printed,
// -1 on a bad option (message already printed).
int parse_options(int argc, char** argv, Options& o);

// "aa:bb:cc:dd:ee:ff" exactly; false for anything else.
bool parse_mac(const char* text, uint8_t mac[6]);
// An even number of hex digits, no separators; false (out partly filled) else.
bool parse_hex(const char* text, std::string& out);

}  // namespace ks
