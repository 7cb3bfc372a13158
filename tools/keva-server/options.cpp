// Parsing the command line. Every value is checked here, with a message
// naming the option, so that the rest of the server can trust Options.
#include "options.h"

#include <getopt.h>
#include <openssl/ssl.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ks {

static const char USAGE[] = R"(Usage: keva-server --cert FILE --key FILE [options]

Reference server for the KEVA/1.2 tunnel protocol: plain-text greeting, TLS,
login, information exchange, TUNNEL, then a learning Ethernet switch between
all connected clients (and optionally a TAP device of its own). One line per
event goes to standard error; SIGTERM or SIGINT ends it with exit status 0.

Listening and TLS:
  -l, --listen ADDR         address to listen on (default 0.0.0.0)
  -p, --port N              TCP port (default 5711; 0 picks a free port, shown
                            on the "listening on ADDR:PORT" line)
  -c, --cert FILE           server certificate, PEM (required)
  -k, --key FILE            server private key, PEM (required)
  -C, --ca FILE             CA certificates (PEM): ask clients for a certificate
                            and verify it against these
      --require-client-cert refuse the TLS handshake without a valid client
                            certificate (needs --ca)
      --ciphers LIST        OpenSSL cipher list for TLS 1.2 and older
      --tls-min V, --tls-max V
                            protocol version bounds: 1.0, 1.1, 1.2 or 1.3
                            (--tls-min below 1.2 also lowers the library's
                            security level to 0 so that those versions work)

Login and information:
  -u, --users FILE          users file (below); without it every login is accepted
      --max-clients N       logged-in clients allowed at once (default 64); more
                            are refused with reason 3 (too many connections)
      --version-text TEXT   VERSION sent to clients (default "keva-server 1.0";
                            empty: not sent)
      --description TEXT    DESCRIPTION sent (default "Linux"; empty: not sent)
      --capability HEX      CAPABILITY bytes, e.g. 0102 (default: not sent)
      --mac MAC             MAC_ADDR sent, as aa:bb:cc:dd:ee:ff (default: not sent)
      --keepalive N         KEEPALIVE seconds sent, 0 to 255 (default: not sent;
                            clients accept 1 to 60)

Tunnel:
      --tap NAME            create TAP device NAME, bring it up and bridge it
                            into the switch (needs root)
      --idle-timeout S      close a tunnel whose client sent nothing for S
                            seconds (default 0: never)
  Client keepalives (code 0) are answered with a keepalive.

Misbehaviour on command (for tests):
      --greeting TEXT       answer the greeting with TEXT instead of "KEVA/1.2 OK"
      --refuse CODE         refuse every login with ERR CODE (0 authentication
                            failure, 2 user already connected, 3 too many
                            connections, 4 user disabled, any other 0-255)
      --bad-info FIELD      send FIELD with a length clients must reject:
                            version or description (81 bytes), capability
                            (0 bytes), mac (5 bytes), keepalive (2 bytes)
      --info-extra HEX      raw bytes added to the information block before its
                            OK, e.g. b0000100ff (an unknown message)
      --pre-tunnel HEX      raw bytes sent in a write of their own before TUNNEL,
                            e.g. c1000000 (CONFIG) or 01000000 (a frame batch)
      --silent PHASE        at PHASE send nothing more but keep the connection
                            open, reading and discarding what the client sends
      --drop PHASE[:MS]     at PHASE (after MS milliseconds) close the connection
      --split bytes|N,N..   cut every TLS write: after each byte, or at the given
                            offsets from the start of the write
      --config-loop MS      never send TUNNEL: send CONFIG every MS milliseconds
      --stall               in the tunnel, stop reading what the client sends
                            (its writes back up) but send a keepalive every 2 s
      --key-update N        in the tunnel, request a TLS 1.3 key update after
                            every N TLS writes
  PHASE is one of: greeting (client greeting read, not answered), tls (instead
  of the TLS handshake), login (login messages read, not answered), info
  (client information read, server information not sent), tunnel-wait
  (information sent, TUNNEL not sent), tunnel (tunnel phase begun).

Other:
  -v, --verbose             more output (repeat for a trace of every message)
  -q, --quiet               errors only
  -h, --help                this text

Users file: one entry per line; empty lines and lines starting with # are
ignored. Every other line is KIND:VALUE, split at the first colon:
  NAME:PASSWORD             password login (method 1) as user NAME
  cert-cn:NAME              certificate login (method 2): a client certificate,
                            verified against --ca, whose subject common name is NAME
  ticket:TEXT               ticket login (method 3) with ticket TEXT
  disabled:NAME             user NAME is refused with reason 4 (user disabled)
A user name may therefore not be "cert-cn", "ticket" or "disabled". Wrong
credentials are refused with reason 0 (authentication failure).
)";

const char* phase_name(Phase p) {
  switch (p) {
    case Phase::none: return "none";
    case Phase::greeting: return "greeting";
    case Phase::tls: return "tls";
    case Phase::login: return "login";
    case Phase::info: return "info";
    case Phase::tunnel_wait: return "tunnel-wait";
    case Phase::tunnel: return "tunnel";
  }
  return "?";
}

static bool parse_phase(const char* text, Phase& p) {
  for (Phase c : {Phase::greeting, Phase::tls, Phase::login, Phase::info, Phase::tunnel_wait, Phase::tunnel}) {
    if (strcmp(text, phase_name(c)) == 0) {
      p = c;
      return true;
    }
  }
  return false;
}

// Decimal only, the whole text, within [lo, hi].
static bool parse_int(const char* text, long lo, long hi, int& out) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno || end == text || *end || v < lo || v > hi) return false;
  out = static_cast<int>(v);
  return true;
}

bool parse_mac(const char* text, uint8_t mac[6]) {
  unsigned v[6];
  char tail;
  if (sscanf(text, "%2x:%2x:%2x:%2x:%2x:%2x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &tail) != 6) return false;
  for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(v[i]);
  return true;
}

bool parse_hex(const char* text, std::string& out) {
  out.clear();
  size_t n = strlen(text);
  if (n % 2) return false;
  for (size_t i = 0; i < n; i += 2) {
    char pair[3] = {text[i], text[i + 1], 0};
    char* end;
    if (!isxdigit(static_cast<unsigned char>(pair[0])) || !isxdigit(static_cast<unsigned char>(pair[1]))) return false;
    out.push_back(static_cast<char>(strtoul(pair, &end, 16)));
  }
  return true;
}

static bool parse_tls_version(const char* text, int& v) {
  if (!strcmp(text, "1.0"))
    v = TLS1_VERSION;
  else if (!strcmp(text, "1.1"))
    v = TLS1_1_VERSION;
  else if (!strcmp(text, "1.2"))
    v = TLS1_2_VERSION;
  else if (!strcmp(text, "1.3"))
    v = TLS1_3_VERSION;
  else
    return false;
  return true;
}

// Offsets must rise: next_cut (client.cpp) takes the first one past the
// current position.
static bool parse_split(const char* text, Options& o) {
  if (!strcmp(text, "bytes")) {
    o.split_bytes = true;
    return true;
  }
  const char* p = text;
  while (*p) {
    char* end;
    errno = 0;
    unsigned long v = strtoul(p, &end, 10);
    if (errno || end == p || v == 0 || v > 65535) return false;
    if (!o.split_at.empty() && v <= o.split_at.back()) return false;
    o.split_at.push_back(v);
    if (*end == ',')
      ++end;
    else if (*end)
      return false;
    p = end;
  }
  return !o.split_at.empty();
}

enum {
  OPT_REQUIRE = 256,
  OPT_CIPHERS,
  OPT_TLS_MIN,
  OPT_TLS_MAX,
  OPT_MAX_CLIENTS,
  OPT_VERSION_TEXT,
  OPT_DESCRIPTION,
  OPT_CAPABILITY,
  OPT_MAC,
  OPT_KEEPALIVE,
  OPT_TAP,
  OPT_IDLE,
  OPT_GREETING,
  OPT_REFUSE,
  OPT_BAD_INFO,
  OPT_INFO_EXTRA,
  OPT_PRE_TUNNEL,
  OPT_SILENT,
  OPT_DROP,
  OPT_SPLIT,
  OPT_CONFIG_LOOP,
  OPT_STALL,
  OPT_KEY_UPDATE,
};

int parse_options(int argc, char** argv, Options& o) {
  static const option longopts[] = {
      {"listen", required_argument, nullptr, 'l'},
      {"port", required_argument, nullptr, 'p'},
      {"cert", required_argument, nullptr, 'c'},
      {"key", required_argument, nullptr, 'k'},
      {"ca", required_argument, nullptr, 'C'},
      {"require-client-cert", no_argument, nullptr, OPT_REQUIRE},
      {"ciphers", required_argument, nullptr, OPT_CIPHERS},
      {"tls-min", required_argument, nullptr, OPT_TLS_MIN},
      {"tls-max", required_argument, nullptr, OPT_TLS_MAX},
      {"users", required_argument, nullptr, 'u'},
      {"max-clients", required_argument, nullptr, OPT_MAX_CLIENTS},
      {"version-text", required_argument, nullptr, OPT_VERSION_TEXT},
      {"description", required_argument, nullptr, OPT_DESCRIPTION},
      {"capability", required_argument, nullptr, OPT_CAPABILITY},
      {"mac", required_argument, nullptr, OPT_MAC},
      {"keepalive", required_argument, nullptr, OPT_KEEPALIVE},
      {"tap", required_argument, nullptr, OPT_TAP},
      {"idle-timeout", required_argument, nullptr, OPT_IDLE},
      {"greeting", required_argument, nullptr, OPT_GREETING},
      {"refuse", required_argument, nullptr, OPT_REFUSE},
      {"bad-info", required_argument, nullptr, OPT_BAD_INFO},
      {"info-extra", required_argument, nullptr, OPT_INFO_EXTRA},
      {"pre-tunnel", required_argument, nullptr, OPT_PRE_TUNNEL},
      {"silent", required_argument, nullptr, OPT_SILENT},
      {"drop", required_argument, nullptr, OPT_DROP},
      {"split", required_argument, nullptr, OPT_SPLIT},
      {"config-loop", required_argument, nullptr, OPT_CONFIG_LOOP},
      {"stall", no_argument, nullptr, OPT_STALL},
      {"key-update", required_argument, nullptr, OPT_KEY_UPDATE},
      {"verbose", no_argument, nullptr, 'v'},
      {"quiet", no_argument, nullptr, 'q'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  auto bad = [](const char* opt, const char* arg) {
    fprintf(stderr, "keva-server: invalid value for %s: \"%s\" (see --help)\n", opt, arg);
    return -1;
  };
  int c;
  while ((c = getopt_long(argc, argv, "l:p:c:k:C:u:vqh", longopts, nullptr)) != -1) {
    switch (c) {
      case 'l': o.listen_addr = optarg; break;
      case 'p':
        if (!parse_int(optarg, 0, 65535, o.port)) return bad("--port", optarg);
        break;
      case 'c': o.cert = optarg; break;
      case 'k': o.key = optarg; break;
      case 'C': o.ca = optarg; break;
      case OPT_REQUIRE: o.require_client_cert = true; break;
      case OPT_CIPHERS: o.ciphers = optarg; break;
      case OPT_TLS_MIN:
        if (!parse_tls_version(optarg, o.tls_min)) return bad("--tls-min", optarg);
        break;
      case OPT_TLS_MAX:
        if (!parse_tls_version(optarg, o.tls_max)) return bad("--tls-max", optarg);
        break;
      case 'u': o.users_file = optarg; break;
      // At most 250: with the TAP that stays within the switch's 256 ports.
      case OPT_MAX_CLIENTS:
        if (!parse_int(optarg, 1, 250, o.max_clients)) return bad("--max-clients", optarg);
        break;
      // The client takes at most 80 bytes; --bad-info sends more on purpose.
      case OPT_VERSION_TEXT:
        if (strlen(optarg) > 80) return bad("--version-text (at most 80 bytes)", optarg);
        o.version_text = optarg;
        break;
      case OPT_DESCRIPTION:
        if (strlen(optarg) > 80) return bad("--description (at most 80 bytes)", optarg);
        o.description = optarg;
        break;
      case OPT_CAPABILITY:
        if (!parse_hex(optarg, o.capability) || o.capability.empty() || o.capability.size() > 255)
          return bad("--capability", optarg);
        break;
      case OPT_MAC:
        if (!parse_mac(optarg, o.mac)) return bad("--mac", optarg);
        o.send_mac = true;
        break;
      case OPT_KEEPALIVE:
        if (!parse_int(optarg, 0, 255, o.keepalive)) return bad("--keepalive", optarg);
        break;
      // Interface names have at most 15 characters.
      case OPT_TAP:
        if (!*optarg || strlen(optarg) >= 16) return bad("--tap", optarg);
        o.tap = optarg;
        break;
      case OPT_IDLE:
        if (!parse_int(optarg, 0, 86400, o.idle_timeout)) return bad("--idle-timeout", optarg);
        break;
      case OPT_GREETING: o.greeting = optarg; break;
      case OPT_REFUSE:
        if (!parse_int(optarg, 0, 255, o.refuse)) return bad("--refuse", optarg);
        break;
      case OPT_BAD_INFO:
        if (!strcmp(optarg, "version"))
          o.bad_info = BadInfo::version;
        else if (!strcmp(optarg, "description"))
          o.bad_info = BadInfo::description;
        else if (!strcmp(optarg, "capability"))
          o.bad_info = BadInfo::capability;
        else if (!strcmp(optarg, "mac"))
          o.bad_info = BadInfo::mac;
        else if (!strcmp(optarg, "keepalive"))
          o.bad_info = BadInfo::keepalive;
        else
          return bad("--bad-info", optarg);
        break;
      case OPT_INFO_EXTRA:
        if (!parse_hex(optarg, o.info_extra)) return bad("--info-extra", optarg);
        break;
      case OPT_PRE_TUNNEL:
        if (!parse_hex(optarg, o.pre_tunnel)) return bad("--pre-tunnel", optarg);
        break;
      case OPT_SILENT:
        if (!parse_phase(optarg, o.silent)) return bad("--silent", optarg);
        break;
      case OPT_DROP: {
        std::string s = optarg;
        size_t colon = s.find(':');
        if (colon != std::string::npos) {
          if (!parse_int(s.c_str() + colon + 1, 0, 3600000, o.drop_delay_ms)) return bad("--drop", optarg);
          s.resize(colon);
        }
        if (!parse_phase(s.c_str(), o.drop)) return bad("--drop", optarg);
        break;
      }
      case OPT_SPLIT:
        if (!parse_split(optarg, o)) return bad("--split", optarg);
        break;
      case OPT_CONFIG_LOOP:
        if (!parse_int(optarg, 1, 3600000, o.config_loop_ms)) return bad("--config-loop", optarg);
        break;
      case OPT_STALL: o.stall = true; break;
      case OPT_KEY_UPDATE:
        if (!parse_int(optarg, 1, 1000000000, o.key_update)) return bad("--key-update", optarg);
        break;
      case 'v': ++o.verbosity; break;
      case 'q': o.verbosity = 0; break;
      case 'h': fputs(USAGE, stdout); return 1;
      default: fprintf(stderr, "keva-server: see --help\n"); return -1;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "keva-server: unexpected argument \"%s\" (see --help)\n", argv[optind]);
    return -1;
  }
  if (o.cert.empty() || o.key.empty()) {
    fprintf(stderr, "keva-server: --cert and --key are required (see --help)\n");
    return -1;
  }
  if (o.require_client_cert && o.ca.empty()) {
    fprintf(stderr, "keva-server: --require-client-cert needs --ca\n");
    return -1;
  }
  return 0;
}

}  // namespace ks
