// The network configuration over rtnetlink (links, addresses, routes and
// their reports) in the calling thread's network namespace, and the
// resolver's settings from the system's files.
#include "platform/network_info.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/linux/netlink.h"

namespace velarn {

namespace {

std::string read_line(const std::string& path) {
  std::ifstream in(path);
  std::string s;
  std::getline(in, s);
  return s;
}

std::string ipv4_text(uint32_t addr) {
  char buf[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &addr, buf, sizeof buf);
  return buf;
}

uint32_t prefix_mask(unsigned len) { return len == 0 ? 0 : htonl(~uint32_t(0) << (32 - std::min(len, 32u))); }

bool fail(int err) {
  errno = err;
  return false;
}

// A string attribute, without the terminating zero the kernel adds.
std::string attr_text(const nlattr* a) {
  const char* p = static_cast<const char*>(mnl_attr_get_payload(a));
  return std::string(p, strnlen(p, mnl_attr_get_payload_len(a)));
}

// Readings of a table that changed while it was read.
constexpr int kDumpAttempts = 3;

}  // namespace

bool get_network_params(NetworkParams& out) {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return false;
  out.host_name = host;
  std::ifstream in("/etc/resolv.conf");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string key, value;
    ls >> key >> value;
    if (key == "nameserver" && !value.empty()) out.dns_servers.push_back(value);
    if ((key == "domain" || (key == "search" && out.domain_name.empty())) && !value.empty()) out.domain_name = value;
  }
  out.enable_routing = read_line("/proc/sys/net/ipv4/ip_forward") == "1";
  return true;
}

bool get_ipv4_routes(std::vector<RouteRow>& out) {
  netlink::Socket nl;
  if (int err = nl.open()) return fail(err);
  size_t before = out.size();
  int err = 0;
  // A table that changed while it was read is read again; the last reading
  // stands if it never holds still.
  for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
    out.resize(before);
    netlink::Message req;
    req.start<rtmsg>(RTM_GETROUTE)->rtm_family = AF_INET;
    err = nl.dump(req, [&](const nlmsghdr* h) {
      const auto* rt = netlink::fixed_part<rtmsg>(h);
      if (h->nlmsg_type != RTM_NEWROUTE || !rt) return;
      if (rt->rtm_family != AF_INET || rt->rtm_table != RT_TABLE_MAIN) return;
      RouteRow row;
      row.mask = prefix_mask(rt->rtm_dst_len);
      netlink::for_each_attr(h, sizeof(rtmsg), [&](const nlattr* a) {
        uint32_t v = 0;
        switch (mnl_attr_get_type(a)) {
          case RTA_DST: netlink::attr_copy(a, &row.destination, 4); break;
          case RTA_GATEWAY: netlink::attr_copy(a, &row.next_hop, 4); break;
          case RTA_OIF:
            if (netlink::attr_u32(a, &v)) row.if_index = v;
            break;
          case RTA_PRIORITY:
            if (netlink::attr_u32(a, &v)) row.metric = static_cast<int>(v);
            break;
          default: break;
        }
      });
      row.direct = row.next_hop == 0;
      out.push_back(row);
    });
    if (err != EINTR) break;
  }
  return err == 0 || err == EINTR ? true : fail(err);
}

bool get_adapters(std::vector<AdapterInfo>& out) {
  netlink::Socket nl;
  if (int err = nl.open()) return fail(err);
  std::map<unsigned, AdapterInfo> by_index;
  int err = 0;
  for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
    by_index.clear();
    netlink::Message links;
    links.start<ifinfomsg>(RTM_GETLINK)->ifi_family = AF_UNSPEC;
    err = nl.dump(links, [&](const nlmsghdr* h) {
      const auto* ifi = netlink::fixed_part<ifinfomsg>(h);
      if (h->nlmsg_type != RTM_NEWLINK || !ifi || ifi->ifi_index <= 0) return;
      AdapterInfo& a = by_index[static_cast<unsigned>(ifi->ifi_index)];
      a.index = static_cast<unsigned>(ifi->ifi_index);
      std::string name, alias;
      netlink::for_each_attr(h, sizeof(ifinfomsg), [&](const nlattr* at) {
        switch (mnl_attr_get_type(at)) {
          case IFLA_IFNAME: name = attr_text(at); break;
          case IFLA_IFALIAS: alias = attr_text(at); break;
          case IFLA_ADDRESS:
            if (mnl_attr_get_payload_len(at) >= 6) std::memcpy(a.mac, mnl_attr_get_payload(at), 6);
            break;
          default: break;
        }
      });
      a.description = alias.empty() ? name : alias;
    });
    if (err != 0 && err != EINTR) return fail(err);
    bool links_changed = err == EINTR;
    netlink::Message addrs;
    addrs.start<ifaddrmsg>(RTM_GETADDR)->ifa_family = AF_INET;
    err = nl.dump(addrs, [&](const nlmsghdr* h) {
      const auto* ifa = netlink::fixed_part<ifaddrmsg>(h);
      if (h->nlmsg_type != RTM_NEWADDR || !ifa || ifa->ifa_family != AF_INET) return;
      auto it = by_index.find(ifa->ifa_index);
      // The first address of an interface is the one shown.
      if (it == by_index.end() || it->second.ip_address != "0.0.0.0") return;
      // The local address, not a point-to-point link's peer.
      uint32_t local = 0, address = 0;
      bool has_local = false, has_address = false;
      netlink::for_each_attr(h, sizeof(ifaddrmsg), [&](const nlattr* at) {
        if (mnl_attr_get_type(at) == IFA_LOCAL) has_local = netlink::attr_copy(at, &local, 4);
        if (mnl_attr_get_type(at) == IFA_ADDRESS) has_address = netlink::attr_copy(at, &address, 4);
      });
      if (!has_local && !has_address) return;
      it->second.ip_address = ipv4_text(has_local ? local : address);
      it->second.ip_mask = ipv4_text(prefix_mask(ifa->ifa_prefixlen));
    });
    if (err != 0 && err != EINTR) return fail(err);
    if (err != EINTR && !links_changed) break;
  }
  std::vector<RouteRow> routes;
  if (get_ipv4_routes(routes)) {
    for (const auto& r : routes) {
      auto it = by_index.find(r.if_index);
      if (r.mask == 0 && r.destination == 0 && !r.direct && it != by_index.end() && it->second.gateway.empty())
        it->second.gateway = ipv4_text(r.next_hop);
    }
  }
  for (auto& [i, a] : by_index) out.push_back(a);
  return true;
}

struct AddressMonitor::Impl {
  netlink::Socket events;
};

AddressMonitor::AddressMonitor() : impl_(std::make_unique<Impl>()) {
  int err = impl_->events.open(true);
  if (err == 0) err = impl_->events.subscribe(RTNLGRP_IPV4_IFADDR);
  if (err != 0) {
    impl_->events.close();
    errno = err;
  }
}

AddressMonitor::~AddressMonitor() = default;

bool AddressMonitor::valid() const { return impl_->events.is_open(); }

bool AddressMonitor::wait(NativeHandle stop) {
  for (;;) {
    struct pollfd fds[2] = {{stop, POLLIN, 0}, {impl_->events.fd(), POLLIN, 0}};
    int r = poll(fds, 2, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[0].revents) {
      errno = 0;
      return false;
    }
    if (fds[1].revents) {
      bool change = false;
      int err = impl_->events.receive([&](const nlmsghdr* h) {
        if (h->nlmsg_type == RTM_NEWADDR || h->nlmsg_type == RTM_DELADDR) change = true;
      });
      // Reports the kernel had to drop may have been changes.
      if (err == ENOBUFS)
        change = true;
      else if (err != 0)
        return fail(err);
      if (change) return true;
    }
  }
}

}  // namespace velarn
