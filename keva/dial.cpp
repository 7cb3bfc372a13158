#include "dial.h"

#include <apr_strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "log.h"
#include "misc.h"
#include "platform/inet.h"
#include "platform/route_table.h"
#include "platform/socket.h"
#include "ssl.h"
#include "trace.h"

namespace {

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
    if (remote_stopping(link)) return APR_ECONNABORTED;
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

}  // namespace

bool remote_stopping(RemoteLink* link) { return link->ops.stopping && link->ops.stopping(link->ops.ctx); }

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
    if (st != APR_SUCCESS && remote_stopping(link)) {
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
