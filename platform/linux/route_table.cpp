// RouteTable over rtnetlink, for both address families. Each call opens its own netlink socket, so that
// a call made from a thread inside another network namespace acts there, and
// no socket outlives the call.
#include "platform/route_table.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstddef>

namespace velarn {

namespace {

// A request buffer big enough for a route message with the few attributes
// this file sends.
struct RouteRequest {
  nlmsghdr hdr;
  rtmsg rt;
  char attrs[256];
};

void add_attr(RouteRequest* req, unsigned short type, const void* data, size_t len) {
  size_t off = NLMSG_ALIGN(req->hdr.nlmsg_len);
  auto* rta = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(req) + off);
  rta->rta_type = type;
  rta->rta_len = static_cast<unsigned short>(RTA_LENGTH(len));
  memcpy(RTA_DATA(rta), data, len);
  req->hdr.nlmsg_len = static_cast<uint32_t>(off + RTA_ALIGN(rta->rta_len));
}

void add_u32(RouteRequest* req, unsigned short type, uint32_t value) { add_attr(req, type, &value, sizeof value); }

class Netlink {
 public:
  Netlink() {
    fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd_ < 0) return;
    // A kernel that never answers must not hang the caller.
    timeval tv{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
      int e = errno;
      close(fd_);
      fd_ = -1;
      errno = e;
    }
  }
  ~Netlink() {
    if (fd_ >= 0) close(fd_);
  }
  Netlink(const Netlink&) = delete;
  Netlink& operator=(const Netlink&) = delete;

  bool ok() const { return fd_ >= 0; }

  // Sends req and waits for the answer to it. For a query, the first route
  // message is copied to *reply; otherwise the acknowledgement decides.
  // Returns 0 or a positive errno.
  int transact(RouteRequest* req, char* reply, size_t reply_size, bool want_route) {
    req->hdr.nlmsg_seq = ++seq_;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd_, req, req->hdr.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) return errno;
    alignas(nlmsghdr) char buf[16384];
    for (;;) {
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno == EAGAIN ? ETIMEDOUT : errno;
      }
      if (n == 0) return EIO;
      int len = static_cast<int>(n);
      for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
        if (h->nlmsg_seq != req->hdr.nlmsg_seq) continue;
        if (h->nlmsg_type == NLMSG_ERROR) {
          if (h->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return EIO;
          auto* err = static_cast<nlmsgerr*>(NLMSG_DATA(h));
          return -err->error;  // 0 is the acknowledgement
        }
        if (want_route && h->nlmsg_type == RTM_NEWROUTE) {
          if (h->nlmsg_len > reply_size) return EMSGSIZE;
          memcpy(reply, h, h->nlmsg_len);
          return 0;
        }
        if (h->nlmsg_type == NLMSG_DONE) return want_route ? ENETUNREACH : 0;
      }
    }
  }

 private:
  int fd_ = -1;
  uint32_t seq_ = 0;
};

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
  Netlink nl;
  if (!nl.ok()) return errno;
  RouteRequest req{};
  req.hdr.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
  req.hdr.nlmsg_type = RTM_GETROUTE;
  req.hdr.nlmsg_flags = NLM_F_REQUEST;
  req.rt.rtm_family = static_cast<unsigned char>(family);
  req.rt.rtm_dst_len = static_cast<unsigned char>(alen * 8);
  add_attr(&req, RTA_DST, dest, alen);
  if (src) {
    req.rt.rtm_src_len = static_cast<unsigned char>(alen * 8);
    add_attr(&req, RTA_SRC, src, alen);
  }
  alignas(nlmsghdr) char reply[4096];
  int err = nl.transact(&req, reply, sizeof reply, true);
  if (err != 0) return err;

  auto* h = reinterpret_cast<nlmsghdr*>(reply);
  auto* rt = static_cast<rtmsg*>(NLMSG_DATA(h));
  out->type = rt->rtm_type;
  out->protocol = rt->rtm_protocol;
  out->table = rt->rtm_table;
  int attr_len = static_cast<int>(RTM_PAYLOAD(h));
  for (auto* a = RTM_RTA(rt); RTA_OK(a, attr_len); a = RTA_NEXT(a, attr_len)) {
    size_t n = RTA_PAYLOAD(a);
    uint32_t v = 0;
    if (n >= sizeof v) memcpy(&v, RTA_DATA(a), sizeof v);
    switch (a->rta_type) {
      case RTA_GATEWAY:
        if (n == alen) {
          memcpy(out->gateway, RTA_DATA(a), alen);
          out->has_gateway = true;
        }
        break;
      case RTA_PREFSRC:
        if (n == alen) memcpy(out->prefsrc, RTA_DATA(a), alen);
        break;
      case RTA_OIF: out->oif = v; break;
      case RTA_PRIORITY: out->priority = v; break;
      case RTA_TABLE: out->table = v; break;
      default: break;
    }
  }
  return 0;
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
  Netlink nl;
  if (!nl.ok()) return route_error_from_errno(errno);
  RouteRequest req{};
  req.hdr.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
  req.hdr.nlmsg_type = type;
  req.hdr.nlmsg_flags = flags;
  req.rt.rtm_family = static_cast<unsigned char>(c.family);
  req.rt.rtm_dst_len = static_cast<unsigned char>(c.prefix_len);
  uint32_t table = c.table ? c.table : RT_TABLE_MAIN;
  req.rt.rtm_table = static_cast<unsigned char>(table < 256 ? table : RT_TABLE_UNSPEC);
  req.rt.rtm_type = RTN_UNICAST;
  req.rt.rtm_protocol = c.proto == ROUTE_PROTO_NETMGMT ? RTPROT_STATIC : RTPROT_BOOT;
  bool indirect = c.type == ROUTE_TYPE_INDIRECT;
  // IPv6 has no scopes on routes; the kernel wants them universal.
  req.rt.rtm_scope = type == RTM_DELROUTE               ? RT_SCOPE_NOWHERE
                     : indirect || c.family == AF_INET6 ? RT_SCOPE_UNIVERSE
                                                        : RT_SCOPE_LINK;
  add_attr(&req, RTA_DST, c.dest, c.alen);
  add_u32(&req, RTA_TABLE, table);
  add_u32(&req, RTA_OIF, c.if_index);
  if (indirect) add_attr(&req, RTA_GATEWAY, c.gateway, c.alen);
  if (type == RTM_NEWROUTE && c.metric != 0) add_u32(&req, RTA_PRIORITY, c.metric);
  int err = nl.transact(&req, nullptr, 0, false);
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
    return change(RTM_NEWROUTE, NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL, row);
  }

  unsigned long delete_entry(const IpForwardRow& row) override {
    return gone_is_not_found(change(RTM_DELROUTE, NLM_F_REQUEST | NLM_F_ACK, row));
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
    return change6(RTM_NEWROUTE, NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL, row);
  }

  unsigned long delete_entry6(const IpForwardRow6& row) override {
    return gone_is_not_found(change6(RTM_DELROUTE, NLM_F_REQUEST | NLM_F_ACK, row));
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
