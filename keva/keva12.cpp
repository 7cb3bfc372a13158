#include "keva12.h"

#include <apr_time.h>

#include <apr_network_io.h>
#include <apr_strings.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "misc.h"
#include "profile.h"
#include "ssl.h"
#include "trace.h"
#include "platform/socket.h"

namespace {

const CodeName kCodeNames[] = {
    {KEVA_OK, "OK"},
    {KEVA_ZONE, "ZONE"},
    {KEVA_USER, "USER"},
    {KEVA_PASSWORD, "PASSWORD"},
    {KEVA_AUTH, "AUTH"},
    {KEVA_VERSION, "VERSION"},
    {KEVA_DESCRIPTION, "DESCRIPTION"},
    {KEVA_CAPABILITY, "CAPABILITY"},
    {KEVA_MAC_ADDR, "MAC_ADDR"},
    {KEVA_KEEPALIVE, "KEEPALIVE"},
    {KEVA_TUNNEL, "TUNNEL"},
    {KEVA_CONFIG, "CONFIG"},
    {KEVA_ERR, "ERR"},
    {0, nullptr},
};

inline size_t payload_length(const unsigned char* header) { return (static_cast<size_t>(header[1]) << 8) | header[2]; }

void trace_message(RemoteConnection* conn, char direction, int code, const unsigned char* payload, size_t len) {
  if (!trace_is_on()) return;
  char desc[KEVA12_DESCRIPTION_MAX + 1];
  keva12_describe(desc, code, payload, len);
  trace_printf(conn ? conn->trace_tag : nullptr, nullptr, "%c [keva12] %s", direction, desc);
}

// The "= %s" part of a TLS call's trace line.
void trace_ssl_call(RemoteConnection* conn, const char* name, int size, int result, int kind) {
  if (!trace_is_on()) return;
  const char* kind_name = ssl_error_kind_name(kind);
  if (kind == SSL_ERROR_NONE)
    trace_printf(conn->trace_tag, nullptr, "%s(%d) = %d", name, size, result);
  else
    trace_printf(conn->trace_tag, nullptr, "%s(%d) = %d %s", name, size, result, kind_name ? kind_name : "?");
}

// One receive buffer per connection for the login phases, kept on its pool.
unsigned char* message_scratch(RemoteConnection* conn) {
  static const char kKey[] = "keva12.message";
  void* p = nullptr;
  apr_pool_userdata_get(&p, kKey, conn->pool);
  if (!p) {
    p = apr_palloc(conn->pool, KEVA12_MESSAGE_SIZE);
    apr_pool_userdata_setn(p, kKey, nullptr, conn->pool);
  }
  return static_cast<unsigned char*>(p);
}

int send_own_message(RemoteConnection* conn, int code, const void* payload, size_t len) {
  if (message_append(conn, code, payload, len) != 0) return -1;
  return message_flush(conn);
}

}  // namespace

// --- Byte-level pieces ----------------------------------------------------

const char* keva12_code_name(int code) { return codename_name(kCodeNames, code); }

int message_put(MessageBuffer* buf, int code, const void* payload, size_t len) {
  if (len > KEVA12_MAX_PAYLOAD || buf->used + len + KEVA12_HEADER_SIZE > MESSAGE_BUFFER_SIZE) return -1;
  unsigned char* p = buf->data + buf->used;
  p[0] = static_cast<unsigned char>(code);
  p[1] = static_cast<unsigned char>(len >> 8);
  p[2] = static_cast<unsigned char>(len);
  p[3] = 0;
  if (len) std::memcpy(p + KEVA12_HEADER_SIZE, payload, len);
  buf->used += static_cast<uint32_t>(len + KEVA12_HEADER_SIZE);
  return 0;
}

size_t keva12_describe(char* out, int code, const unsigned char* payload, size_t len) {
  const size_t limit = KEVA12_DESCRIPTION_MAX;
  const char* name = keva12_code_name(code);
  int n = name ? std::snprintf(out, limit + 1, "%s %zu", name, len)
               : std::snprintf(out, limit + 1, "unknown(%d) %zu", code, len);
  size_t pos = n < 0 ? 0 : (static_cast<size_t>(n) > limit ? limit : static_cast<size_t>(n));
  if (len == 0 || pos + 4 > limit) {
    out[pos] = 0;
    return pos;
  }
  // The password or ticket never reaches the trace file.
  static const unsigned char kMasked[] = "********";
  if (code == KEVA_PASSWORD) {
    payload = kMasked;
    len = sizeof kMasked - 1;
  }
  std::memcpy(out + pos, " = \"", 4);
  pos += 4;
  // The whole payload with its closing quote when it fits; otherwise as
  // much as leaves room for the "..." mark.
  size_t full = 0;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = payload[i];
    full += (c >= 0x20 && c < 0x7f) ? 1 : 4;
    if (pos + full + 1 > limit) break;
  }
  bool fits = pos + full + 1 <= limit;
  size_t room = fits ? limit : limit - 3;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = payload[i];
    bool printable = c >= 0x20 && c < 0x7f;
    size_t unit = printable ? 1 : 4;
    if (pos + unit + (fits ? 1 : 0) > room) break;
    if (printable) {
      out[pos++] = static_cast<char>(c);
    } else {
      std::snprintf(out + pos, 5, "\\x%02x", c);
      pos += 4;
    }
  }
  if (fits) {
    out[pos++] = '"';
  } else {
    std::memcpy(out + pos, "...", 3);
    pos += 3;
  }
  out[pos] = 0;
  return pos;
}

int keva12_login_answer(int code, const unsigned char* payload, size_t len, const char** reason, int* fatal) {
  *fatal = 0;
  *reason = nullptr;
  if (code == KEVA_OK) return 0;
  *reason = "protocol error";
  if (code == KEVA_ERR && len >= 1) {
    switch (payload[0]) {
      case KEVA_ERR_AUTH_FAILURE:
        *reason = "authentication failure";
        *fatal = 1;
        break;
      case KEVA_ERR_ALREADY_CONNECTED: *reason = "user already connected"; break;
      case KEVA_ERR_TOO_MANY: *reason = "too many connections"; break;
      case KEVA_ERR_USER_DISABLED:
        *reason = "user disabled";
        *fatal = 1;
        break;
      default: break;
    }
  }
  return -1;
}

int keva12_server_info_apply(ServerInfo* info, int code, const unsigned char* payload, size_t len) {
  switch (code) {
    case KEVA_OK: return 1;
    case KEVA_VERSION:
      if (len < 1 || len > 80) return -1;
      std::memcpy(info->version, payload, len);
      info->version[len] = 0;
      return 0;
    case KEVA_DESCRIPTION:
      if (len < 1 || len > 80) return -1;
      std::memcpy(info->system, payload, len);
      info->system[len] = 0;
      return 0;
    case KEVA_CAPABILITY:
      if (len < 1 || len > 255) return -1;
      if (std::memchr(payload, 0, len)) info->capability_zero = 1;
      return 0;
    case KEVA_MAC_ADDR:
      if (len != 6) return -1;
      std::memcpy(info->mac, payload, 6);
      info->mac_present = 1;
      return 0;
    case KEVA_KEEPALIVE:
      if (len != 1 || payload[0] < 1 || payload[0] > 60) return -1;
      info->keepalive = payload[0];
      info->keepalive_present = 1;
      return 0;
    default: return 0;
  }
}

int keva12_login_batch(MessageBuffer* buf, int auth_type, const char* zone, const char* user, const char* password) {
  auto text = [](const char* s) { return s ? s : ""; };
  if (zone && message_put(buf, KEVA_ZONE, zone, std::strlen(zone)) != 0) return -1;
  unsigned char method;
  switch (auth_type) {
    case AUTH_PASSWORD:
      if (message_put(buf, KEVA_USER, text(user), std::strlen(text(user))) != 0 ||
          message_put(buf, KEVA_PASSWORD, text(password), std::strlen(text(password))) != 0)
        return -1;
      method = KEVA_AUTH_PASSWORD;
      break;
    case AUTH_TICKET:
      if (message_put(buf, KEVA_PASSWORD, text(password), std::strlen(text(password))) != 0) return -1;
      method = KEVA_AUTH_TICKET;
      break;
    default:  // x509 and token: the certificate went with the TLS handshake
      method = KEVA_AUTH_CERTIFICATE;
      break;
  }
  return message_put(buf, KEVA_AUTH, &method, 1);
}

int tunnel_walk(unsigned char* buf, size_t* held, tunnel_deliver_fn deliver, void* ctx) {
  size_t n = *held, off = 0;
  int rc = TUNNEL_WALK_OK;
  while (n - off >= KEVA12_HEADER_SIZE) {
    unsigned char* rec = buf + off;
    size_t len = payload_length(rec);
    if (len > TUNNEL_MAX_PAYLOAD) {
      // It could never be completed: the reader would wait for ever.
      rc = TUNNEL_WALK_OVERSIZED;
      break;
    }
    if (n - off < KEVA12_HEADER_SIZE + len) break;
    if (rec[0] >= 1 && rec[0] <= 127) {
      rec[1] = rec[2] = rec[3] = 0;
      if (deliver(ctx, rec, KEVA12_HEADER_SIZE + len) != 0) return TUNNEL_WALK_DELIVER_FAILED;
    }
    off += KEVA12_HEADER_SIZE + len;
  }
  if (off) {
    std::memmove(buf, buf + off, n - off);
    *held = n - off;
  }
  return rc;
}

// --- Connection steps -------------------------------------------------------

int message_append(RemoteConnection* conn, int code, const void* payload, size_t len) {
  if (!conn->pending) conn->pending = msgbuf_take();
  if (!conn->pending || message_put(conn->pending, code, payload, len) != 0) {
    log_error("internal error: keva buffer overflow");
    return -1;
  }
  trace_message(conn, '<', code, static_cast<const unsigned char*>(payload), len);
  return 0;
}

int message_flush(RemoteConnection* conn) {
  MessageBuffer* buf = conn->pending;
  if (!buf) return 0;
  conn->pending = nullptr;
  int used = static_cast<int>(buf->used);
  int n = used > 0 ? ssl_write_wait(conn, buf->data, used) : used;
  buf->used = 0;
  msgbuf_give(buf);
  if (n != used) {
    // A clean close in the middle of the login is a failure all the same;
    // the write wrapper logged any other cause.
    if (n == 0) log_error("disconnected from the peer unexpectedly (%s)", "EOF");
    return -1;
  }
  return 0;
}

static int read_exactly(RemoteConnection* conn, unsigned char* buf, size_t len) {
  size_t got = 0;
  while (got < len) {
    int n = ssl_read_wait(conn, buf + got, static_cast<int>(len - got));
    if (n <= 0) return -1;
    got += static_cast<size_t>(n);
  }
  return 0;
}

int message_read(RemoteConnection* conn, unsigned char* buf) {
  if (read_exactly(conn, buf, KEVA12_HEADER_SIZE) != 0) return -1;
  size_t len = payload_length(buf);
  if (len && read_exactly(conn, buf + KEVA12_HEADER_SIZE, len) != 0) return -1;
  trace_message(conn, '>', buf[0], buf + KEVA12_HEADER_SIZE, len);
  return 0;
}

int keva12_client_handshake(RemoteConnection* conn) {
  static const char kGreeting[] = KEVA12_GREETING;
  static const char kAnswer[] = KEVA12_GREETING_OK;
  const size_t answer_len = sizeof kAnswer - 1;

  size_t sent = 0;
  while (sent < sizeof kGreeting - 1) {
    int n = connection_send(conn, kGreeting + sent, static_cast<int>(sizeof kGreeting - 1 - sent));
    if (n <= 0) {
      if (!connection_stopped(conn)) log_error("handshake error: %s", "I/O error");
      return -1;
    }
    sent += static_cast<size_t>(n);
  }

  // One receive normally carries the whole answer; a short first segment is
  // read on until the answer can be judged. Anything after it is ignored.
  char buf[4096];
  size_t got = 0;
  while (got < answer_len) {
    int n = connection_recv(conn, buf + got, static_cast<int>(sizeof buf - got));
    if (n <= 0) {
      if (!connection_stopped(conn)) log_error("handshake error: %s", "I/O error");
      return -1;
    }
    got += static_cast<size_t>(n);
    if (std::memcmp(buf, kAnswer, got < answer_len ? got : answer_len) != 0) break;
  }
  if (got < answer_len || std::memcmp(buf, kAnswer, answer_len) != 0) {
    log_error("handshake error: %s", "protocol mismatch");
    return -1;
  }
  return 0;
}

int keva12_client_auth(RemoteConnection* conn, const SessionProfile* profile) {
  const AuthRecord& auth = profile->auth;
  const char* zone = auth.type == AUTH_TICKET ? nullptr : auth.switch_name;
  // Trace each message as it goes into the batch, the same as message_append.
  if (!conn->pending) conn->pending = msgbuf_take();
  MessageBuffer* buf = conn->pending;
  uint32_t start = buf ? buf->used : 0;
  if (!buf || keva12_login_batch(buf, auth.type, zone, auth.username, auth.password) != 0) {
    if (buf) buf->used = start;
    log_error("internal error: keva buffer overflow");
    return -1;
  }
  if (trace_is_on()) {
    for (uint32_t off = start; off < buf->used;) {
      size_t len = payload_length(buf->data + off);
      trace_message(conn, '<', buf->data[off], buf->data + off + KEVA12_HEADER_SIZE, len);
      off += static_cast<uint32_t>(KEVA12_HEADER_SIZE + len);
    }
  }
  if (message_flush(conn) != 0) return -1;

  unsigned char* msg = message_scratch(conn);
  if (message_read(conn, msg) != 0) return -1;
  const char* reason;
  int fatal;
  if (keva12_login_answer(msg[0], msg + KEVA12_HEADER_SIZE, payload_length(msg), &reason, &fatal) != 0) {
    if (fatal) conn->fatal = 1;
    log_error("login error: %s", reason);
    return -1;
  }
  return 0;
}

int keva12_client_info(RemoteConnection* conn) {
  ServerInfo local;
  ServerInfo* info = conn->info ? conn->info : &local;

  std::memset(info, 0, sizeof *info);
  std::snprintf(info->version, sizeof info->version, "%s %s", KEVA12_CLIENT_NAME, KEVA12_CLIENT_VERSION);
  char system[256];
  if (system_description(system, sizeof system) == 0) {
    size_t n = strnlen(system, sizeof info->system - 1);
    std::memcpy(info->system, system, n);
    info->system[n] = 0;
  }
  size_t vlen = std::strlen(info->version), slen = std::strlen(info->system);
  if ((vlen && message_append(conn, KEVA_VERSION, info->version, vlen) != 0) ||
      (slen && message_append(conn, KEVA_DESCRIPTION, info->system, slen) != 0) ||
      message_append(conn, KEVA_OK, nullptr, 0) != 0 || message_flush(conn) != 0)
    return -1;

  std::memset(info, 0, sizeof *info);
  unsigned char* msg = message_scratch(conn);
  for (;;) {
    if (message_read(conn, msg) != 0) return -1;
    int rc = keva12_server_info_apply(info, msg[0], msg + KEVA12_HEADER_SIZE, payload_length(msg));
    if (rc < 0) {
      log_error("KEVA/1.2 protocol error");
      return -1;
    }
    if (rc > 0) break;
  }
  if (info->version[0]) log_info("server version: %s", info->version);
  if (info->system[0]) log_info("server system: %s", info->system);
  return 0;
}

int keva12_client_wait_tunnel(RemoteConnection* conn) {
  unsigned char* msg = message_scratch(conn);
  for (;;) {
    if (message_read(conn, msg) != 0) return -1;
    if (msg[0] == KEVA_TUNNEL) return send_own_message(conn, KEVA_OK, nullptr, 0);
    if (msg[0] == KEVA_CONFIG) continue;
    static const unsigned char reason = KEVA_ERR_UNEXPECTED;
    if (send_own_message(conn, KEVA_ERR, &reason, 1) != 0) return -1;
  }
}

int keva12_client_start(RemoteConnection* conn, const SessionProfile* profile) {
  // Each login step is bracketed in the trace so that its calls read as a block.
  struct Step {
    const char* name;
    explicit Step(RemoteConnection* c, const char* n) : name(n), conn(c) {
      trace_printf(conn->trace_tag, nullptr, "%s() {", name);
    }
    ~Step() { trace_printf(conn->trace_tag, nullptr, "}"); }
    RemoteConnection* conn;
  };
  {
    Step s(conn, "keva12_client_handshake");
    if (keva12_client_handshake(conn) != 0) return -1;
  }
  // The TLS step brackets itself.
  if (keva12_client_ssl(conn, profile) != 0) return -1;
  {
    Step s(conn, "keva12_client_auth");
    if (keva12_client_auth(conn, profile) != 0) return -1;
  }
  if (keva12_client_info(conn) != 0) return -1;
  return keva12_client_wait_tunnel(conn);
}

// --- Tunnel phase -----------------------------------------------------------

int tunnel_read(RemoteConnection* conn, TunnelBuffer* rb) {
  if (ssl_session_closed(conn)) {
    // Closed at the TLS level: drain the socket until the peer closes it, so
    // that the close is orderly at the TCP level too. A peer that never
    // closes must not hold the session: the waits end with the drain time.
    char scratch[4096];
    while (connection_wait(conn, velarn::kSocketReadable, TUNNEL_DRAIN_SECONDS * 1000) == CONN_READY) {
      long n = velarn::socket_recv(static_cast<int>(conn->os_socket), scratch, sizeof scratch);
      if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))) continue;
      break;
    }
    return TUNNEL_CLOSED;
  }
  if (rb->held >= KEVA12_HEADER_SIZE && payload_length(rb->data) > TUNNEL_MAX_PAYLOAD) {
    log_error("KEVA/1.2 protocol error");
    return TUNNEL_FAILED;
  }
  size_t space = TUNNEL_BUFFER_SIZE - rb->held;
  if (space == 0) {
    // Only possible when complete records were left unwalked.
    log_error("KEVA/1.2 protocol error");
    return TUNNEL_FAILED;
  }
  int kind, wait;
  int n = ssl_call(conn, SSL_OP_READ, rb->data + rb->held, static_cast<int>(space), &kind, &wait);
  int saved = errno;
  trace_ssl_call(conn, "SSL_read", static_cast<int>(space), n, kind);
  switch (kind) {
    case SSL_ERROR_NONE: rb->held += static_cast<size_t>(n); return TUNNEL_OK;
    case SSL_ERROR_ZERO_RETURN: ssl_session_mark_closed(conn); return TUNNEL_OK;
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      // Only a stop or the end of the drain time ends a read's wait.
      return ssl_session_closed(conn) ? TUNNEL_CLOSED : TUNNEL_FAILED;
    default:
      // Once the connection is being closed from this side, its end is no news.
      if (!connection_aborted(conn) && !ssl_session_closed(conn)) {
        errno = saved;
        ssl_report_error(kind, conn, n);
      }
      return TUNNEL_FAILED;
  }
}

int tunnel_write(RemoteConnection* conn, unsigned char* record, uint32_t* len) {
  if (*len == 0) return TUNNEL_OK;
  if (ssl_session_closed(conn)) return TUNNEL_CLOSED;
  int kind, wait;
  int n = ssl_call(conn, SSL_OP_WRITE, record, static_cast<int>(*len), &kind, &wait);
  int saved = errno;
  trace_ssl_call(conn, "SSL_write", static_cast<int>(*len), n, kind);
  switch (kind) {
    case SSL_ERROR_NONE: *len = 0; return TUNNEL_OK;
    case SSL_ERROR_ZERO_RETURN: return TUNNEL_CLOSED;
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      // The write limit passed with the peer taking nothing: it would block.
      if (wait != CONN_TIMEOUT) return TUNNEL_FAILED;
      return kind == SSL_ERROR_WANT_READ ? TUNNEL_WANT_READ : TUNNEL_WANT_WRITE;
    default:
      if (!connection_aborted(conn) && !ssl_session_closed(conn)) {
        errno = saved;
        ssl_report_error(kind, conn, n);
      }
      return TUNNEL_FAILED;
  }
}
