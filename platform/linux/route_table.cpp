// RouteTable over rtnetlink, for both address families. Each call opens its own netlink socket, so that
// a call made from a thread inside another network namespace acts there, and
// no socket outlives the call.
#include "platform/route_table.h"

#include <arpa/inet.h>
#include <errno.h>
#include <string.h>
#include <sys/socket.h>

#include <cstddef>

#include "platform/linux/netlink.h"

namespace velarn {

namespace {

// What the kernel says about the route to one destination, in either family.
struct RouteAnswer {
  unsigned char type = 0;  // RTN_*
  unsigned char protocol = 0;
  uint32_t table = 0;
  bool has_gateway = false;
  unsigned char gateway[16] = {};
  unsigned char prefsrc[16] = {};
  uint32_t oif = 0;
  uint32_t priority = 0;
};

// Asks for the route the kernel would use for dest (alen bytes of family).
// 0 or a positive errno.
int route_query(int family, const void* dest, size_t alen, const void* src, RouteAnswer* out) {
  netlink::Socket nl;
  if (int err = nl.open()) return err;
  netlink::Message req;
  auto* rt = req.start<rtmsg>(RTM_GETROUTE);
  rt->rtm_family = static_cast<unsigned char>(family);
  rt->rtm_dst_len = static_cast<unsigned char>(alen * 8);
  req.put(RTA_DST, dest, alen);
  if (src) {
    rt->rtm_src_len = static_cast<unsigned char>(alen * 8);
    req.put(RTA_SRC, src, alen);
  }
  bool found = false;
  int err = nl.request(req, [&](const nlmsghdr* h) {
    const auto* r = netlink::fixed_part<rtmsg>(h);
    if (found || h->nlmsg_type != RTM_NEWROUTE || !r) return;
    found = true;
    out->type = r->rtm_type;
    out->protocol = r->rtm_protocol;
    out->table = r->rtm_table;
    netlink::for_each_attr(h, sizeof(rtmsg), [&](const nlattr* a) {
      switch (mnl_attr_get_type(a)) {
        case RTA_GATEWAY: out->has_gateway = netlink::attr_copy(a, out->gateway, alen) || out->has_gateway; break;
        case RTA_PREFSRC: netlink::attr_copy(a, out->prefsrc, alen); break;
        case RTA_OIF: netlink::attr_u32(a, &out->oif); break;
        case RTA_PRIORITY: netlink::attr_u32(a, &out->priority); break;
        case RTA_TABLE: netlink::attr_u32(a, &out->table); break;
        default: break;
      }
    });
  });
  if (err != 0) return err;
  return found ? 0 : ENETUNREACH;
}

// Only unicast routes lead anywhere a host route could follow; a local
// address, broadcast or multicast destination needs none.
uint32_t row_type(const RouteAnswer& a) {
  if (a.type != RTN_UNICAST) return ROUTE_TYPE_OTHER;
  return a.has_gateway ? ROUTE_TYPE_INDIRECT : ROUTE_TYPE_DIRECT;
}

// A route to add or delete, in either family.
struct RouteChange {
  int family;
  const void* dest;
  size_t alen;
  int prefix_len;
  const void* gateway;  // NULL: direct
  uint32_t if_index, type, proto, metric, table;
};

unsigned long route_modify(uint16_t type, uint16_t flags, const RouteChange& c) {
  if (c.prefix_len < 0 || c.if_index == 0) return ROUTE_ERROR_INVALID_PARAMETER;
  if (c.type != ROUTE_TYPE_DIRECT && c.type != ROUTE_TYPE_INDIRECT) return ROUTE_ERROR_INVALID_PARAMETER;
  netlink::Socket nl;
  if (int err = nl.open()) return route_error_from_errno(err);
  netlink::Message req;
  auto* rt = req.start<rtmsg>(type, flags);
  rt->rtm_family = static_cast<unsigned char>(c.family);
  rt->rtm_dst_len = static_cast<unsigned char>(c.prefix_len);
  uint32_t table = c.table ? c.table : RT_TABLE_MAIN;
  rt->rtm_table = static_cast<unsigned char>(table < 256 ? table : RT_TABLE_UNSPEC);
  rt->rtm_type = RTN_UNICAST;
  rt->rtm_protocol = c.proto == ROUTE_PROTO_NETMGMT ? RTPROT_STATIC : RTPROT_BOOT;
  bool indirect = c.type == ROUTE_TYPE_INDIRECT;
  // IPv6 has no scopes on routes; the kernel wants them universal.
  rt->rtm_scope = type == RTM_DELROUTE               ? RT_SCOPE_NOWHERE
                  : indirect || c.family == AF_INET6 ? RT_SCOPE_UNIVERSE
                                                     : RT_SCOPE_LINK;
  req.put(RTA_DST, c.dest, c.alen);
  req.put_u32(RTA_TABLE, table);
  req.put_u32(RTA_OIF, c.if_index);
  if (indirect) req.put(RTA_GATEWAY, c.gateway, c.alen);
  if (type == RTM_NEWROUTE && c.metric != 0) req.put_u32(RTA_PRIORITY, c.metric);
  int err = nl.request(req);
  return err ? route_error_from_errno(err) : ROUTE_OK;
}

class SystemRouteTable final : public RouteTable {
 public:
  unsigned long best_route(uint32_t dest, uint32_t src, IpForwardRow* row) override {
    RouteAnswer a;
    int err = route_query(AF_INET, &dest, sizeof dest, src ? &src : nullptr, &a);
    if (err != 0) return route_error_from_errno(err);
    IpForwardRow out;
    out.dest = dest;
    out.mask = 0xffffffffu;
    out.table = a.table;
    out.if_index = a.oif;
    out.metric1 = a.priority;
    out.type = row_type(a);
    memcpy(&out.next_hop, out.type == ROUTE_TYPE_INDIRECT ? a.gateway : a.prefsrc, 4);
    out.proto = a.protocol;
    *row = out;
    return ROUTE_OK;
  }

  unsigned long create_entry(const IpForwardRow& row) override {
    return change(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, row);
  }

  unsigned long delete_entry(const IpForwardRow& row) override {
    return gone_is_not_found(change(RTM_DELROUTE, 0, row));
  }

  unsigned long best_route6(const uint8_t dest[16], IpForwardRow6* row) override {
    RouteAnswer a;
    int err = route_query(AF_INET6, dest, 16, nullptr, &a);
    if (err != 0) return route_error_from_errno(err);
    IpForwardRow6 out;
    memcpy(out.dest, dest, 16);
    out.prefix_len = 128;
    out.table = a.table;
    out.if_index = a.oif;
    out.metric = a.priority;
    out.type = row_type(a);
    memcpy(out.next_hop, out.type == ROUTE_TYPE_INDIRECT ? a.gateway : a.prefsrc, 16);
    out.proto = a.protocol;
    *row = out;
    return ROUTE_OK;
  }

  unsigned long create_entry6(const IpForwardRow6& row) override {
    return change6(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, row);
  }

  unsigned long delete_entry6(const IpForwardRow6& row) override {
    return gone_is_not_found(change6(RTM_DELROUTE, 0, row));
  }

 private:
  // A route that is already gone reads as "not found", as on Windows.
  static unsigned long gone_is_not_found(unsigned long rc) {
    return rc == route_error_from_errno(ESRCH) ? ROUTE_ERROR_NOT_FOUND : rc;
  }

  static int prefix_len(uint32_t mask_net) {
    uint32_t m = ntohl(mask_net);
    int n = 0;
    while (n < 32 && (m & (0x80000000u >> n))) ++n;
    // Masks with holes cannot be expressed as a prefix.
    return (n == 32 || (m << n) == 0) ? n : -1;
  }

  static unsigned long change(uint16_t type, uint16_t flags, const IpForwardRow& row) {
    RouteChange c{AF_INET,      &row.dest, 4,         prefix_len(row.mask), &row.next_hop,
                  row.if_index, row.type,  row.proto, row.metric1,          row.table};
    return route_modify(type, flags, c);
  }

  static unsigned long change6(uint16_t type, uint16_t flags, const IpForwardRow6& row) {
    int plen = row.prefix_len <= 128 ? row.prefix_len : -1;
    RouteChange c{AF_INET6, row.dest, 16, plen, row.next_hop, row.if_index, row.type, row.proto, row.metric, row.table};
    return route_modify(type, flags, c);
  }
};

}  // namespace

RouteTable& route_table_system() {
  static SystemRouteTable table;
  return table;
}

unsigned long route_error_from_errno(int err) {
  switch (err) {
    case 0: return ROUTE_OK;
    case EEXIST: return ROUTE_ERROR_OBJECT_ALREADY_EXISTS;
    case EINVAL: return ROUTE_ERROR_INVALID_PARAMETER;
    case ENETUNREACH:
    case EHOSTUNREACH: return ROUTE_ERROR_CAN_NOT_COMPLETE;
    case ESRCH:
    case ENOENT: return ROUTE_ERROR_NOT_FOUND;
    case EPERM:
    case EACCES: return ROUTE_ERROR_ACCESS_DENIED;
    case ENOMEM:
    case ENOBUFS: return ROUTE_ERROR_NOT_ENOUGH_MEMORY;
    default: return ROUTE_ERROR_SYSTEM_BIT | static_cast<unsigned long>(err);
  }
}

const char* route_error_text(unsigned long code) {
  switch (code) {
    case ROUTE_OK: return "The operation completed successfully.";
    case ROUTE_ERROR_ACCESS_DENIED: return "Access is denied.";
    case ROUTE_ERROR_NOT_ENOUGH_MEMORY: return "Not enough memory resources are available to process this command.";
    case ROUTE_ERROR_GEN_FAILURE: return "A device attached to the system is not functioning.";
    case ROUTE_ERROR_NOT_SUPPORTED: return "The request is not supported.";
    case ROUTE_ERROR_INVALID_PARAMETER: return "The parameter is incorrect.";
    case ROUTE_ERROR_CAN_NOT_COMPLETE: return "Cannot complete this function.";
    case ROUTE_ERROR_NOT_FOUND: return "Element not found.";
    case ROUTE_ERROR_OBJECT_ALREADY_EXISTS: return "The object already exists.";
    default: break;
  }
  if (code & ROUTE_ERROR_SYSTEM_BIT) return strerrordesc_np(static_cast<int>(code & 0xffff));
  return "Unknown error.";
}

}  // namespace velarn
