#include "driver/linux/metric.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <linux/if_addr.h>

namespace velarn::vlncard {

namespace {

// True when a metric found on a route is not one somebody chose: none at
// all, or the one this host gave before the stored value changed.
bool unchosen(uint32_t found, uint32_t metric, uint32_t previous) {
  return found == 0 || (previous != 0 && found == previous && previous != metric);
}

}  // namespace

RouteMetric::RouteMetric() {
  if (int err = nl_.open()) std::fprintf(stderr, "vlncard: no route metrics: %s\n", netlink::error_text(err));
}

RouteMetric::~RouteMetric() = default;

bool RouteMetric::request(netlink::Message& m) {
  int err = nl_.request(m);
  if (err == 0) return true;
  std::fprintf(stderr, "vlncard: cannot set a route metric: %s\n", netlink::error_text(err));
  return false;
}

bool RouteMetric::dump(uint16_t type, unsigned char family, std::vector<char>* out) {
  // A table that changed while it was read is read again; the last reading
  // stands if it never holds still.
  int err = EINTR;
  for (int attempt = 0; attempt < 3 && err == EINTR; ++attempt) {
    out->clear();
    netlink::Message req;
    req.start<rtgenmsg>(type)->rtgen_family = family;
    // Kept whole, one after another, to be applied once the dump is over.
    err = nl_.dump(req, [out](const nlmsghdr* h) {
      const char* p = reinterpret_cast<const char*>(h);
      out->insert(out->end(), p, p + MNL_ALIGN(h->nlmsg_len));
    });
  }
  return err == 0 || err == EINTR;
}

void RouteMetric::apply(const nlmsghdr* h, int ifindex, uint32_t metric, uint32_t previous) {
  if (metric == 0) return;
  if (h->nlmsg_type == RTM_NEWADDR) {
    const auto* ifa = netlink::fixed_part<ifaddrmsg>(h);
    if (ifa && int(ifa->ifa_index) == ifindex) apply_address(h, metric, previous);
  } else if (h->nlmsg_type == RTM_NEWROUTE && netlink::fixed_part<rtmsg>(h)) {
    apply_route(h, ifindex, metric, previous);
  }
}

// The prefix route goes with its address: the address is given the metric
// (as "ip addr ... metric" does), and the kernel moves the route with it.
void RouteMetric::apply_address(const nlmsghdr* h, uint32_t metric, uint32_t previous) {
  netlink::Message m;
  if (!m.start_from(h, RTM_NEWADDR, NLM_F_REPLACE, sizeof(ifaddrmsg))) return;
  uint32_t found = 0;
  netlink::for_each_attr(h, sizeof(ifaddrmsg), [&](const nlattr* a) {
    switch (mnl_attr_get_type(a)) {
      case IFA_RT_PRIORITY: netlink::attr_u32(a, &found); break;
      case IFA_LOCAL:
      case IFA_ADDRESS:
      case IFA_BROADCAST:
      case IFA_LABEL:
      case IFA_CACHEINFO:  // keeps a leased address's lifetimes
      case IFA_FLAGS: m.put(a->nla_type, mnl_attr_get_payload(a), mnl_attr_get_payload_len(a)); break;
      default: break;
    }
  });
  if (!m.ok() || !unchosen(found, metric, previous)) return;
  m.put_u32(IFA_RT_PRIORITY, metric);
  request(m);
}

// Any other route through the interface without a metric of its own: made
// again with the metric, then the one without it removed.
void RouteMetric::apply_route(const nlmsghdr* h, int ifindex, uint32_t metric, uint32_t previous) {
  const auto* rtm = netlink::fixed_part<rtmsg>(h);
  if (!rtm) return;
  if (rtm->rtm_family != AF_INET || rtm->rtm_type != RTN_UNICAST || rtm->rtm_protocol == RTPROT_KERNEL) return;
  netlink::Message add, del;
  auto* add_rt = static_cast<rtmsg*>(add.start_from(h, RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, sizeof(rtmsg)));
  auto* del_rt = static_cast<rtmsg*>(del.start_from(h, RTM_DELROUTE, 0, sizeof(rtmsg)));
  if (!add_rt || !del_rt) return;
  // A report carries state (linkdown, dead) that a request may not.
  add_rt->rtm_flags &= RTNH_F_ONLINK;
  del_rt->rtm_flags &= RTNH_F_ONLINK;
  uint32_t table = rtm->rtm_table, found = 0, oif = 0;
  bool multipath = false;
  netlink::for_each_attr(h, sizeof(rtmsg), [&](const nlattr* a) {
    uint16_t type = mnl_attr_get_type(a);
    if (type == RTA_PRIORITY && netlink::attr_u32(a, &found)) return;
    if (type == RTA_MULTIPATH) multipath = true;  // not one interface's route
    if (type == RTA_CACHEINFO) return;
    if (type == RTA_OIF) netlink::attr_u32(a, &oif);
    if (type == RTA_TABLE) netlink::attr_u32(a, &table);
    add.put(a->nla_type, mnl_attr_get_payload(a), mnl_attr_get_payload_len(a));
    del.put(a->nla_type, mnl_attr_get_payload(a), mnl_attr_get_payload_len(a));
  });
  if (multipath || !add.ok() || !del.ok()) return;
  if (int(oif) != ifindex || table != RT_TABLE_MAIN || !unchosen(found, metric, previous)) return;
  if (found) del.put_u32(RTA_PRIORITY, found);
  add.put_u32(RTA_PRIORITY, metric);
  if (request(add)) request(del);
}

void RouteMetric::sync(int ifindex, uint32_t metric, uint32_t previous) {
  if (metric == 0) return;
  std::vector<char> msgs;
  for (auto [type, family] : {std::pair<uint16_t, unsigned char>{RTM_GETADDR, AF_UNSPEC}, {RTM_GETROUTE, AF_INET}}) {
    if (!dump(type, family, &msgs)) continue;
    int left = static_cast<int>(msgs.size());
    for (auto* h = reinterpret_cast<const nlmsghdr*>(msgs.data()); mnl_nlmsg_ok(h, left); h = mnl_nlmsg_next(h, &left))
      apply(h, ifindex, metric, previous);
  }
}

}  // namespace velarn::vlncard
