// A client connection from greeting to close, on the connection's own thread.
// Blocking steps before the tunnel poll the socket together with the stop
// pipe, so a stopping server never waits for a silent client.
#include "client.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log.h"
#include "tap.h"
#include "wire.h"

namespace ks {

namespace {
// The client whose thread is running, if any: its own deliveries need no wake-up.
thread_local const Client* t_self = nullptr;
// Login phases must not hold a thread for ever when a client goes quiet.
constexpr int LOGIN_TIMEOUT_MS = 30000;
// Output waiting for one client; beyond it batches are dropped as a switch would.
constexpr size_t OUT_CAPACITY = 512 * 1024;
constexpr char GREETING[] = "KEVA/1.2 CONNECT";
constexpr size_t GREETING_LEN = sizeof GREETING - 1;

const char* refusal_text(int reason) {
  switch (reason) {
    case 0: return "authentication failure";
    case 2: return "user already connected";
    case 3: return "too many connections";
    case 4: return "user disabled";
    default: return "other";
  }
}
const char* method_name(int m) {
  switch (m) {
    case 1: return "password";
    case 2: return "certificate";
    case 3: return "ticket";
    default: return "unknown";
  }
}
}  // namespace

bool wait_stop(const Server& s, int ms) {
  pollfd p{s.stop_fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

Client::Client(Server& srv, int fd, int id, std::string peer)
    : srv_(srv), opt_(srv.opt), fd_(fd), id_(id), peer_(std::move(peer)) {
  name_ = "#" + std::to_string(id_) + " " + peer_;
}

Client::~Client() {
  join();
  if (ssl_) SSL_free(ssl_);
  if (fd_ >= 0) close(fd_);
  for (int f : wake_)
    if (f >= 0) close(f);
}

void Client::start() {
  thread_ = std::thread([this] { run(); });
}

void Client::join() {
  if (thread_.joinable()) thread_.join();
}

// The end runs in this order: stop reading the TAP and leave the switch
// before anything is freed, so that no other thread hands this client a
// frame afterwards; done_ comes last, as the main thread frees on it.
void Client::run() {
  t_self = this;
  char tname[16];
  snprintf(tname, sizeof tname, "ks-client-%d", id_ % 10000);
  pthread_setname_np(pthread_self(), tname);
  logf(LOG_EVENT, "%s: connected", name_.c_str());
  session();
  if (reads_tap_) srv_.tap->tunnel_left(this);
  if (slot >= 0) srv_.sw.detach(this);
  if (counted_) srv_.logged_in.fetch_sub(1);
  if (ssl_ && SSL_is_init_finished(ssl_) && !(SSL_get_shutdown(ssl_) & SSL_SENT_SHUTDOWN))
    SSL_shutdown(ssl_);  // best effort: the peer may be gone already
  shutdown(fd_, SHUT_RDWR);
  if (key_updates_) logf(LOG_EVENT, "%s: key updates requested: %llu", name_.c_str(), (unsigned long long)key_updates_);
  if (batches_in_ || batches_out_ || dropped_ || bad_)
    logf(LOG_EVENT, "%s: closed (batches in %llu, out %llu, dropped %llu, bad %llu)", name_.c_str(),
         (unsigned long long)batches_in_, (unsigned long long)batches_out_, (unsigned long long)dropped_,
         (unsigned long long)bad_);
  else
    logf(LOG_EVENT, "%s: closed", name_.c_str());
  done_ = true;
}

// ---- plain socket and TLS helpers (the socket is non-blocking throughout) ----

// False on a time-out, on a poll failure and when the server stops; callers
// tell the last apart with wait_stop(srv_, 0).
bool Client::wait_fd(short events, int timeout_ms) {
  pollfd p[2] = {{fd_, events, 0}, {srv_.stop_fd, POLLIN, 0}};
  int r;
  do r = poll(p, 2, timeout_ms);
  while (r < 0 && errno == EINTR);
  if (r <= 0 || p[1].revents) return false;
  return true;
}

void Client::report_io(Io io, const char* what) {
  switch (io) {
    case Io::ok: break;
    case Io::timeout: logf(LOG_EVENT, "%s: %s: client silent, giving up", name_.c_str(), what); break;
    case Io::closed: logf(LOG_EVENT, "%s: %s: client closed the connection", name_.c_str(), what); break;
    case Io::failed: logf(LOG_EVENT, "%s: %s: connection failed", name_.c_str(), what); break;
    case Io::stopping: break;
  }
}

void Client::report_ssl(const char* call, int err) {
  unsigned long e;
  bool any = false;
  while ((e = ERR_get_error()) != 0) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    logf(LOG_EVENT, "%s: %s: %s", name_.c_str(), call, buf);
    any = true;
  }
  if (!any) {
    if (err == SSL_ERROR_SYSCALL && errno)
      logf(LOG_EVENT, "%s: %s: %s", name_.c_str(), call, strerror(errno));
    else
      logf(LOG_EVENT, "%s: %s: connection closed by the client", name_.c_str(), call);
  }
}

// Exactly `want` bytes before TLS (the greeting); the time-out is per wait,
// not for the whole read.
Client::Io Client::plain_read(uint8_t* buf, size_t want, size_t& got) {
  got = 0;
  while (got < want) {
    ssize_t n = recv(fd_, buf + got, want - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
      continue;
    }
    if (n == 0) return Io::closed;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Io::failed;
    if (!wait_fd(POLLIN, LOGIN_TIMEOUT_MS)) return wait_stop(srv_, 0) ? Io::stopping : Io::timeout;
  }
  return Io::ok;
}

bool Client::plain_send(const char* data, size_t len) {
  size_t off = 0;
  while (off < len) {
    ssize_t n = send(fd_, data + off, len - off, MSG_NOSIGNAL);
    if (n > 0) {
      off += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_fd(POLLOUT, LOGIN_TIMEOUT_MS)) continue;
    logf(LOG_EVENT, "%s: send failed: %s", name_.c_str(), strerror(errno));
    return false;
  }
  return true;
}

bool Client::tls_accept() {
  ssl_ = SSL_new(srv_.ctx);
  if (!ssl_ || !SSL_set_fd(ssl_, fd_)) {
    report_ssl("SSL_new", SSL_ERROR_SSL);
    return false;
  }
  SSL_set_mode(ssl_, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Non-blocking handshake: each WANT_* is waited for with the stop pipe.
  // The error queue is cleared before every call, as SSL_get_error reads it.
  for (;;) {
    ERR_clear_error();
    int r = SSL_accept(ssl_);
    if (r == 1) break;
    int err = SSL_get_error(ssl_, r);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      if (wait_fd(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, LOGIN_TIMEOUT_MS)) continue;
      if (!wait_stop(srv_, 0)) report_io(Io::timeout, "TLS handshake");
      return false;
    }
    report_ssl("TLS handshake", err);
    return false;
  }
  std::string who = "no client certificate";
  if (X509* cert = SSL_get0_peer_certificate(ssl_)) {
    char cn[256] = "";
    X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn);
    who = std::string("client certificate \"") + cn + "\"";
  }
  logf(LOG_EVENT, "%s: TLS up (%s, %s, %s)", name_.c_str(), SSL_get_version(ssl_), SSL_get_cipher_name(ssl_),
       who.c_str());
  return true;
}

Client::Io Client::tls_read_exact(uint8_t* buf, size_t len) {
  size_t got = 0;
  while (got < len) {
    ERR_clear_error();
    int r = SSL_read(ssl_, buf + got, static_cast<int>(len - got));
    if (r > 0) {
      got += static_cast<size_t>(r);
      continue;
    }
    int err = SSL_get_error(ssl_, r);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      if (wait_fd(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, LOGIN_TIMEOUT_MS)) continue;
      return wait_stop(srv_, 0) ? Io::stopping : Io::timeout;
    }
    if (err == SSL_ERROR_ZERO_RETURN) return Io::closed;
    // A TCP close without close_notify: as good as a close for a test server.
    if (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) return Io::closed;
    report_ssl("SSL_read", err);
    return Io::failed;
  }
  return Io::ok;
}

// Where the write starting at `pos` of a `len`-byte group must stop, so that
// tests can see messages arrive in pieces.
size_t Client::next_cut(size_t pos, size_t len) const {
  if (opt_.split_bytes) return pos + 1;
  for (size_t c : opt_.split_at)
    if (c > pos && c < len) return c;
  return len;
}

// The whole of data (login phases; the tunnel has tunnel_write). After a
// WANT_* the same bytes are offered again, as TLS requires.
bool Client::tls_send(const uint8_t* data, size_t len) {
  size_t pos = 0;
  while (pos < len) {
    size_t end = next_cut(pos, len);
    ERR_clear_error();
    int r = SSL_write(ssl_, data + pos, static_cast<int>(end - pos));
    if (r > 0) {
      pos += static_cast<size_t>(r);
      continue;
    }
    int err = SSL_get_error(ssl_, r);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      if (wait_fd(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, LOGIN_TIMEOUT_MS)) continue;
      if (!wait_stop(srv_, 0)) report_io(Io::timeout, "SSL_write");
      return false;
    }
    report_ssl("SSL_write", err);
    return false;
  }
  return true;
}

// One debug line per message in a group, with the start of its payload
// printable. Costs nothing below debug level.
void Client::trace(const char* dir, const uint8_t* data, size_t len) {
  if (log_level() < LOG_DEBUG) return;
  size_t pos = 0;
  while (pos + HEADER_SIZE <= len) {
    size_t l = get_be16(data + pos + 1);
    char shown[64] = "";
    size_t k = 0;
    for (size_t i = 0; i < l && pos + HEADER_SIZE + i < len && k + 5 < sizeof shown; ++i) {
      uint8_t c = data[pos + HEADER_SIZE + i];
      k += static_cast<size_t>(snprintf(shown + k, sizeof shown - k, c >= 0x20 && c < 0x7f ? "%c" : "\\x%02x", c));
    }
    logf(LOG_DEBUG, "%s: %s %s(0x%02x) %zu \"%s\"", name_.c_str(), dir, message_name(data[pos]), data[pos], l, shown);
    pos += HEADER_SIZE + l;
  }
}

// Messages that belong together go out in one write (cut only by --split).
bool Client::send_group(const std::string& data, const char* what) {
  trace("<", reinterpret_cast<const uint8_t*>(data.data()), data.size());
  if (!tls_send(reinterpret_cast<const uint8_t*>(data.data()), data.size())) return false;
  logf(LOG_DEBUG, "%s: sent %s", name_.c_str(), what);
  return true;
}

// Reads one message into rx_ (header at 0, payload at 4). rx_ holds the
// largest record, so no length can overrun it.
bool Client::read_message(uint8_t& code, size_t& len, const char* phase) {
  Io io = tls_read_exact(rx_.data(), HEADER_SIZE);
  if (io == Io::ok) {
    len = get_be16(rx_.data() + 1);
    io = tls_read_exact(rx_.data() + HEADER_SIZE, len);
  }
  if (io != Io::ok) {
    report_io(io, phase);
    return false;
  }
  code = rx_[0];
  trace(">", rx_.data(), HEADER_SIZE + len);
  return true;
}

// ---- phases ----

// --silent: the connection stays open and the client's writes never back up,
// until the client gives up or the server stops.
void Client::discard_until_closed() {
  uint8_t buf[4096];
  for (;;) {
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n > 0) continue;
    if (n == 0) return;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return;
    pollfd p[2] = {{fd_, POLLIN, 0}, {srv_.stop_fd, POLLIN, 0}};
    if (poll(p, 2, -1) < 0 && errno != EINTR) return;
    if (p[1].revents) return;
  }
}

// Applies --drop and --silent at the start of a phase; false ends the session.
bool Client::gate(Phase p) {
  if (opt_.drop == p && p == Phase::tunnel && opt_.drop_delay_ms) {
    // The tunnel keeps working until the drop is due.
    drop_pending_ = true;
    drop_at_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(opt_.drop_delay_ms);
    return true;
  }
  if (opt_.drop == p) {
    if (opt_.drop_delay_ms && wait_stop(srv_, opt_.drop_delay_ms)) return false;
    logf(LOG_EVENT, "%s: dropping the connection at %s (as told)", name_.c_str(), phase_name(p));
    // A reset rather than a close, so that the client sees the drop at once.
    linger lg{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fd_);
    fd_ = -1;
    if (ssl_) {
      SSL_free(ssl_);
      ssl_ = nullptr;
    }
    return false;
  }
  if (opt_.silent == p) {
    logf(LOG_EVENT, "%s: silent from %s on (as told)", name_.c_str(), phase_name(p));
    if (p == Phase::tunnel) {
      silent_tunnel_ = true;
      return true;
    }
    discard_until_closed();
    return false;
  }
  return true;
}

void Client::session() {
  // Small protocol messages and keepalive answers must not wait for Nagle.
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  rx_.resize(MAX_RECORD);

  uint8_t hello[GREETING_LEN];
  size_t got = 0;
  Io io = plain_read(hello, GREETING_LEN, got);
  if (io != Io::ok) {
    report_io(io, "greeting");
    return;
  }
  if (memcmp(hello, GREETING, GREETING_LEN) != 0) {
    logf(LOG_EVENT, "%s: greeting: not \"%s\", closing", name_.c_str(), GREETING);
    return;
  }
  logf(LOG_DEBUG, "%s: greeting received", name_.c_str());
  if (!gate(Phase::greeting)) return;
  if (!plain_send(opt_.greeting.data(), opt_.greeting.size())) return;
  if (!gate(Phase::tls)) return;
  if (!tls_accept()) return;
  if (!login()) return;
  if (!exchange_info()) return;
  if (!start_tunnel()) return;
  tunnel();
}

// Login messages come in any order; AUTH (the method) ends them. The
// verdict is one OK, or ERR with the refusal reason.
bool Client::login() {
  std::string zone, user, password;
  bool have_user = false, have_password = false;
  int method = -1;
  while (method < 0) {
    uint8_t code;
    size_t len;
    if (!read_message(code, len, "login")) return false;
    std::string payload(reinterpret_cast<char*>(rx_.data() + HEADER_SIZE), len);
    switch (code) {
      case MSG_ZONE: zone = payload; break;
      case MSG_USER:
        user = payload;
        have_user = true;
        break;
      case MSG_PASSWORD:
        password = payload;
        have_password = true;
        break;
      case MSG_AUTH:
        if (len != 1) {
          logf(LOG_EVENT, "%s: login: AUTH with %zu bytes, refusing", name_.c_str(), len);
          method = 0;
        } else {
          method = rx_[HEADER_SIZE];
        }
        break;
      default: logf(LOG_EVENT, "%s: login: unexpected %s(0x%02x), ignored", name_.c_str(), message_name(code), code);
    }
  }
  if (!gate(Phase::login)) return false;

  // The verdict: -1 accepted, else the refusal reason.
  int reason = -1;
  std::string who = user;
  const char* why = "";
  const Users& u = srv_.users;
  if (opt_.refuse >= 0) {
    reason = opt_.refuse;
    why = "refusing every login (as told)";
  } else if (method == 1) {
    if (!have_user || !have_password)
      reason = 0, why = "USER or PASSWORD missing";
    else if (u.disabled.count(user))
      reason = 4, why = "user disabled";
    else if (u.loaded && (!u.passwords.count(user) || u.passwords.at(user) != password))
      reason = 0, why = "wrong user name or password";
  } else if (method == 2) {
    X509* cert = SSL_get0_peer_certificate(ssl_);
    char cn[256] = "";
    if (cert) X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn);
    who = cn;
    if (!cert)
      reason = 0, why = "no client certificate";
    else if (SSL_get_verify_result(ssl_) != X509_V_OK)
      reason = 0, why = "certificate not verified";
    else if (u.disabled.count(who))
      reason = 4, why = "user disabled";
    else if (u.loaded && !u.cert_cns.count(who))
      reason = 0, why = "certificate name not listed";
  } else if (method == 3) {
    // The ticket comes in the PASSWORD message.
    who = "ticket";
    if (!have_password)
      reason = 0, why = "no ticket";
    else if (u.loaded && !u.tickets.count(password))
      reason = 0, why = "unknown ticket";
  } else {
    reason = 0;
    why = "unknown login method";
  }
  // The limit is taken last and atomically, so that clients logging in
  // together cannot overshoot it.
  if (reason < 0) {
    if (srv_.logged_in.fetch_add(1) >= opt_.max_clients) {
      srv_.logged_in.fetch_sub(1);
      reason = 3;
      why = "too many connections";
    } else {
      counted_ = true;
    }
  }
  std::string answer;
  if (reason < 0) {
    append_message(answer, MSG_OK, "", 0);
  } else {
    uint8_t r = static_cast<uint8_t>(reason);
    append_message(answer, MSG_ERR, &r, 1);
  }
  if (!send_group(answer, "login answer")) return false;
  if (reason >= 0) {
    logf(LOG_EVENT, "%s: login refused: %s login of \"%s\" zone \"%s\": %s (reason %d, %s)", name_.c_str(),
         method_name(method), who.c_str(), zone.c_str(), why, reason, refusal_text(reason));
    return false;
  }
  user_ = who;
  name_ += " " + who;
  logf(LOG_EVENT, "%s: login accepted: %s login zone \"%s\"", name_.c_str(), method_name(method), zone.c_str());
  return true;
}

// The client's information first (logged, unknown codes ignored), then the
// server's in one group ending in OK; --bad-info swaps in a field of a
// length the client must reject.
bool Client::exchange_info() {
  for (;;) {
    uint8_t code;
    size_t len;
    if (!read_message(code, len, "client information")) return false;
    if (code == MSG_OK) break;
    std::string text(reinterpret_cast<char*>(rx_.data() + HEADER_SIZE), len);
    if (code == MSG_VERSION)
      logf(LOG_EVENT, "%s: client version: %s", name_.c_str(), text.c_str());
    else if (code == MSG_DESCRIPTION)
      logf(LOG_EVENT, "%s: client system: %s", name_.c_str(), text.c_str());
    else
      logf(LOG_EVENT, "%s: client information: %s(0x%02x) %zu bytes ignored", name_.c_str(), message_name(code), code,
           len);
  }
  if (!gate(Phase::info)) return false;

  std::string info;
  const std::string too_long(81, 'x');
  const Options& o = opt_;
  if (o.bad_info == BadInfo::version)
    append_message(info, MSG_VERSION, too_long.data(), 81);
  else if (!o.version_text.empty())
    append_message(info, MSG_VERSION, o.version_text.data(), o.version_text.size());
  if (o.bad_info == BadInfo::description)
    append_message(info, MSG_DESCRIPTION, too_long.data(), 81);
  else if (!o.description.empty())
    append_message(info, MSG_DESCRIPTION, o.description.data(), o.description.size());
  if (o.bad_info == BadInfo::capability)
    append_message(info, MSG_CAPABILITY, "", 0);
  else if (!o.capability.empty())
    append_message(info, MSG_CAPABILITY, o.capability.data(), o.capability.size());
  if (o.bad_info == BadInfo::mac)
    append_message(info, MSG_MAC_ADDR, o.mac, 5);
  else if (o.send_mac)
    append_message(info, MSG_MAC_ADDR, o.mac, 6);
  if (o.bad_info == BadInfo::keepalive) {
    const uint8_t ka[2] = {15, 0};
    append_message(info, MSG_KEEPALIVE, ka, 2);
  } else if (o.keepalive >= 0) {
    uint8_t ka = static_cast<uint8_t>(o.keepalive);
    append_message(info, MSG_KEEPALIVE, &ka, 1);
  }
  info += o.info_extra;
  append_message(info, MSG_OK, "", 0);
  return send_group(info, "server information");
}

// TUNNEL, then the client's OK; anything else before the OK is logged and
// skipped.
bool Client::start_tunnel() {
  if (!gate(Phase::tunnel_wait)) return false;
  if (opt_.config_loop_ms > 0) {
    logf(LOG_EVENT, "%s: CONFIG every %d ms, never TUNNEL (as told)", name_.c_str(), opt_.config_loop_ms);
    std::string cfg;
    append_message(cfg, MSG_CONFIG, "", 0);
    while (send_group(cfg, "CONFIG")) {
      if (wait_stop(srv_, opt_.config_loop_ms)) return false;
      // What the client sends meanwhile is read and dropped; its end ends this.
      uint8_t scratch[4096];
      ERR_clear_error();
      int r = SSL_read(ssl_, scratch, sizeof scratch);
      if (r <= 0) {
        int err = SSL_get_error(ssl_, r);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) return false;
      }
    }
    return false;
  }
  if (!opt_.pre_tunnel.empty() && !send_group(opt_.pre_tunnel, "extra bytes before TUNNEL")) return false;
  std::string t;
  append_message(t, MSG_TUNNEL, "", 0);
  if (!send_group(t, "TUNNEL")) return false;
  for (;;) {
    uint8_t code;
    size_t len;
    if (!read_message(code, len, "waiting for OK to TUNNEL")) return false;
    if (code == MSG_OK) break;
    if (code == MSG_ERR && len == 1)
      logf(LOG_EVENT, "%s: client answered ERR 0x%02x before the tunnel", name_.c_str(), rx_[HEADER_SIZE]);
    else
      logf(LOG_EVENT, "%s: before the tunnel: %s(0x%02x) %zu bytes ignored", name_.c_str(), message_name(code), code,
           len);
  }
  return gate(Phase::tunnel);
}

// ---- tunnel phase ----

// Never blocks: a full pipe already holds a wake-up.
void Client::wake() {
  if (wake_[1] < 0) return;
  char c = 1;
  (void)!write(wake_[1], &c, 1);
}

void Client::deliver(const BatchView& b, const bool* sel, int nsel) {
  if (silent_tunnel_) return;
  std::lock_guard<std::mutex> lock(out_mu_);
  // A batch meant whole for this client is copied as it came; otherwise a
  // batch of the selected frames is built, its code being their count.
  size_t need = b.record_len;
  if (nsel != b.count) {
    need = HEADER_SIZE;
    for (int i = 0; i < b.count; ++i)
      if (sel[i]) need += 2 + b.length[i];
  }
  // Whole batches or nothing: a client that does not keep up loses batches,
  // never part of one; the tunnel itself stays in step.
  if (!pending_.data || pending_.size + need > OUT_CAPACITY) {
    if (dropped_++ == 0) logf(LOG_EVENT, "%s: output full, dropping batches", name_.c_str());
    return;
  }
  uint8_t* out = pending_.data.get() + pending_.size;
  pending_.size += need;
  if (nsel == b.count) {
    memcpy(out, b.record, b.record_len);
  } else {
    put_header(out, static_cast<uint8_t>(nsel), need - HEADER_SIZE);
    size_t pos = HEADER_SIZE;
    for (int i = 0; i < b.count; ++i) {
      if (!sel[i]) continue;
      memcpy(out + pos, b.record + b.offset[i], 2 + b.length[i]);
      pos += 2 + b.length[i];
    }
  }
  ++batches_out_;
  // The client's own thread (reading the TAP) writes the batch out next anyway.
  if (t_self != this && !woken_.exchange(true)) {
    char c = 1;
    (void)!write(wake_[1], &c, 1);
  }
}

// One whole record from the client: keepalive, control message or batch.
// A bad batch is dropped and counted, never a reason to end the tunnel.
void Client::handle_record(const uint8_t* rec, size_t len) {
  uint8_t code = rec[0];
  if (code == 0) {
    if (len != HEADER_SIZE) logf(LOG_EVENT, "%s: keepalive with %zu payload bytes", name_.c_str(), len - HEADER_SIZE);
    if (silent_tunnel_) return;
    logf(LOG_DEBUG, "%s: keepalive answered", name_.c_str());
    // Only this thread handles records and writes pending_ out next, so
    // no wake-up is needed.
    std::lock_guard<std::mutex> lock(out_mu_);
    if (pending_.size + HEADER_SIZE <= OUT_CAPACITY) {
      memset(pending_.data.get() + pending_.size, 0, HEADER_SIZE);
      pending_.size += HEADER_SIZE;
    }
    return;
  }
  if (code >= 0x80) {
    logf(LOG_EVENT, "%s: tunnel: control message %s(0x%02x) %zu bytes skipped", name_.c_str(), message_name(code), code,
         len - HEADER_SIZE);
    return;
  }
  BatchView view;
  const char* why = "";
  if (!walk_batch(rec, len, view, &why)) {
    if (bad_++ < 10) logf(LOG_EVENT, "%s: bad frame batch dropped: %s", name_.c_str(), why);
    return;
  }
  ++batches_in_;
  if (log_level() >= LOG_DEBUG) logf(LOG_DEBUG, "%s: batch of %d frames, %zu bytes", name_.c_str(), view.count, len);
  srv_.sw.forward(this, view);
}

// Reads all the TLS session has now; false when the tunnel ends. Records
// are handled in place in rx_; a partial one moves to the front and waits
// for the rest, so records may span TLS reads in any way.
bool Client::tunnel_read() {
  for (;;) {
    ERR_clear_error();
    int r = SSL_read(ssl_, rx_.data() + held_, static_cast<int>(rx_.size() - held_));
    if (r <= 0) {
      int err = SSL_get_error(ssl_, r);
      if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return true;
      if (err == SSL_ERROR_ZERO_RETURN || (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)) {
        logf(LOG_EVENT, "%s: tunnel: client closed the connection", name_.c_str());
        return false;
      }
      report_ssl("tunnel read", err);
      return false;
    }
    held_ += static_cast<size_t>(r);
    last_rx_ = std::chrono::steady_clock::now();
    size_t pos = 0;
    while (held_ - pos >= HEADER_SIZE) {
      size_t len = HEADER_SIZE + get_be16(rx_.data() + pos + 1);
      if (held_ - pos < len) break;
      handle_record(rx_.data() + pos, len);
      pos += len;
    }
    if (pos) {
      memmove(rx_.data(), rx_.data() + pos, held_ - pos);
      held_ -= pos;
    }
  }
}

// Writes what is waiting; false when the tunnel ends. When TLS cannot take
// more, sending_ keeps the rest and the caller polls for POLLOUT until it can.
// Other threads only ever touch pending_, so SSL_write runs without the lock.
bool Client::tunnel_write() {
  for (;;) {
    if (send_off_ == sending_.size) {
      sending_.size = 0;
      send_off_ = cut_end_ = 0;
      std::lock_guard<std::mutex> lock(out_mu_);
      // Cleared with the buffer taken: a delivery from now on wakes us again.
      woken_ = false;
      if (!pending_.size) return true;
      std::swap(sending_, pending_);
    }
    if (cut_end_ <= send_off_) cut_end_ = next_cut(send_off_, sending_.size);
    ERR_clear_error();
    int r = SSL_write(ssl_, sending_.data.get() + send_off_, static_cast<int>(cut_end_ - send_off_));
    if (r > 0) {
      send_off_ += static_cast<size_t>(r);
      // Between two whole writes: the only moment a key update may be asked for.
      if (opt_.key_update > 0 && ++writes_ % static_cast<uint64_t>(opt_.key_update) == 0 &&
          SSL_version(ssl_) == TLS1_3_VERSION) {
        if (SSL_key_update(ssl_, SSL_KEY_UPDATE_REQUESTED) == 1) ++key_updates_;
      }
      continue;
    }
    int err = SSL_get_error(ssl_, r);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return true;
    report_ssl("tunnel write", err);
    return false;
  }
}

// The tunnel's event loop, the one place that touches the TLS session from
// here on. Each round: read all TLS has, write all it takes, then poll the
// socket (POLLOUT only while a write is unfinished), the wake pipe, the stop
// pipe and, while this client is the TAP's sole reader, the TAP. OpenSSL may
// hold decrypted bytes the socket no longer shows, which is why each round
// reads until WANT_READ before polling.
void Client::tunnel() {
  {
    std::lock_guard<std::mutex> lock(out_mu_);
    pending_.data.reset(new uint8_t[OUT_CAPACITY]);
    sending_.data.reset(new uint8_t[OUT_CAPACITY]);
  }
  // Made before joining the switch: deliveries write to it from then on.
  if (pipe(wake_) != 0) {
    logf(LOG_ERROR, "%s: pipe: %s", name_.c_str(), strerror(errno));
    return;
  }
  fcntl(wake_[0], F_SETFL, O_NONBLOCK);
  fcntl(wake_[1], F_SETFL, O_NONBLOCK);
  if (!srv_.sw.attach(this)) {
    logf(LOG_EVENT, "%s: switch full, closing", name_.c_str());
    return;
  }
  if (srv_.tap) {
    srv_.tap->tunnel_joined(this);
    reads_tap_ = true;
  }
  // Only now: whoever waits for this line may count on frames reaching the client.
  logf(LOG_EVENT, "%s: tunnel up", name_.c_str());
  SSL_set_mode(ssl_, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  last_rx_ = std::chrono::steady_clock::now();
  held_ = 0;
  auto next_keepalive = std::chrono::steady_clock::now();
  for (;;) {
    if (opt_.stall) {
      // Read nothing, so that the client's writes back up; keep it
      // hearing from us so that only its writes can tell.
      if (std::chrono::steady_clock::now() >= next_keepalive) {
        std::lock_guard<std::mutex> lock(out_mu_);
        if (pending_.size + HEADER_SIZE <= OUT_CAPACITY) {
          memset(pending_.data.get() + pending_.size, 0, HEADER_SIZE);
          pending_.size += HEADER_SIZE;
        }
        next_keepalive += std::chrono::seconds(2);
      }
      if (!tunnel_write()) return;
    } else if (!tunnel_read() || !tunnel_write()) {
      return;
    }
    bool writing = send_off_ < sending_.size;
    short in = opt_.stall ? 0 : POLLIN;
    int tap_fd = reads_tap_ ? srv_.tap->fd_for(this) : -1;
    pollfd p[4] = {{fd_, static_cast<short>(in | (writing ? POLLOUT : 0)), 0},
                   {wake_[0], POLLIN, 0},
                   {srv_.stop_fd, POLLIN, 0},
                   {tap_fd, POLLIN, 0}};
    // A timer only where time matters (the idle check, stall keepalives);
    // otherwise the loop sleeps until something happens.
    int timeout = opt_.idle_timeout > 0 || opt_.stall ? 1000 : -1;
    // A frame from the TAP still being cut up needs no waiting.
    if (tap_fd >= 0 && srv_.tap->more()) timeout = 0;
    if (drop_pending_) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(drop_at_ - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        drop_pending_ = false;
        logf(LOG_EVENT, "%s: dropping the connection at tunnel (as told)", name_.c_str());
        linger lg{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        return;
      }
      if (timeout < 0 || left.count() < timeout) timeout = static_cast<int>(left.count());
    }
    int r = poll(p, 4, timeout);
    if (r < 0 && errno != EINTR) {
      logf(LOG_ERROR, "%s: poll: %s", name_.c_str(), strerror(errno));
      return;
    }
    if (p[2].revents) return;
    // Drained whole: the buffer is looked at in the next round anyway.
    if (p[1].revents) {
      char buf[64];
      while (read(wake_[0], buf, sizeof buf) > 0) {
      }
    }
    if (tap_fd >= 0 && (p[3].revents || srv_.tap->more())) srv_.tap->serve(p[3].revents);
    if (opt_.idle_timeout > 0 &&
        std::chrono::steady_clock::now() - last_rx_ > std::chrono::seconds(opt_.idle_timeout)) {
      logf(LOG_EVENT, "%s: nothing from the client for %d seconds, closing", name_.c_str(), opt_.idle_timeout);
      return;
    }
  }
}

}  // namespace ks
