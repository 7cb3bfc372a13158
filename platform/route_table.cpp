// RouteTable over rtnetlink. Each call opens its own netlink socket, so that
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

void add_u32(RouteRequest* req, unsigned short type, uint32_t value) {
  add_attr(req, type, &value, sizeof value);
}

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
    if (sendto(fd_, req, req->hdr.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0)
      return errno;
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

class SystemRouteTable final : public RouteTable {
 public:
  unsigned long best_route(uint32_t dest, uint32_t src, IpForwardRow* row) override {
    Netlink nl;
    if (!nl.ok()) return route_error_from_errno(errno);
    RouteRequest req{};
    req.hdr.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    req.hdr.nlmsg_type = RTM_GETROUTE;
    req.hdr.nlmsg_flags = NLM_F_REQUEST;
    req.rt.rtm_family = AF_INET;
    req.rt.rtm_dst_len = 32;
    add_u32(&req, RTA_DST, dest);
    if (src != 0) {
      req.rt.rtm_src_len = 32;
      add_u32(&req, RTA_SRC, src);
    }
    alignas(nlmsghdr) char reply[4096];
    int err = nl.transact(&req, reply, sizeof reply, true);
    if (err != 0) return route_error_from_errno(err);

    auto* h = reinterpret_cast<nlmsghdr*>(reply);
    auto* rt = static_cast<rtmsg*>(NLMSG_DATA(h));
    IpForwardRow out;
    out.dest = dest;
    out.mask = 0xffffffffu;
    out.table = rt->rtm_table;
    uint32_t gateway = 0, prefsrc = 0;
    int attr_len = static_cast<int>(RTM_PAYLOAD(h));
    for (auto* a = RTM_RTA(rt); RTA_OK(a, attr_len); a = RTA_NEXT(a, attr_len)) {
      uint32_t v = 0;
      if (RTA_PAYLOAD(a) >= sizeof v) memcpy(&v, RTA_DATA(a), sizeof v);
      switch (a->rta_type) {
        case RTA_GATEWAY: gateway = v; break;
        case RTA_OIF: out.if_index = v; break;
        case RTA_PREFSRC: prefsrc = v; break;
        case RTA_PRIORITY: out.metric1 = v; break;
        case RTA_TABLE: out.table = v; break;
        default: break;
      }
    }
    // Only unicast routes lead anywhere a host route could follow; a local
    // address, broadcast or multicast destination needs none.
    if (rt->rtm_type != RTN_UNICAST) {
      out.type = ROUTE_TYPE_OTHER;
      out.next_hop = prefsrc;
    } else if (gateway != 0) {
      out.type = ROUTE_TYPE_INDIRECT;
      out.next_hop = gateway;
    } else {
      out.type = ROUTE_TYPE_DIRECT;
      out.next_hop = prefsrc;
    }
    out.proto = rt->rtm_protocol;
    *row = out;
    return ROUTE_OK;
  }

  unsigned long create_entry(const IpForwardRow& row) override {
    return change(RTM_NEWROUTE, NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL, row);
  }

  unsigned long delete_entry(const IpForwardRow& row) override {
    unsigned long rc = change(RTM_DELROUTE, NLM_F_REQUEST | NLM_F_ACK, row);
    // A route that is already gone reads as "not found", as on Windows.
    return rc == route_error_from_errno(ESRCH) ? ROUTE_ERROR_NOT_FOUND : rc;
  }

 private:
  static int prefix_len(uint32_t mask_net) {
    uint32_t m = ntohl(mask_net);
    int n = 0;
    while (n < 32 && (m & (0x80000000u >> n))) ++n;
    // Masks with holes cannot be expressed as a prefix.
    return (n == 32 || (m << n) == 0) ? n : -1;
  }

  unsigned long change(uint16_t type, uint16_t flags, const IpForwardRow& row) {
    int plen = prefix_len(row.mask);
    if (plen < 0 || row.if_index == 0) return ROUTE_ERROR_INVALID_PARAMETER;
    if (row.type != ROUTE_TYPE_DIRECT && row.type != ROUTE_TYPE_INDIRECT)
      return ROUTE_ERROR_INVALID_PARAMETER;
    Netlink nl;
    if (!nl.ok()) return route_error_from_errno(errno);
    RouteRequest req{};
    req.hdr.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
    req.hdr.nlmsg_type = type;
    req.hdr.nlmsg_flags = flags;
    req.rt.rtm_family = AF_INET;
    req.rt.rtm_dst_len = static_cast<unsigned char>(plen);
    uint32_t table = row.table ? row.table : RT_TABLE_MAIN;
    req.rt.rtm_table = static_cast<unsigned char>(table < 256 ? table : RT_TABLE_UNSPEC);
    req.rt.rtm_type = RTN_UNICAST;
    req.rt.rtm_protocol = row.proto == ROUTE_PROTO_NETMGMT ? RTPROT_STATIC : RTPROT_BOOT;
    bool indirect = row.type == ROUTE_TYPE_INDIRECT;
    req.rt.rtm_scope = type == RTM_DELROUTE ? RT_SCOPE_NOWHERE
                       : indirect           ? RT_SCOPE_UNIVERSE
                                            : RT_SCOPE_LINK;
    add_u32(&req, RTA_DST, row.dest);
    add_u32(&req, RTA_TABLE, table);
    add_u32(&req, RTA_OIF, row.if_index);
    if (indirect) add_u32(&req, RTA_GATEWAY, row.next_hop);
    if (type == RTM_NEWROUTE && row.metric1 != 0) add_u32(&req, RTA_PRIORITY, row.metric1);
    int err = nl.transact(&req, nullptr, 0, false);
    return err ? route_error_from_errno(err) : ROUTE_OK;
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
    case ROUTE_ERROR_NOT_ENOUGH_MEMORY:
      return "Not enough memory resources are available to process this command.";
    case ROUTE_ERROR_GEN_FAILURE: return "A device attached to the system is not functioning.";
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
