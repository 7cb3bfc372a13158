// Challenge-based proxy authentication through libcurl. The schemes are
// libcurl's (it keeps Digest with MD5 and SHA-256, NTLM and Negotiate over
// GSS-API current); it drives the CONNECT exchange only, with
// CURLOPT_CONNECT_ONLY, and hands over the socket once the tunnel stands,
// so the TLS layer and everything after it work as on any other socket.
//
// The answer goes out on a new connection rather than the one that brought
// the 407: that reply's body and keep-alive state would have to be read by
// hand before libcurl could take the stream over, and libcurl cannot answer
// a challenge it did not see itself. The new connection goes to the same
// proxy address, over the host route already pinned for it.
#include "proxy.h"

#include <apr_portable.h>
#include <apr_strings.h>
#include <curl/curl.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "kevad.h"
#include "log.h"
#include "misc.h"
#include "profile.h"
#include "dial.h"
#include "ssl.h"
#include "platform/socket.h"
#include "platform/text.h"

namespace {

unsigned scheme_of(const char* name, size_t n) {
  std::string_view scheme(name, n);
  if (velarn::iequals(scheme, "Digest")) return PROXY_AUTH_DIGEST;
  if (velarn::iequals(scheme, "NTLM")) return PROXY_AUTH_NTLM;
  if (velarn::iequals(scheme, "Negotiate")) return PROXY_AUTH_NEGOTIATE;
  return 0;
}

// The schemes in one field value: "Digest realm="a, b", qop=auth, NTLM".
// A scheme is a token not followed by "="; what follows "=" (a token or a
// quoted string) is a parameter's value and never taken for a scheme.
unsigned schemes_in_value(const char* p, const char* end) {
  unsigned found = 0;
  while (p < end) {
    char c = *p;
    if (c == '"') {
      for (++p; p < end && *p != '"'; ++p)
        if (*p == '\\' && p + 1 < end) ++p;
      if (p < end) ++p;
      continue;
    }
    if (c == ',' || c == ' ' || c == '\t') {
      ++p;
      continue;
    }
    const char* t = p;
    while (p < end && *p != ' ' && *p != '\t' && *p != ',' && *p != '=' && *p != '"') ++p;
    const char* after = p;
    while (after < end && (*after == ' ' || *after == '\t')) ++after;
    bool is_param = after < end && *after == '=';
    if (is_param) {
      // Skip "=" and the value (a token or a quoted string, handled above).
      p = after + 1;
      while (p < end && (*p == ' ' || *p == '\t')) ++p;
      if (p < end && *p != '"')
        while (p < end && *p != ',') ++p;
    } else {
      found |= scheme_of(t, static_cast<size_t>(p - t));
    }
  }
  return found;
}

struct CurlGlobal {
  CURLcode rc;
  CurlGlobal() : rc(curl_global_init(CURL_GLOBAL_DEFAULT)) {}
};

bool curl_ready() {
  // libcurl's global set-up is not safe against a concurrent first use.
  static std::once_flag once;
  static CurlGlobal* global = nullptr;
  std::call_once(once, [] { global = new CurlGlobal; });
  return global->rc == CURLE_OK;
}

struct Exchange {
  RemoteLink* link;
  curl_socket_t kept = CURL_SOCKET_BAD;  // handed over: not closed by libcurl
  char status[256] = {};                 // the last status line seen
  size_t header_bytes = 0;               // of the current reply
  bool too_long = false;
};

curl_socket_t open_socket(void*, curlsocktype, curl_sockaddr* a) {
  return velarn::socket_open(a->family, a->socktype, a->protocol);
}

int close_socket(void* clientp, curl_socket_t fd) {
  auto* x = static_cast<Exchange*>(clientp);
  return fd == x->kept ? 0 : velarn::socket_close(fd);
}

// Each reply's header block is held to the limit of the plain exchange.
size_t on_header(char* data, size_t size, size_t n, void* clientp) {
  auto* x = static_cast<Exchange*>(clientp);
  size_t len = size * n;
  if (len >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
    size_t k = 0;
    while (k < len && k + 1 < sizeof x->status && data[k] != '\r' && data[k] != '\n') {
      x->status[k] = data[k];
      k++;
    }
    x->status[k] = 0;
    x->header_bytes = 0;
  }
  x->header_bytes += len;
  if (x->header_bytes >= PROXY_BUFFER_SIZE) {
    x->too_long = true;
    return 0;
  }
  return len;
}

size_t discard(char*, size_t size, size_t n, void*) { return size * n; }

int on_progress(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  RemoteLink* link = static_cast<Exchange*>(clientp)->link;
  return link->ops.stopping && link->ops.stopping(link->ops.ctx) ? 1 : 0;
}

// Where libcurl goes: the profile's proxy name, which Negotiate needs for
// the proxy's service name, pinned by *resolve to the address the first
// connection reached (and its host route). A name libcurl would not take as
// a URL host is replaced by that address.
std::string proxy_url(const char* name, apr_sockaddr_t* a, std::string* resolve) {
  char ip[64] = {};
  apr_sockaddr_ip_getbuf(ip, sizeof ip, a);
  std::string addr = std::strchr(ip, ':') ? std::string("[") + ip + "]" : std::string(ip);
  std::string port = std::to_string(a->port);
  std::string host = name;
  if (host.find(':') != std::string::npos && host[0] != '[') host = "[" + host + "]";
  CURLU* u = curl_url();
  char* url = nullptr;
  bool ok = u && curl_url_set(u, CURLUPART_SCHEME, "http", 0) == CURLUE_OK &&
            curl_url_set(u, CURLUPART_HOST, host.c_str(), 0) == CURLUE_OK &&
            curl_url_set(u, CURLUPART_PORT, port.c_str(), 0) == CURLUE_OK &&
            curl_url_get(u, CURLUPART_URL, &url, 0) == CURLUE_OK;
  std::string out = ok ? url : "http://" + addr + ":" + port;
  curl_free(url);
  curl_url_cleanup(u);
  *resolve = ok && host[0] != '[' ? host + ":" + port + ":" + addr : std::string();
  return out;
}

// The handed-over descriptor in place of the connection's socket, in the
// state remote_connect leaves a socket in.
int adopt(RemoteLink* link, curl_socket_t fd) {
  RemoteConnection* conn = link->connection;
  apr_os_sock_t os = fd;
  apr_os_sock_info_t info{};
  info.os_sock = &os;
  info.remote = reinterpret_cast<sockaddr*>(&conn->trace_tag->sa);
  info.family = conn->trace_tag->family;
  info.type = SOCK_STREAM;
  info.protocol = APR_PROTO_TCP;
  apr_socket_t* sock = nullptr;
  // Made with its family and peer, and closed with the pool like any other.
  if (apr_os_sock_make(&sock, &info, conn->pool) != APR_SUCCESS) {
    velarn::socket_close(fd);
    return -1;
  }
  // The old socket object stays valid for a stop that may still shut it.
  apr_socket_close(conn->socket);
  conn->socket = sock;
  conn->os_socket = fd;
  apr_socket_opt_set(sock, APR_SO_NONBLOCK, 1);
  apr_socket_timeout_set(sock, apr_time_from_sec(REMOTE_CONNECT_TIMEOUT_SECONDS));
  apr_socket_opt_set(sock, APR_TCP_NODELAY, 1);
  dialup_metric_step();
  return 0;
}

struct Easy {
  CURL* h = curl_easy_init();
  CURLU* url = curl_url();
  curl_slist* headers = nullptr;
  curl_slist* resolve = nullptr;
  ~Easy() {
    if (h) curl_easy_cleanup(h);
    if (url) curl_url_cleanup(url);
    curl_slist_free_all(headers);
    curl_slist_free_all(resolve);
  }
};

// Index just past the blank line that ends the header block, or 0.
size_t header_block_end(const char* buf, size_t len) {
  for (size_t i = 0; i + 1 < len; i++) {
    if (buf[i] != '\n') continue;
    if (buf[i + 1] == '\n') return i + 2;
    if (buf[i + 1] == '\r' && i + 2 < len && buf[i + 2] == '\n') return i + 3;
  }
  return 0;
}

}  // namespace

unsigned proxy_offered_schemes(const char* reply, size_t len) {
  static const char kField[] = "proxy-authenticate:";
  const size_t flen = sizeof kField - 1;
  unsigned found = 0;
  const char* end = reply + len;
  for (const char* line = reply; line < end;) {
    const char* eol = static_cast<const char*>(std::memchr(line, '\n', end - line));
    if (!eol) eol = end;
    if (static_cast<size_t>(eol - line) > flen && velarn::istarts_with(std::string_view(line, eol - line), kField)) {
      const char* v_end = eol;
      if (v_end > line && v_end[-1] == '\r') --v_end;
      found |= schemes_in_value(line + flen, v_end);
    }
    line = eol + 1;
  }
  return found;
}

unsigned proxy_scheme_pick(unsigned offered) {
  // Digest and NTLM answer with the profile's credentials; Negotiate with
  // the service's own Kerberos ticket, so it comes last.
  for (unsigned s : {PROXY_AUTH_DIGEST, PROXY_AUTH_NTLM, PROXY_AUTH_NEGOTIATE})
    if (offered & s) return s;
  return 0;
}

const char* proxy_scheme_name(unsigned scheme) {
  switch (scheme) {
    case PROXY_AUTH_DIGEST: return "Digest";
    case PROXY_AUTH_NTLM: return "NTLM";
    case PROXY_AUTH_NEGOTIATE: return "Negotiate";
    default: return "none";
  }
}

int proxy_connect_answering(RemoteLink* link, const ServerEntry* entry, unsigned scheme) {
  const SessionProfile* p = link->profile;
  RemoteConnection* conn = link->connection;
  log_debug("proxy asks for %s authentication", proxy_scheme_name(scheme));
  if (!curl_ready()) {
    log_error("proxy connection error: %s", "curl_global_init failed");
    return -1;
  }
  Easy e;
  if (!e.h || !e.url) {
    log_error("proxy connection error: %s", "out of memory");
    return -1;
  }
  // The target as parts, so that no host text is read as URL syntax.
  std::string host = entry->host;
  if (host.find(':') != std::string::npos && host[0] != '[') host = "[" + host + "]";
  std::string port = std::to_string(entry->port);
  if (curl_url_set(e.url, CURLUPART_SCHEME, "http", 0) != CURLUE_OK ||
      curl_url_set(e.url, CURLUPART_HOST, host.c_str(), 0) != CURLUE_OK ||
      curl_url_set(e.url, CURLUPART_PORT, port.c_str(), 0) != CURLUE_OK) {
    log_error("proxy connection error: %s", "invalid server host or request too long");
    return -1;
  }
  unsigned long auth = scheme == PROXY_AUTH_DIGEST ? CURLAUTH_DIGEST
                       : scheme == PROXY_AUTH_NTLM ? CURLAUTH_NTLM
                                                   : CURLAUTH_NEGOTIATE;
  Exchange x;
  x.link = link;
  char err[CURL_ERROR_SIZE] = {};
  std::string resolve;
  std::string proxy = proxy_url(p->proxy_host, conn->trace_tag, &resolve);
  e.headers = curl_slist_append(nullptr, "Pragma: no-cache");
  if (!resolve.empty()) e.resolve = curl_slist_append(nullptr, resolve.c_str());
  CURL* h = e.h;
  curl_easy_setopt(h, CURLOPT_RESOLVE, e.resolve);
  curl_easy_setopt(h, CURLOPT_CURLU, e.url);
  curl_easy_setopt(h, CURLOPT_PROXY, proxy.c_str());
  // An environment's no_proxy must not send the tunnel around the proxy.
  curl_easy_setopt(h, CURLOPT_NOPROXY, "");
  curl_easy_setopt(h, CURLOPT_HTTPPROXYTUNNEL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECT_ONLY, 1L);
  curl_easy_setopt(h, CURLOPT_PROXYAUTH, auth);
  curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, p->proxy_username ? p->proxy_username : "");
  curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, p->proxy_password ? p->proxy_password : "");
  curl_easy_setopt(h, CURLOPT_USERAGENT, KEVAD_VERSION);
  curl_easy_setopt(h, CURLOPT_PROXYHEADER, e.headers);
  curl_easy_setopt(h, CURLOPT_HEADEROPT, CURLHEADER_SEPARATE);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, long{REMOTE_CONNECT_TIMEOUT_SECONDS});
  // A challenge costs up to three replies, each within the usual limit.
  curl_easy_setopt(h, CURLOPT_TIMEOUT, long{3 * REMOTE_CONNECT_TIMEOUT_SECONDS});
  curl_easy_setopt(h, CURLOPT_OPENSOCKETFUNCTION, open_socket);
  curl_easy_setopt(h, CURLOPT_CLOSESOCKETFUNCTION, close_socket);
  curl_easy_setopt(h, CURLOPT_CLOSESOCKETDATA, &x);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &x);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, discard);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, on_progress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &x);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, err);

  // The first connection has had its answer; the proxy need not hold it.
  apr_socket_shutdown(conn->socket, APR_SHUTDOWN_READWRITE);
  CURLcode rc = curl_easy_perform(h);
  long code = 0;
  curl_easy_getinfo(h, CURLINFO_HTTP_CONNECTCODE, &code);
  if (rc == CURLE_OK && code / 100 == 2) {
    curl_socket_t fd = CURL_SOCKET_BAD;
    if (curl_easy_getinfo(h, CURLINFO_ACTIVESOCKET, &fd) != CURLE_OK || fd == CURL_SOCKET_BAD) {
      log_error("proxy connection error: %s", "no socket");
      return -1;
    }
    x.kept = fd;
    return adopt(link, fd);
  }
  if (rc == CURLE_ABORTED_BY_CALLBACK) return -1;  // the session is stopping
  if (x.too_long) {
    log_error("proxy connection error: %s", "reply too long");
    return -1;
  }
  if (x.status[0]) {
    char message[256];
    int fatal = 0;
    if (proxy_reply_judge(x.status, std::strlen(x.status), message, sizeof message, &fatal) != 0) {
      if (fatal) conn->fatal = 1;
      log_error("%s", message);
      return -1;
    }
  }
  // No reply to judge: the connection itself failed, or timed out.
  log_error("%s: %s", p->proxy_host, err[0] ? err : curl_easy_strerror(rc));
  return -1;
}

// --- The plain CONNECT ---------------------------------------------------------

int proxy_request_build(char* buf, const char* host, int port, const char* user, const char* password) {
  // Proxies read an IPv6 literal only in brackets; a host that would break
  // the request's lines is no host at all.
  const char* open = "";
  const char* close = "";
  for (const char* c = host; *c; c++) {
    if (static_cast<unsigned char>(*c) <= ' ' || *c == 0x7f) return -1;
    if (*c == ':' && host[0] != '[') open = "[", close = "]";
  }
  int n = std::snprintf(buf, PROXY_BUFFER_SIZE,
                        "CONNECT %s%s%s:%d HTTP/1.0\r\nHost: %s%s%s\r\nUser-Agent: %s\r\n"
                        "Content-Length: 0\r\nProxy-Connection: Keep-Alive\r\n"
                        "Pragma: no-cache\r\n",
                        open, host, close, port, open, host, close, KEVAD_VERSION);
  if (n < 0 || n >= PROXY_BUFFER_SIZE) return -1;
  if (user) {
    char plain[1024];
    int pn = std::snprintf(plain, sizeof plain, "%s:%s", user, password ? password : "");
    if (pn < 0 || pn >= static_cast<int>(sizeof plain)) return -1;
    unsigned char encoded[1400];
    int en = EVP_EncodeBlock(encoded, reinterpret_cast<unsigned char*>(plain), pn);
    int m = std::snprintf(buf + n, PROXY_BUFFER_SIZE - n, "Proxy-Authorization: Basic %.*s\r\n", en, encoded);
    if (m < 0 || n + m >= PROXY_BUFFER_SIZE) return -1;
    n += m;
  }
  if (n + 2 >= PROXY_BUFFER_SIZE) return -1;
  std::memcpy(buf + n, "\r\n", 3);
  return n + 2;
}

int proxy_reply_judge(const char* reply, size_t len, char* out, size_t size, int* fatal) {
  *fatal = 0;
  out[0] = 0;
  if (len < 5 || std::memcmp(reply, "HTTP/", 5) != 0) {
    std::snprintf(out, size, "proxy connection error: invalid protocol");
    return -1;
  }
  // "HTTP/1.x NNN reason": the code at 9 to 11, the reason from 13 on.
  if (len >= 12 && std::memcmp(reply + 9, "407", 3) == 0) {
    *fatal = 1;
    std::snprintf(out, size, "proxy connection error: authentication failure");
    return -1;
  }
  if (len >= 10 && reply[9] == '2') return 0;
  size_t start = len > 13 ? 13 : len, end = start;
  while (end < len && reply[end] != '\r' && reply[end] != '\n') end++;
  std::snprintf(out, size, "proxy error: %.*s", static_cast<int>(end - start), reply + start);
  return -1;
}

int remote_connect_proxy(RemoteLink* link, const ServerEntry* entry) {
  const SessionProfile* p = link->profile;
  log_info("connecting to %s:%d via %s:%d...", entry->host, entry->port, p->proxy_host, p->proxy_port);
  if (remote_connect(p->proxy_host, link, p->proxy_port) != 0) return -1;
  RemoteConnection* conn = link->connection;

  char buf[PROXY_BUFFER_SIZE];
  int n = proxy_request_build(buf, entry->host, entry->port, p->proxy_username, p->proxy_password);
  if (n < 0) {
    log_error("proxy connection error: %s", "invalid server host or request too long");
    return -1;
  }
  for (int sent = 0; sent < n;) {
    int k = connection_send(conn, buf + sent, n - sent);
    if (k <= 0) return -1;
    sent += k;
  }

  // The reply's header block may come in several segments; read up to its
  // end (the tunnel's bytes follow only after the client speaks).
  size_t got = 0, end = 0;
  while (got < sizeof buf - 1) {
    int k = connection_recv(conn, buf + got, static_cast<int>(sizeof buf - 1 - got));
    if (k < 0) return -1;
    if (k == 0) break;  // time-out or closed: judge what came
    got += static_cast<size_t>(k);
    if (got >= 5 && std::memcmp(buf, "HTTP/", 5) != 0) break;
    if ((end = header_block_end(buf, got)) != 0) break;
  }
  if (got == 0) {
    log_error("proxy connection error: %s", "no reply");
    return -1;
  }
  buf[got] = 0;
  char message[256];
  int fatal = 0;
  if (proxy_reply_judge(buf, end ? end : got, message, sizeof message, &fatal) != 0) {
    unsigned scheme = fatal && p->proxy_username ? proxy_scheme_pick(proxy_offered_schemes(buf, end ? end : got)) : 0;
    if (scheme) return proxy_connect_answering(link, entry, scheme);
    if (fatal) conn->fatal = 1;
    log_error("%s", message);
    return -1;
  }
  return 0;
}
