// keva-server: see --help (options.cpp) for what it does and how to drive it.
// The main thread only accepts and reaps; each client has a thread of its own
// (client.cpp) and the TAP device one more (tap_port.cpp). Everything stops
// through one pipe that the signal handler writes and nobody drains.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <list>
#include <memory>

#include "client.h"
#include "log.h"
#include "server.h"
#include "tap.h"

using namespace ks;

static int g_stop_pipe[2] = {-1, -1};

// Only async-signal-safe work: one byte into the stop pipe.
static void on_signal(int) {
  int saved = errno;
  char c = 1;
  (void)!write(g_stop_pipe[1], &c, 1);
  errno = saved;
}

static std::string ssl_errors() {
  std::string out;
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    if (!out.empty()) out += "; ";
    out += buf;
  }
  return out.empty() ? "unknown error" : out;
}

// The TLS context every client shares; NULL (with the reason logged) when the
// certificate, key or options are unusable.
static SSL_CTX* make_context(const Options& o) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx) {
    logf(LOG_ERROR, "SSL_CTX_new: %s", ssl_errors().c_str());
    return nullptr;
  }
  auto fail = [&](const std::string& what) {
    logf(LOG_ERROR, "%s: %s", what.c_str(), ssl_errors().c_str());
    SSL_CTX_free(ctx);
    return nullptr;
  };
  if (SSL_CTX_use_certificate_chain_file(ctx, o.cert.c_str()) != 1) return fail(o.cert);
  if (SSL_CTX_use_PrivateKey_file(ctx, o.key.c_str(), SSL_FILETYPE_PEM) != 1) return fail(o.key);
  if (SSL_CTX_check_private_key(ctx) != 1) return fail("certificate and key do not match");
  if (!o.ciphers.empty() && SSL_CTX_set_cipher_list(ctx, o.ciphers.c_str()) != 1) return fail("--ciphers " + o.ciphers);
  // TLS 1.0 and 1.1 sign with SHA-1, which the library's default security
  // level forbids; a test that asks for them means it.
  if (o.tls_min && o.tls_min < TLS1_2_VERSION) SSL_CTX_set_security_level(ctx, 0);
  if (o.tls_min && SSL_CTX_set_min_proto_version(ctx, o.tls_min) != 1) return fail("--tls-min");
  if (o.tls_max && SSL_CTX_set_max_proto_version(ctx, o.tls_max) != 1) return fail("--tls-max");
  if (!o.ca.empty()) {
    if (SSL_CTX_load_verify_locations(ctx, o.ca.c_str(), nullptr) != 1) return fail(o.ca);
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(o.ca.c_str());
    if (names) SSL_CTX_set_client_CA_list(ctx, names);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | (o.require_client_cert ? SSL_VERIFY_FAIL_IF_NO_PEER_CERT : 0), nullptr);
  }
  // No resumption: every connection does a full handshake.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  return ctx;
}

// The listening socket, non-blocking so that an accept after a connection
// vanished does not hang the loop; `shown` gets the real address and port
// (port 0 picks one).
static int open_listener(const Options& o, std::string& shown) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* res = nullptr;
  std::string port = std::to_string(o.port);
  int rc = getaddrinfo(o.listen_addr.c_str(), port.c_str(), &hints, &res);
  if (rc != 0) {
    logf(LOG_ERROR, "%s: %s", o.listen_addr.c_str(), gai_strerror(rc));
    return -1;
  }
  int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (fd < 0 || bind(fd, res->ai_addr, res->ai_addrlen) < 0 || listen(fd, 64) < 0) {
    logf(LOG_ERROR, "listening on %s:%d: %s", o.listen_addr.c_str(), o.port, strerror(errno));
    if (fd >= 0) close(fd);
    freeaddrinfo(res);
    return -1;
  }
  freeaddrinfo(res);
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  char host[NI_MAXHOST], serv[NI_MAXSERV];
  getnameinfo(reinterpret_cast<sockaddr*>(&ss), len, host, sizeof host, serv, sizeof serv,
              NI_NUMERICHOST | NI_NUMERICSERV);
  shown = std::string(host) + ":" + serv;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

static std::string peer_text(const sockaddr_storage& ss, socklen_t len) {
  char host[NI_MAXHOST], serv[NI_MAXSERV];
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&ss), len, host, sizeof host, serv, sizeof serv,
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return "?";
  return std::string(host) + ":" + serv;
}

int main(int argc, char** argv) {
  auto srv = std::make_unique<Server>();
  int rc = parse_options(argc, argv, srv->opt);
  if (rc) return rc > 0 ? 0 : 2;
  const Options& o = srv->opt;
  log_set_level(o.verbosity);

  if (!o.users_file.empty()) {
    std::string err = srv->users.load(o.users_file);
    if (!err.empty()) {
      logf(LOG_ERROR, "users file: %s", err.c_str());
      return 2;
    }
  }
  if (pipe(g_stop_pipe) != 0) {
    logf(LOG_ERROR, "pipe: %s", strerror(errno));
    return 1;
  }
  // A burst of signals must never block the handler.
  fcntl(g_stop_pipe[1], F_SETFL, O_NONBLOCK);
  srv->stop_fd = g_stop_pipe[0];
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  // A client gone mid-write is an error return, not the end of the server.
  signal(SIGPIPE, SIG_IGN);

  srv->ctx = make_context(o);
  if (!srv->ctx) return 1;

  std::unique_ptr<TapPort> tap;
  if (!o.tap.empty()) {
    std::string err;
    bool vnet = false;
    int fd = tap_open(o.tap, err, &vnet);
    if (fd < 0) {
      logf(LOG_ERROR, "--tap: %s", err.c_str());
      return 1;
    }
    tap = std::make_unique<TapPort>(*srv, fd, o.tap, vnet);
    if (!tap->start()) {
      logf(LOG_ERROR, "--tap: %s could not join the switch", o.tap.c_str());
      return 1;
    }
  }

  std::string shown;
  int lfd = open_listener(o, shown);
  if (lfd < 0) return 1;
  logf(LOG_ERROR, "listening on %s", shown.c_str());  // always shown: tests wait for it

  std::list<std::unique_ptr<Client>> clients;
  int next_id = 1;
  for (;;) {
    // The time-out only paces reaping finished clients while nobody connects.
    pollfd p[2] = {{lfd, POLLIN, 0}, {srv->stop_fd, POLLIN, 0}};
    int r = poll(p, 2, 1000);
    if (r < 0 && errno != EINTR) {
      logf(LOG_ERROR, "poll: %s", strerror(errno));
      break;
    }
    if (p[1].revents) break;
    for (auto it = clients.begin(); it != clients.end();) it = (*it)->finished() ? clients.erase(it) : std::next(it);
    if (!(p[0].revents & POLLIN)) continue;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    int fd = accept(lfd, reinterpret_cast<sockaddr*>(&ss), &len);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) logf(LOG_ERROR, "accept: %s", strerror(errno));
      // Out of descriptors the listener stays readable: pause rather than spin.
      if (errno == EMFILE || errno == ENFILE) wait_stop(*srv, 100);
      continue;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    auto c = std::make_unique<Client>(*srv, fd, next_id++, peer_text(ss, len));
    c->start();
    clients.push_back(std::move(c));
  }
  logf(LOG_EVENT, "stopping (%zu clients)", clients.size());
  close(lfd);
  clients.clear();  // each client thread sees the stop and ends
  // Only after the clients: they reach the TAP port through srv->tap.
  tap.reset();
  SSL_CTX_free(srv->ctx);
  logf(LOG_EVENT, "stopped");
  return 0;
}
