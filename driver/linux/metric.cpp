#include "driver/linux/metric.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velarn::vlncard {

namespace {

// A netlink message being built: header, fixed part, attributes.
struct Message {
  alignas(nlmsghdr) char buf[1024];
  nlmsghdr* h() { return reinterpret_cast<nlmsghdr*>(buf); }

  bool start(const nlmsghdr* from, uint16_t type, uint16_t flags, size_t fixed) {
    if (NLMSG_LENGTH(fixed) > sizeof buf || from->nlmsg_len < NLMSG_LENGTH(fixed)) return false;
    std::memset(buf, 0, sizeof buf);
    h()->nlmsg_len = NLMSG_LENGTH(fixed);
    h()->nlmsg_type = type;
    h()->nlmsg_flags = flags;
    std::memcpy(NLMSG_DATA(h()), NLMSG_DATA(from), fixed);
    return true;
  }
  bool add(unsigned short type, const void* data, size_t len) {
    size_t at = NLMSG_ALIGN(h()->nlmsg_len);
    if (at + RTA_SPACE(len) > sizeof buf) return false;
    auto* rta = reinterpret_cast<rtattr*>(buf + at);
    rta->rta_type = type;
    rta->rta_len = static_cast<unsigned short>(RTA_LENGTH(len));
    std::memcpy(RTA_DATA(rta), data, len);
    h()->nlmsg_len = static_cast<uint32_t>(at + RTA_SPACE(len));
    return true;
  }
};

// True when a metric found on a route is not one somebody chose: none at
// all, or the one this host gave before the stored value changed.
bool unchosen(uint32_t found, uint32_t metric, uint32_t previous) {
  return found == 0 || (previous != 0 && found == previous && previous != metric);
}

}  // namespace

RouteMetric::RouteMetric() { fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE); }

RouteMetric::~RouteMetric() {
  if (fd_ >= 0) ::close(fd_);
}

bool RouteMetric::request(nlmsghdr* h) {
  if (fd_ < 0) return false;
  h->nlmsg_flags |= NLM_F_REQUEST | NLM_F_ACK;
  h->nlmsg_seq = ++seq_;
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  if (::sendto(fd_, h, h->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) return false;
  alignas(nlmsghdr) char buf[4096];
  for (;;) {
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    for (auto* r = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(r, size_t(n)); r = NLMSG_NEXT(r, n)) {
      if (r->nlmsg_seq != seq_ || r->nlmsg_type != NLMSG_ERROR) continue;
      auto* e = static_cast<nlmsgerr*>(NLMSG_DATA(r));
      if (e->error == 0) return true;
      std::fprintf(stderr, "vlncard: cannot set a route metric: %s\n", std::strerror(-e->error));
      return false;
    }
  }
}

bool RouteMetric::dump(uint16_t type, unsigned char family, std::vector<char>* out) {
  out->clear();
  if (fd_ < 0) return false;
  struct {
    nlmsghdr h;
    rtgenmsg g;
  } req{};
  req.h.nlmsg_len = sizeof req;
  req.h.nlmsg_type = type;
  req.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  req.h.nlmsg_seq = ++seq_;
  req.g.rtgen_family = family;
  if (::send(fd_, &req, sizeof req, 0) < 0) return false;
  alignas(nlmsghdr) char buf[16384];
  for (;;) {
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    for (auto* r = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(r, size_t(n)); r = NLMSG_NEXT(r, n)) {
      if (r->nlmsg_seq != seq_) continue;
      if (r->nlmsg_type == NLMSG_DONE) return true;
      if (r->nlmsg_type == NLMSG_ERROR) return false;
      // Kept whole, one after another, to be applied once the dump is over.
      const char* p = reinterpret_cast<const char*>(r);
      out->insert(out->end(), p, p + NLMSG_ALIGN(r->nlmsg_len));
    }
  }
}

void RouteMetric::apply(const nlmsghdr* h, int ifindex, uint32_t metric, uint32_t previous) {
  if (metric == 0) return;
  if (h->nlmsg_type == RTM_NEWADDR && h->nlmsg_len >= NLMSG_LENGTH(sizeof(ifaddrmsg))) {
    auto* ifa = static_cast<const ifaddrmsg*>(NLMSG_DATA(h));
    if (int(ifa->ifa_index) == ifindex) apply_address(h, metric, previous);
  } else if (h->nlmsg_type == RTM_NEWROUTE && h->nlmsg_len >= NLMSG_LENGTH(sizeof(rtmsg))) {
    apply_route(h, ifindex, metric, previous);
  }
}

// The prefix route goes with its address: the address is given the metric
// (as "ip addr ... metric" does), and the kernel moves the route with it.
void RouteMetric::apply_address(const nlmsghdr* h, uint32_t metric, uint32_t previous) {
  auto* ifa = static_cast<const ifaddrmsg*>(NLMSG_DATA(h));
  Message m;
  if (!m.start(h, RTM_NEWADDR, NLM_F_REPLACE, sizeof(ifaddrmsg))) return;
  uint32_t found = 0;
  int left = int(IFA_PAYLOAD(h));
  bool ok = true;
  for (auto* rta = IFA_RTA(ifa); RTA_OK(rta, left); rta = RTA_NEXT(rta, left)) {
    switch (rta->rta_type) {
      case IFA_RT_PRIORITY:
        if (RTA_PAYLOAD(rta) >= 4) std::memcpy(&found, RTA_DATA(rta), 4);
        break;
      case IFA_LOCAL:
      case IFA_ADDRESS:
      case IFA_BROADCAST:
      case IFA_LABEL:
      case IFA_CACHEINFO:  // keeps a leased address's lifetimes
      case IFA_FLAGS: ok = ok && m.add(rta->rta_type, RTA_DATA(rta), RTA_PAYLOAD(rta)); break;
      default: break;
    }
  }
  if (!ok || !unchosen(found, metric, previous)) return;
  m.add(IFA_RT_PRIORITY, &metric, sizeof metric);
  request(m.h());
}

// Any other route through the interface without a metric of its own: made
// again with the metric, then the one without it removed.
void RouteMetric::apply_route(const nlmsghdr* h, int ifindex, uint32_t metric, uint32_t previous) {
  auto* rtm = static_cast<const rtmsg*>(NLMSG_DATA(h));
  if (rtm->rtm_family != AF_INET || rtm->rtm_type != RTN_UNICAST || rtm->rtm_protocol == RTPROT_KERNEL) return;
  Message add, del;
  if (!add.start(h, RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, sizeof(rtmsg))) return;
  if (!del.start(h, RTM_DELROUTE, 0, sizeof(rtmsg))) return;
  // A report carries state (linkdown, dead) that a request may not.
  for (Message* m : {&add, &del}) static_cast<rtmsg*>(NLMSG_DATA(m->h()))->rtm_flags &= RTNH_F_ONLINK;
  uint32_t table = rtm->rtm_table, found = 0;
  int oif = 0;
  int left = int(RTM_PAYLOAD(h));
  bool ok = true;
  for (auto* rta = RTM_RTA(rtm); RTA_OK(rta, left); rta = RTA_NEXT(rta, left)) {
    if (rta->rta_type == RTA_PRIORITY && RTA_PAYLOAD(rta) >= 4) {
      std::memcpy(&found, RTA_DATA(rta), 4);
    } else if (rta->rta_type == RTA_MULTIPATH) {
      return;  // not one interface's route
    } else if (rta->rta_type != RTA_CACHEINFO) {
      if (rta->rta_type == RTA_OIF && RTA_PAYLOAD(rta) >= 4) std::memcpy(&oif, RTA_DATA(rta), 4);
      if (rta->rta_type == RTA_TABLE && RTA_PAYLOAD(rta) >= 4) std::memcpy(&table, RTA_DATA(rta), 4);
      ok = ok && add.add(rta->rta_type, RTA_DATA(rta), RTA_PAYLOAD(rta)) &&
           del.add(rta->rta_type, RTA_DATA(rta), RTA_PAYLOAD(rta));
    }
  }
  if (!ok || oif != ifindex || table != RT_TABLE_MAIN || !unchosen(found, metric, previous)) return;
  if (found) del.add(RTA_PRIORITY, &found, sizeof found);
  add.add(RTA_PRIORITY, &metric, sizeof metric);
  if (request(add.h())) request(del.h());
}

void RouteMetric::sync(int ifindex, uint32_t metric, uint32_t previous) {
  if (metric == 0) return;
  std::vector<char> msgs;
  for (auto [type, family] : {std::pair<uint16_t, unsigned char>{RTM_GETADDR, AF_UNSPEC}, {RTM_GETROUTE, AF_INET}}) {
    if (!dump(type, family, &msgs)) continue;
    for (size_t at = 0; at + sizeof(nlmsghdr) <= msgs.size();) {
      auto* h = reinterpret_cast<const nlmsghdr*>(msgs.data() + at);
      if (h->nlmsg_len < sizeof(nlmsghdr) || at + h->nlmsg_len > msgs.size()) break;
      apply(h, ifindex, metric, previous);
      at += NLMSG_ALIGN(h->nlmsg_len);
    }
  }
}

}  // namespace velarn::vlncard
