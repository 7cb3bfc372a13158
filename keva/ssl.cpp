// TLS client channel over OpenSSL 3.
#include "ssl.h"

#include <apr_errno.h>
#include <apr_strings.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "config.h"
#include "log.h"
#include "profile.h"
#include "trace.h"
#include "platform/socket.h"
#include "platform/socket.h"

namespace {

const char* const kKindNames[] = {
    "SSL_ERROR_NONE",
    "SSL_ERROR_SSL",
    "SSL_ERROR_WANT_READ",
    "SSL_ERROR_WANT_WRITE",
    "SSL_ERROR_WANT_X509_LOOKUP",
    "SSL_ERROR_SYSCALL",
    "SSL_ERROR_ZERO_RETURN",
    "SSL_ERROR_WANT_CONNECT",
    "SSL_ERROR_WANT_ACCEPT",
};

const int kSocketLimitSeconds = 10;
// How often a wait looks at the stop hook and the deadline.
const int kSliceMs = 250;
// After the TLS close was sent, how long a read still waits for the peer's.
const int kDrainMs = 3000;

}  // namespace

// OpenSSL supports one thread at a time on an SSL object; the tunnel has two
// (and the stop path a third). Each call holds `call` for its own duration
// only; waits for the socket happen outside it, so a stalled peer never
// keeps another thread out.
struct ConnectionIo {
  std::mutex call;
  std::atomic<bool> aborted{false};
  std::atomic<apr_time_t> closed_at{0};  // the TLS close was sent or read
  apr_time_t deadline = 0;
  int (*stopping)(void*) = nullptr;
  void* ctx = nullptr;
  int read_limit_ms = kSocketLimitSeconds * 1000;
  int write_limit_ms = kSocketLimitSeconds * 1000;
};

namespace {

void trace(RemoteConnection* conn, const char* text) {
  if (trace_is_on()) trace_printf(conn ? conn->trace_tag : nullptr, nullptr, "%s", text);
}

// "%d %s" (result, kind name), or "%d" when the kind is 0.
void trace_result(RemoteConnection* conn, const char* call, int arg, int result, int kind) {
  if (!trace_is_on()) return;
  char what[64];
  if (arg >= 0)
    snprintf(what, sizeof(what), "%s(%d)", call, arg);
  else
    snprintf(what, sizeof(what), "%s()", call);
  const char* name = ssl_error_kind_name(kind);
  if (kind == SSL_ERROR_NONE)
    trace_printf(conn->trace_tag, nullptr, "%s = %d", what, result);
  else if (name)
    trace_printf(conn->trace_tag, nullptr, "%s = %d %s", what, result, name);
  else
    trace_printf(conn->trace_tag, nullptr, "%s = %d %d", what, result, kind);
}

// OpenSSL 3 reports a peer that drops the TCP connection mid-record as a
// protocol error; to the user it is the same lost peer as in older versions,
// after which the next server may be tried.
// Such a lost peer is reported as a system error with result 0 (end of file).
int classify(SSL* ssl, int* result, int* saved_errno) {
  *saved_errno = errno;
  int kind = SSL_get_error(ssl, *result);
  if (kind == SSL_ERROR_SSL && ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
    ERR_clear_error();
    *saved_errno = 0;
    *result = 0;
    return SSL_ERROR_SYSCALL;
  }
  return kind;
}

// What a TLS call's outcome means to its caller: byte count (or the call's
// result), 0 on a clean close, -1 logged.
int io_outcome(RemoteConnection* conn, int kind, int result, int saved) {
  switch (kind) {
    case SSL_ERROR_NONE: return result;
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE: log_error("connection timeout"); return -1;
    case SSL_ERROR_ZERO_RETURN: return 0;
    default:
      errno = saved;
      ssl_report_error(kind, conn, result);
      return -1;
  }
}

int verify_callback(int ok, X509_STORE_CTX* store) {
  if (ok) return ok;
  SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* conn = ssl ? static_cast<RemoteConnection*>(SSL_get_app_data(ssl)) : nullptr;
  if (conn) conn->fatal = 1;
  log_error("ssl verify error: %s", X509_verify_cert_error_string(X509_STORE_CTX_get_error(store)));
  return 0;
}

void log_call_failure(const char* call) {
  if (ERR_peek_error() == 0)
    log_error("%s: %s", call, "unknown error");
  else
    log_ssl_errors(call);
}

// The first common name of the subject must equal the host text exactly: the
// whole entry, byte for byte, so that a name with an embedded zero byte or one
// longer than any buffer cannot pass for a shorter host.
bool common_name_matches(X509* cert, const char* host) {
  X509_NAME* subject = X509_get_subject_name(cert);
  int idx = subject ? X509_NAME_get_index_by_NID(subject, NID_commonName, -1) : -1;
  if (idx < 0) return false;
  const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, idx));
  if (!data || !host) return false;
  size_t len = (size_t)ASN1_STRING_length(data);
  return len == strlen(host) && memcmp(ASN1_STRING_get0_data(data), host, len) == 0;
}

int server_check(RemoteConnection* conn) {
  trace(conn, "verifying server certificate");
  X509* peer = SSL_get1_peer_certificate(conn->ssl);
  const char* failure = nullptr;
  if (!peer) {
    failure = "no certificate returned";
  } else {
    long result = SSL_get_verify_result(conn->ssl);
    if (result != X509_V_OK)
      failure = X509_verify_cert_error_string(result);
    else if (!common_name_matches(peer, conn->host))
      failure = "server address mismatch";
  }
  X509_free(peer);
  if (failure) {
    log_error("ssl verify error: %s", failure);
    return -1;
  }
  return 0;
}

// The oldest protocol offered: TLS 1.2 unless the administrator lowers it in
// kevad.ini for an old server.
int min_protocol() {
  static const CodeName kVersions[] = {{TLS1_VERSION, "TLS1.0"},
                                       {TLS1_1_VERSION, "TLS1.1"},
                                       {TLS1_2_VERSION, "TLS1.2"},
                                       {TLS1_3_VERSION, "TLS1.3"},
                                       {0, nullptr}};
  const char* text = config_get_string("ssl.min_protocol", "TLS1.2");
  int v = codename_code(kVersions, text, 0);
  if (!v) {
    log_warning("ssl.min_protocol: unknown version %s; TLS1.2 is used", text);
    v = TLS1_2_VERSION;
  }
  return v;
}

// Whatever cipher text a profile gives, no suite without encryption or
// authentication and no export suite is ever offered. The library refuses
// TLS 1.0 and 1.1 above security level 0, so only an administrator's choice
// of an old protocol lowers the level, and then the cipher list keeps the
// unencrypted suites out on its own.
int apply_floor(SSL_CTX* ctx, const char* ciphers) {
  int version = min_protocol();
  if (SSL_CTX_set_min_proto_version(ctx, version) != 1) {
    log_call_failure("SSL_CTX_set_min_proto_version");
    return -1;
  }
  // The list as the profile's text chose it, less every suite that does not
  // encrypt, does not authenticate the server, or has fewer than 112 bits.
  std::string safe;
  STACK_OF(SSL_CIPHER)* list = SSL_CTX_get_ciphers(ctx);
  for (int i = 0; list && i < sk_SSL_CIPHER_num(list); ++i) {
    const SSL_CIPHER* c = sk_SSL_CIPHER_value(list, i);
    if (std::strcmp(SSL_CIPHER_get_version(c), "TLSv1.3") == 0) continue;  // always encrypted, set apart
    if (SSL_CIPHER_get_cipher_nid(c) == NID_undef || SSL_CIPHER_get_auth_nid(c) == NID_auth_null ||
        SSL_CIPHER_get_bits(c, nullptr) < 112)
      continue;
    safe += safe.empty() ? "" : ":";
    safe += SSL_CIPHER_get_name(c);
  }
  if (safe.empty() || SSL_CTX_set_cipher_list(ctx, safe.c_str()) != 1) {
    log_error("no usable cipher suite in the cipher list: %s", ciphers);
    return -1;
  }
  int level = SSL_CTX_get_security_level(ctx);
  if (version >= TLS1_2_VERSION && level < 1) SSL_CTX_set_security_level(ctx, 1);
  if (version < TLS1_2_VERSION) SSL_CTX_set_security_level(ctx, 0);
  return 0;
}

int build_context(RemoteConnection* conn, const SessionProfile* profile) {
  trace(conn, "creating SSL_CTX");
  conn->ctx = SSL_CTX_new(TLS_client_method());
  if (!conn->ctx) {
    log_call_failure("SSL_CTX_new");
    return -1;
  }
  SSL_CTX_set_mode(conn->ctx, SSL_MODE_AUTO_RETRY);
  SSL_CTX_set_session_cache_mode(conn->ctx, SSL_SESS_CACHE_OFF);

  const AuthRecord& auth = profile->auth;
  if (auth.type == AUTH_X509 || auth.type == AUTH_TOKEN) {
    trace(conn, "setting client private key/certificate");
    // Key first: a token key holds no key material and is marked to skip the
    // consistency check that setting the certificate would otherwise make.
    if (SSL_CTX_use_PrivateKey(conn->ctx, auth.private_key) != 1) {
      log_call_failure("SSL_CTX_use_PrivateKey");
      return -1;
    }
    if (SSL_CTX_use_certificate(conn->ctx, auth.certificate) != 1) {
      log_call_failure("SSL_CTX_use_certificate");
      return -1;
    }
  }

  if (profile->trust && profile->trust->count > 0) {
    trace(conn, "setting verify method");
    SSL_CTX_set_verify(conn->ctx, SSL_VERIFY_PEER, verify_callback);
    X509_STORE* store = SSL_CTX_get_cert_store(conn->ctx);
    for (int i = 0; i < profile->trust->count; ++i)
      X509_STORE_add_cert(store, static_cast<X509*>(ptrlist_get(profile->trust, i)));
    ERR_clear_error();
  }

  const char* ciphers = profile->ciphers ? profile->ciphers : PROFILE_DEFAULT_CIPHERS;
  if (trace_is_on()) trace_printf(conn->trace_tag, nullptr, "setting cipher list: %s", ciphers);
  if (SSL_CTX_set_cipher_list(conn->ctx, ciphers) != 1) {
    log_call_failure("SSL_CTX_set_cipher_list");
    return -1;
  }
  return apply_floor(conn->ctx, ciphers);
}

int client_ssl(RemoteConnection* conn, const SessionProfile* profile) {
  if (build_context(conn, profile) != 0) return -1;
  if (ssl_attach(conn, conn->ctx) != 0) return -1;
  SSL_set_app_data(conn->ssl, conn);

  trace(conn, "connecting to the server");
  if (ssl_connect_wait(conn) < 1) return -1;

  if (!profile->trust || profile->trust->count == 0) {
    log_info("server verification disabled");
    log_warning("the server certificate was not verified: the profile has no trust list");
  } else if (server_check(conn) != 0) {
    conn->fatal = 1;
    return -1;
  }
  log_info("using cipher: %s", SSL_get_cipher_name(conn->ssl));
  return 0;
}

}  // namespace

int ssl_error_kind(RemoteConnection* conn, int* result) {
  int saved;
  int kind = classify(conn->ssl, result, &saved);
  errno = saved;
  return kind;
}

const char* ssl_error_kind_name(int kind) {
  if (kind < 0 || kind >= (int)(sizeof(kKindNames) / sizeof(kKindNames[0]))) return nullptr;
  return kKindNames[kind];
}

int ssl_global_init(apr_pool_t*) {
  // OpenSSL 3 locks for itself and seeds its generator from the operating
  // system, so there are no callbacks to install and nothing to seed; what is
  // left is loading the error texts the log lines quote.
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  if (RAND_status() != 1) log_warning("random generator is not seeded");
#ifdef SIGPIPE
  // A peer that vanishes must give EPIPE on the next write, not end the
  // service.
  signal(SIGPIPE, SIG_IGN);
#endif
  return 0;
}

RemoteConnection* remote_connection_create(apr_pool_t* pool, apr_socket_t* sock, apr_sockaddr_t* peer) {
  auto* conn = static_cast<RemoteConnection*>(apr_pcalloc(pool, sizeof(RemoteConnection)));
  conn->pool = pool;
  conn->socket = sock;
  conn->trace_tag = peer;
  conn->info_wanted = 1;
  conn->os_socket = -1;
  conn->io = new ConnectionIo();
  if (sock) {
    apr_os_sock_get(&conn->os_socket, sock);
    apr_socket_timeout_set(sock, 0);
    velarn::set_nonblocking((int)conn->os_socket);
  }
  apr_pool_cleanup_register(pool, conn, connection_close, apr_pool_cleanup_null);
  return conn;
}

int keva12_client_ssl(RemoteConnection* conn, const SessionProfile* profile) {
  trace(conn, "keva12_client_ssl() {");
  int rc = client_ssl(conn, profile);
  trace(conn, "}");
  return rc;
}

int ssl_attach(RemoteConnection* conn, SSL_CTX* ctx) {
  ERR_clear_error();
  conn->ssl = SSL_new(ctx);
  if (!conn->ssl) {
    log_call_failure("SSL_new");
    return -1;
  }
  if (SSL_set_fd(conn->ssl, (int)conn->os_socket) != 1) {
    log_call_failure("SSL_set_fd");
    return -1;
  }
  // The socket stays non-blocking (remote_connection_create): the limits are
  // those of connection_wait.
  SSL_set_mode(conn->ssl, SSL_MODE_AUTO_RETRY);
  if (conn->info_wanted) conn->info = static_cast<ServerInfo*>(apr_pcalloc(conn->pool, sizeof(ServerInfo)));
  return 0;
}

int ssl_call(RemoteConnection* conn, SslOp op, void* buf, int size, int* kind, int* wait) {
  ConnectionIo* io = conn->io;
  *wait = CONN_READY;
  for (;;) {
    int result = -1, k, saved;
    {
      std::lock_guard<std::mutex> lock(io->call);
      ERR_clear_error();
      switch (op) {
        case SSL_OP_CONNECT: result = SSL_connect(conn->ssl); break;
        case SSL_OP_READ: result = SSL_read(conn->ssl, buf, size); break;
        case SSL_OP_WRITE: result = SSL_write(conn->ssl, buf, size); break;
      }
      k = classify(conn->ssl, &result, &saved);
    }
    if (k == SSL_ERROR_WANT_READ || k == SSL_ERROR_WANT_WRITE) {
      int limit = op == SSL_OP_WRITE ? io->write_limit_ms : io->read_limit_ms;
      int want = k == SSL_ERROR_WANT_READ ? velarn::kSocketReadable : velarn::kSocketWritable;
      int w = connection_wait(conn, want, limit);
      if (w == CONN_READY) continue;
      *wait = w;
    }
    *kind = k;
    errno = saved;
    return result;
  }
}

namespace {

// The login's calls: a wait that ran out is "connection timeout"; a stop
// ends the call without a word of its own.
int login_outcome(RemoteConnection* conn, int kind, int result, int wait) {
  if ((kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) && wait == CONN_ABORTED) {
    log_debug("connection aborted");
    return -1;
  }
  return io_outcome(conn, kind, result, errno);
}

int login_io(RemoteConnection* conn, SslOp op, const char* call, void* buf, int size) {
  int kind, wait;
  int result = ssl_call(conn, op, buf, size, &kind, &wait);
  int saved = errno;
  trace_result(conn, call, size, result, kind);
  errno = saved;
  return login_outcome(conn, kind, result, wait);
}

}  // namespace

int ssl_connect_wait(RemoteConnection* conn) {
  int kind, wait;
  int result = ssl_call(conn, SSL_OP_CONNECT, nullptr, 0, &kind, &wait);
  int saved = errno;
  trace_result(conn, "SSL_connect", -1, result, kind);
  if (kind == SSL_ERROR_SSL && ERR_peek_error() != 0) {
    conn->fatal = 1;
    // Low 12 bits: the reason without OpenSSL 3's library flags.
    int reason = ERR_GET_REASON(ERR_peek_error()) & 0xfff;
    if (reason == 4 || reason == SSL_R_CERTIFICATE_VERIFY_FAILED) {
      // The verify callback or the token signer has said why.
      ERR_clear_error();
      return -1;
    }
    ssl_report_error(kind, conn, result);
    return -1;
  }
  errno = saved;
  return login_outcome(conn, kind, result, wait);
}

int ssl_read_wait(RemoteConnection* conn, void* buf, int size) {
  return login_io(conn, SSL_OP_READ, "SSL_read", buf, size);
}

int ssl_write_wait(RemoteConnection* conn, const void* buf, int size) {
  return login_io(conn, SSL_OP_WRITE, "SSL_write", const_cast<void*>(buf), size);
}

// --- waits ----------------------------------------------------------------------

void connection_guard(RemoteConnection* conn, apr_time_t deadline, int (*stopping)(void* ctx), void* ctx) {
  conn->io->deadline = deadline;
  conn->io->stopping = stopping;
  conn->io->ctx = ctx;
}

void connection_enter_tunnel(RemoteConnection* conn, int write_limit_ms) {
  conn->io->deadline = 0;
  conn->io->read_limit_ms = -1;
  conn->io->write_limit_ms = write_limit_ms;
}

void connection_abort(RemoteConnection* conn) {
  conn->io->aborted = true;
  // Wakes a poll at once; the descriptor itself stays until the pool goes.
  if (conn->os_socket >= 0) velarn::socket_shutdown((int)conn->os_socket);
}

bool connection_aborted(const RemoteConnection* conn) { return conn->io->aborted.load(); }

bool connection_stopped(const RemoteConnection* conn) {
  const ConnectionIo* io = conn->io;
  return io->aborted.load() || (io->stopping && io->stopping(io->ctx));
}

int connection_wait(RemoteConnection* conn, int events, int limit_ms) {
  ConnectionIo* io = conn->io;
  const apr_time_t start = apr_time_now();
  for (;;) {
    if (io->aborted.load() || (io->stopping && io->stopping(io->ctx))) return CONN_ABORTED;
    apr_time_t now = apr_time_now();
    if (io->deadline && now >= io->deadline) return CONN_EXPIRED;
    apr_time_t until = limit_ms >= 0 ? start + apr_time_from_msec(limit_ms) : 0;
    apr_time_t closed = io->closed_at.load();
    if ((events & velarn::kSocketReadable) && closed) {
      apr_time_t drain = closed + apr_time_from_msec(kDrainMs);
      if (!until || drain < until) until = drain;
    }
    if (until && now >= until) return CONN_TIMEOUT;
    // A stop hook or a deadline is looked at between slices; an abort wakes
    // the poll by itself.
    apr_time_t slice = apr_time_from_msec(io->stopping || io->deadline ? kSliceMs : 1000);
    if (until && until - now < slice) slice = until - now;
    if (io->deadline && io->deadline - now < slice) slice = io->deadline - now;
    int r = velarn::socket_wait((int)conn->os_socket, events, static_cast<int>((slice + 999) / 1000));
    if (r != 0) return CONN_READY;  // errors and hang-ups too: the call says what happened
  }
}

int connection_send(RemoteConnection* conn, const char* data, int len) {
  for (;;) {
    long n = velarn::socket_send((int)conn->os_socket, data, static_cast<size_t>(len));
    if (n >= 0) {
      trace_call("send", conn->trace_tag, len, 0, static_cast<int>(n));
      return static_cast<int>(n);
    }
    int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      int w = connection_wait(conn, velarn::kSocketWritable, conn->io->write_limit_ms);
      if (w == CONN_READY) continue;
      if (w == CONN_ABORTED)
        log_debug("connection aborted");
      else
        log_error("connection timeout");
      return -1;
    }
    trace_call("send", conn->trace_tag, len, APR_FROM_OS_ERROR(err), -1);
    log_apr_error("send", APR_FROM_OS_ERROR(err));
    return -1;
  }
}

int connection_recv(RemoteConnection* conn, char* buf, int len) {
  for (;;) {
    long n = velarn::socket_recv((int)conn->os_socket, buf, static_cast<size_t>(len));
    if (n >= 0) {
      trace_call("recv", conn->trace_tag, len, 0, static_cast<int>(n));
      return static_cast<int>(n);
    }
    int err = errno;
    if (err == EINTR) continue;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      int w = connection_wait(conn, velarn::kSocketReadable, conn->io->read_limit_ms);
      if (w == CONN_READY) continue;
      if (w == CONN_TIMEOUT) return 0;
      if (w == CONN_ABORTED)
        log_debug("connection aborted");
      else
        log_error("connection timeout");
      return -1;
    }
    trace_call("recv", conn->trace_tag, len, APR_FROM_OS_ERROR(err), -1);
    log_apr_error("recv", APR_FROM_OS_ERROR(err));
    return -1;
  }
}

void ssl_report_error(int kind, RemoteConnection* conn, int result) {
  int sys = errno;
  if (kind != SSL_ERROR_SSL && kind != SSL_ERROR_SYSCALL) {
    log_error("unknown ssl error: %d", kind);
    return;
  }
  if (ERR_peek_error() != 0) {
    const char* data = nullptr;
    int flags = 0;
    unsigned long e;
    while ((e = ERR_get_error_all(nullptr, nullptr, nullptr, &data, &flags)) != 0) {
      char text[256];
      ERR_error_string_n(e, text, sizeof(text));
      if ((flags & ERR_TXT_STRING) && data && *data)
        log_error("ssl error: %s: %s", text, data);
      else
        log_error("ssl error: %s", text);
    }
    return;
  }
  apr_status_t status = result == 0 ? APR_EOF : log_os_status(sys);
  char text[128];
  if (trace_is_on()) {
    apr_strerror(status, text, sizeof(text));
    trace_printf(conn ? conn->trace_tag : nullptr, nullptr, "(%s)", text);
  }
  if (status == 0) {
    log_error("system error: %s", apr_strerror(APR_TIMEUP, text, sizeof(text)));
  } else if (status == APR_EOF) {
    log_error("disconnected from the peer unexpectedly (%s)", "EOF");
  } else if (status == APR_FROM_OS_ERROR(ECONNRESET)) {
    log_error("disconnected from the peer unexpectedly (%s)", "ECONNRESET");
  } else if (status == APR_FROM_OS_ERROR(EPIPE)) {
    log_error("disconnected from the peer unexpectedly (%s)", "EPIPE");
  } else {
    log_error("system error: %s", apr_strerror(status, text, sizeof(text)));
  }
}

int ssl_shutdown_session(RemoteConnection* conn) {
  if (!conn->ssl) return 0;
  int result, kind;
  {
    std::lock_guard<std::mutex> lock(conn->io->call);
    ERR_clear_error();
    result = SSL_shutdown(conn->ssl);
    kind = result < 0 ? SSL_get_error(conn->ssl, result) : SSL_ERROR_NONE;
    ERR_clear_error();
    SSL_set_shutdown(conn->ssl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
  }
  apr_time_t expected = 0;
  conn->io->closed_at.compare_exchange_strong(expected, apr_time_now());
  trace_result(conn, "SSL_shutdown", -1, result, kind);
  return 0;
}

bool ssl_session_closed(const RemoteConnection* conn) { return conn->io->closed_at.load() != 0; }

void ssl_session_mark_closed(RemoteConnection* conn) {
  std::lock_guard<std::mutex> lock(conn->io->call);
  SSL_set_shutdown(conn->ssl, SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
  apr_time_t expected = 0;
  conn->io->closed_at.compare_exchange_strong(expected, apr_time_now());
}

apr_status_t connection_close(void* data) {
  auto* conn = static_cast<RemoteConnection*>(data);
  trace(conn, "connection close");
  if (conn->socket) {
    apr_socket_close(conn->socket);
    conn->socket = nullptr;
  }
  if (conn->ctx) {
    SSL_CTX_free(conn->ctx);
    conn->ctx = nullptr;
  }
  if (conn->ssl) {
    SSL_free(conn->ssl);
    conn->ssl = nullptr;
  }
  if (conn->pending) {
    msgbuf_give(conn->pending);
    conn->pending = nullptr;
  }
  if (conn->second) {
    msgbuf_give(conn->second);
    conn->second = nullptr;
  }
  delete conn->io;
  conn->io = nullptr;
  return APR_SUCCESS;
}
