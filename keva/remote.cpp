#include "remote.h"

#include <apr_strings.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config.h"
#include "kevad.h"
#include "keva12.h"
#include "log.h"
#include "misc.h"
#include "platform/inet.h"
#include "platform/route_table.h"
#include "platform/socket_io.h"
#include "profile.h"
#include "proxy.h"
#include "ssl.h"
#include "trace.h"

namespace {

void tell_more_servers(RemoteLink* link, int more) {
  if (link->ops.set_more_servers) link->ops.set_more_servers(link->ops.ctx, more);
}

bool session_stopping(RemoteLink* link) { return link->ops.stopping && link->ops.stopping(link->ops.ctx); }

int openssl_rand4(int32_t* out) { return RAND_bytes(reinterpret_cast<unsigned char*>(out), 4) == 1 ? 0 : -1; }

void system_error_text(apr_status_t st, char* buf, size_t size) { apr_strerror(st, buf, size); }

// --- Host route ---------------------------------------------------------------

struct PinnedRoute {
  velarn::RouteTable* table;
  bool v6;
  velarn::IpForwardRow row;
  velarn::IpForwardRow6 row6;
};

apr_status_t route_unpin(void* data) {
  auto* pin = static_cast<PinnedRoute*>(data);
  velarn::RouteTable& table = *pin->table;
  unsigned long rc = pin->v6 ? table.delete_entry6(pin->row6) : table.delete_entry(pin->row);
  if (rc == velarn::ROUTE_OK)
    log_info("route deleted");
  else
    log_error("%s: %s", "DeleteIpForwardEntry", velarn::route_error_text(rc));
  return APR_SUCCESS;
}

void trace_row(const velarn::IpForwardRow& row) {
  if (!trace_is_on()) return;
  trace_printf(nullptr, nullptr, "dwForwardDest = %08x", velarn::net_to_host32(row.dest));
  trace_printf(nullptr, nullptr, "dwForwardMask = %08x", velarn::net_to_host32(row.mask));
  trace_printf(nullptr, nullptr, "dwForwardPolicy = %u", row.policy);
  trace_printf(nullptr, nullptr, "dwForwardNextHop = %08x", velarn::net_to_host32(row.next_hop));
  trace_printf(nullptr, nullptr, "dwForwardIfIndex = %u", row.if_index);
  trace_printf(nullptr, nullptr, "dwForwardType = %u", row.type);
  trace_printf(nullptr, nullptr, "dwForwardProto = %u", row.proto);
  trace_printf(nullptr, nullptr, "dwForwardAge = %u", row.age);
  trace_printf(nullptr, nullptr, "dwForwardNextHopAS = %u", row.next_hop_as);
  trace_printf(nullptr, nullptr, "dwForwardMetric1 = %u", row.metric1);
}

// The IPv6 row under the same names, its addresses in text form.
void trace_row6(const velarn::IpForwardRow6& row) {
  if (!trace_is_on()) return;
  char dest[velarn::kIpv6TextSize], hop[velarn::kIpv6TextSize];
  velarn::ipv6_text(row.dest, dest, sizeof dest);
  velarn::ipv6_text(row.next_hop, hop, sizeof hop);
  trace_printf(nullptr, nullptr, "dwForwardDest = %s/%u", dest, row.prefix_len);
  trace_printf(nullptr, nullptr, "dwForwardNextHop = %s", hop);
  trace_printf(nullptr, nullptr, "dwForwardIfIndex = %u", row.if_index);
  trace_printf(nullptr, nullptr, "dwForwardType = %u", row.type);
  trace_printf(nullptr, nullptr, "dwForwardProto = %u", row.proto);
  trace_printf(nullptr, nullptr, "dwForwardMetric1 = %u", row.metric);
}

// Registers the deletion of a route just made on pool and logs it as made.
void pin_made(apr_sockaddr_t* addr, apr_pool_t* pool, const PinnedRoute& made, const char* hop, uint32_t if_index) {
  log_info("route created: %pI", addr);
  log_debug("using gateway: %s (#%d)", hop, static_cast<int>(if_index));
  auto* pin = static_cast<PinnedRoute*>(apr_palloc(pool, sizeof(PinnedRoute)));
  *pin = made;
  apr_pool_cleanup_register(pool, pin, route_unpin, apr_pool_cleanup_null);
}

// The same decisions as for IPv4, on a /128 host route.
int route_pin6(apr_sockaddr_t* addr, apr_pool_t* pool, velarn::RouteTable& table) {
  uint8_t dest[16];
  std::memcpy(dest, &addr->sa.sin6.sin6_addr, sizeof dest);
  PinnedRoute pin{};
  pin.table = &table;
  pin.v6 = true;
  velarn::IpForwardRow6& row = pin.row6;
  unsigned long rc = table.best_route6(dest, &row);
  if (rc == velarn::ROUTE_ERROR_CAN_NOT_COMPLETE) return 0;
  if (rc != velarn::ROUTE_OK) {
    log_error("%s: %s", "GetBestInterface", velarn::route_error_text(rc));
    return -1;
  }
  trace_row6(row);
  if (row.type != velarn::ROUTE_TYPE_DIRECT && row.type != velarn::ROUTE_TYPE_INDIRECT) return 0;

  std::memcpy(row.dest, dest, sizeof dest);
  row.prefix_len = 128;
  row.proto = velarn::ROUTE_PROTO_NETMGMT;
  rc = table.create_entry6(row);
  if (rc == velarn::ROUTE_OK) {
    char hop[velarn::kIpv6TextSize];
    velarn::ipv6_text(row.next_hop, hop, sizeof hop);
    pin_made(addr, pool, pin, hop, row.if_index);
    return 0;
  }
  if (rc == velarn::ROUTE_ERROR_INVALID_PARAMETER || rc == velarn::ROUTE_ERROR_OBJECT_ALREADY_EXISTS) return 0;
  log_error("%s: %s", "CreateIpForwardEntry", velarn::route_error_text(rc));
  return -1;
}

// The TCP connect: at most the connect limit, and never past a stop.
apr_status_t connect_stoppable(apr_socket_t* sock, apr_sockaddr_t* addr, RemoteLink* link) {
  apr_socket_timeout_set(sock, 0);  // non-blocking: the wait is ours
  apr_status_t st = apr_socket_connect(sock, addr);
  if (st == APR_SUCCESS || !(APR_STATUS_IS_EINPROGRESS(st) || APR_STATUS_IS_EAGAIN(st))) return st;
  apr_os_sock_t fd;
  if (apr_os_sock_get(&fd, sock) != APR_SUCCESS) return st;
  const apr_time_t until = apr_time_now() + apr_time_from_sec(REMOTE_CONNECT_TIMEOUT_SECONDS);
  for (;;) {
    if (session_stopping(link)) return APR_ECONNABORTED;
    apr_time_t left = until - apr_time_now();
    if (left <= 0) return APR_TIMEUP;
    int r = velarn::socket_wait(static_cast<int>(fd), velarn::kSocketWritable,
                                static_cast<int>(std::min<apr_time_t>(left / 1000 + 1, 250)));
    if (r > 0) {
      int err = velarn::socket_pending_error(static_cast<int>(fd));
      return err ? APR_FROM_OS_ERROR(err) : APR_SUCCESS;
    }
    if (r < 0) return APR_FROM_OS_ERROR(errno);
  }
}

// --- Proxy ----------------------------------------------------------------------

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

// --- Link and schedule ------------------------------------------------------------

RemoteLink* remote_link_create(apr_pool_t* parent, const SessionProfile* profile, const RemoteSessionOps* ops,
                               velarn::RouteTable& routes) {
  apr_pool_t* pool = nullptr;
  if (apr_pool_create(&pool, parent) != APR_SUCCESS) return nullptr;
  auto* link = static_cast<RemoteLink*>(apr_pcalloc(parent, sizeof(RemoteLink)));
  link->pool = pool;
  link->profile = profile;
  link->state = SESSION_CLOSED;
  link->reconnect_allowed = profile ? profile->reconnect : 0;
  if (ops) link->ops = *ops;
  link->routes = &routes;
  reconnect_schedule_parse(config_get_string("client.reconnect", RECONNECT_SCHEDULE_DEFAULT), link);
  return link;
}

void remote_set_state(RemoteLink* link, int state) {
  // Read by the stop path and the state queries from other threads.
  __atomic_store_n(&link->state, state, __ATOMIC_RELEASE);
  if (link->ops.set_state) link->ops.set_state(link->ops.ctx, state);
}

int reconnect_schedule_parse(const char* text, RemoteLink* link) {
  const char* p = text ? text : "";
  int n = 0;
  for (;;) {
    if (n == RECONNECT_SCHEDULE_MAX) {
      log_warning("reconnect buffer overflow");
      break;
    }
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(p, &end, 10);
    // A wait beyond what the slot holds is taken as the longest one.
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    link->schedule[n++] = static_cast<int32_t>(v);
    if (*end == 0) break;
    p = end + 1;
  }
  link->schedule[n] = -1;
  link->schedule_index = 0;
  return 0;
}

int reconnect_schedule_delay(const RemoteLink* link) {
  int i = link->schedule_index;
  if (i < 0 || i >= RECONNECT_SCHEDULE_MAX) return 0;
  int v = link->schedule[i];
  return v < 0 ? 0 : v;
}

void reconnect_schedule_advance(RemoteLink* link) {
  int next = link->schedule_index + 1;
  if (next < RECONNECT_SCHEDULE_SIZE && link->schedule[next] != -1) link->schedule_index = next;
}

// --- Server order -------------------------------------------------------------------

int remote_shuffle_index(int32_t r, int count) {
  if (count <= 0) return 0;
  // The magnitude in unsigned arithmetic: |INT_MIN| has no signed form.
  uint32_t u = r < 0 ? 0u - static_cast<uint32_t>(r) : static_cast<uint32_t>(r);
  return static_cast<int>(u % static_cast<uint32_t>(count));
}

int remote_shuffle(const ServerEntry** items, int count, int (*rand4)(int32_t* out)) {
  if (!rand4) rand4 = openssl_rand4;
  for (int i = 0; i < count; i++) {
    int32_t r;
    if (rand4(&r) != 0) return -1;
    int j = remote_shuffle_index(r, count);
    const ServerEntry* t = items[i];
    items[i] = items[j];
    items[j] = t;
  }
  return 0;
}

// --- Route ---------------------------------------------------------------------------

int route_pin(apr_sockaddr_t* addr, apr_pool_t* pool, velarn::RouteTable& table) {
#if APR_HAVE_IPV6
  if (addr->family == APR_INET6) {
    // An IPv4 address written in IPv6 form travels as IPv4.
    const auto* a16 = reinterpret_cast<const uint8_t*>(&addr->sa.sin6.sin6_addr);
    if (!velarn::is_v4_mapped(a16)) return route_pin6(addr, pool, table);
    apr_sockaddr_t* v4 = nullptr;
    char text[velarn::kIpv4TextSize];
    velarn::ipv4_text(a16 + 12, text, sizeof text);
    if (apr_sockaddr_info_get(&v4, text, APR_INET, addr->port, 0, pool) != APR_SUCCESS) return 0;
    return route_pin(v4, pool, table);
  }
#endif
  if (addr->family != APR_INET) return 0;
  uint32_t dest = addr->sa.sin.sin_addr.s_addr;
  PinnedRoute pin{};
  pin.table = &table;
  velarn::IpForwardRow& row = pin.row;
  unsigned long rc = table.best_route(dest, 0, &row);
  if (rc == velarn::ROUTE_ERROR_CAN_NOT_COMPLETE) return 0;
  if (rc != velarn::ROUTE_OK) {
    log_error("%s: %s", "GetBestInterface", velarn::route_error_text(rc));
    return -1;
  }
  trace_row(row);
  if (row.type != velarn::ROUTE_TYPE_DIRECT && row.type != velarn::ROUTE_TYPE_INDIRECT) return 0;

  row.dest = dest;
  row.mask = 0xffffffffu;
  row.proto = velarn::ROUTE_PROTO_NETMGMT;
  rc = table.create_entry(row);
  if (rc == velarn::ROUTE_OK) {
    char hop[16];
    unsigned char* b = reinterpret_cast<unsigned char*>(&row.next_hop);
    std::snprintf(hop, sizeof hop, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    pin_made(addr, pool, pin, hop, row.if_index);
    return 0;
  }
  // A route of the same destination already there belongs to someone else.
  if (rc == velarn::ROUTE_ERROR_INVALID_PARAMETER || rc == velarn::ROUTE_ERROR_OBJECT_ALREADY_EXISTS) return 0;
  log_error("%s: %s", "CreateIpForwardEntry", velarn::route_error_text(rc));
  return -1;
}

// --- Connect ---------------------------------------------------------------------------

int remote_connect(const char* host, RemoteLink* link, int port) {
  apr_pool_t* pool = link->pool;
  apr_sockaddr_t* addr = nullptr;
  char err[256];
  // "[fd00::1]", as written in URLs, names the address inside the brackets.
  const char* name = host;
  size_t hl = std::strlen(host);
  if (hl > 2 && host[0] == '[' && host[hl - 1] == ']') name = apr_pstrndup(pool, host + 1, hl - 2);
  apr_status_t st = apr_sockaddr_info_get(&addr, name, APR_UNSPEC, static_cast<apr_port_t>(port), 0, pool);
  if (trace_is_on()) trace_printf(nullptr, nullptr, "apr_sockaddr_info_get(\"%s:%d\") = %d", host, port, st);
  if (st != APR_SUCCESS) {
    system_error_text(st, err, sizeof err);
    log_error("%s: %s", host, err);
    return -1;
  }
  // A name with several addresses is tried in the resolver's order. All
  // that one address gets (route, socket, connection) lives in a pool of its
  // own, so a failed address leaves nothing, and the connection still goes
  // before its route when the attempt's pool is cleared.
  for (apr_sockaddr_t* a = addr; a; a = a->next) {
    log_debug("address resolved: %pI", a);
    apr_pool_t* ap = nullptr;
    if (apr_pool_create(&ap, pool) != APR_SUCCESS) return -1;
    if (route_pin(a, ap, *link->routes) != 0) {
      apr_pool_destroy(ap);
      continue;
    }
    apr_socket_t* sock = nullptr;
    st = apr_socket_create(&sock, a->family, SOCK_STREAM, APR_PROTO_TCP, ap);
    if (st == APR_SUCCESS) {
      st = connect_stoppable(sock, a, link);
      if (trace_is_on()) trace_printf(nullptr, nullptr, "apr_socket_connect(\"%pI\") = %d", a, st);
    }
    if (st != APR_SUCCESS && session_stopping(link)) {
      apr_pool_destroy(ap);
      return -1;  // stopped: nothing failed
    }
    if (st != APR_SUCCESS) {
      system_error_text(st, err, sizeof err);
      log_error("%s: %s", host, err);
      apr_pool_destroy(ap);
      continue;
    }
    apr_socket_opt_set(sock, APR_TCP_NODELAY, 1);
    link->connection = remote_connection_create(ap, sock, a);
    if (!link->connection) {
      apr_pool_destroy(ap);
      return -1;
    }
    connection_guard(link->connection, apr_time_now() + apr_time_from_sec(REMOTE_LOGIN_DEADLINE_SECONDS),
                     link->ops.stopping, link->ops.ctx);
    dialup_metric_step();
    return 0;
  }
  return -1;
}

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

// --- Open and close ------------------------------------------------------------------------

int remote_open(RemoteLink* link) {
  const SessionProfile* p = link->profile;
  int count = p->servers ? p->servers->count : 0;
  std::vector<const ServerEntry*> order(static_cast<size_t>(count));
  for (int i = 0; i < count; i++) order[i] = static_cast<const ServerEntry*>(ptrlist_get(p->servers, i));
  if (p->change_type == CHANGE_RANDOM && count > 1 && remote_shuffle(order.data(), count, nullptr) != 0)
    log_ssl_errors("RAND_bytes");

  remote_set_state(link, SESSION_CONNECTING);
  if (count > 1) tell_more_servers(link, 1);

  for (int i = 0; i < count; i++) {
    link->connection = nullptr;
    if (session_stopping(link)) {
      tell_more_servers(link, 0);
      return -1;
    }
    if (i == count - 1) tell_more_servers(link, 0);
    const ServerEntry* entry = order[i];
    int rc;
    if (!p->proxy_host) {
      log_info("connecting to %s:%d...", entry->host, entry->port);
      rc = remote_connect(entry->host, link, entry->port);
    } else {
      rc = remote_connect_proxy(link, entry);
    }
    if (rc == 0) {
      link->connection->host = apr_pstrdup(link->pool, entry->host);
      rc = keva12_client_start(link->connection, p);
    }
    if (rc == 0) {
      remote_set_state(link, SESSION_CONNECTED);
      __atomic_store_n(&link->reconnect_allowed, 1, __ATOMIC_RELEASE);
      link->schedule_index = 0;
      connection_enter_tunnel(link->connection, REMOTE_WRITE_STALL_SECONDS * 1000);
      return 0;
    }
    int fatal = link->connection && link->connection->fatal;
    link->connection = nullptr;
    apr_pool_clear(link->pool);
    if (fatal) {
      __atomic_store_n(&link->reconnect_allowed, 0, __ATOMIC_RELEASE);
      tell_more_servers(link, 0);
      return -1;
    }
  }
  tell_more_servers(link, 0);
  if (count > 1) log_error("no server available");
  return -1;
}

void remote_close(RemoteLink* link) {
  if (__atomic_load_n(&link->state, __ATOMIC_ACQUIRE) != SESSION_CONNECTED) return;
  remote_set_state(link, SESSION_CLOSING);
  RemoteConnection* conn = link->connection;
  if (!conn) return;
  if (conn->ssl && ssl_session_closed(conn)) return;
  if (conn->ssl) ssl_shutdown_session(conn);
  apr_socket_shutdown(conn->socket, APR_SHUTDOWN_WRITE);
}
