#include "platform/network_info.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

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

uint32_t prefix_mask(unsigned len) { return len == 0 ? 0 : htonl(~uint32_t(0) << (32 - len)); }

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
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return false;
  struct {
    nlmsghdr nh;
    rtmsg rt;
  } req{};
  req.nh.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
  req.nh.nlmsg_type = RTM_GETROUTE;
  req.nh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  req.nh.nlmsg_seq = 1;
  req.rt.rtm_family = AF_INET;
  if (send(fd, &req, req.nh.nlmsg_len, 0) < 0) {
    int e = errno;
    close(fd);
    errno = e;
    return false;
  }
  std::vector<char> buf(65536);
  bool done = false, ok = true;
  while (!done) {
    ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) {
      ok = false;
      break;
    }
    for (auto* nh = reinterpret_cast<nlmsghdr*>(buf.data()); NLMSG_OK(nh, static_cast<unsigned>(n));
         nh = NLMSG_NEXT(nh, n)) {
      if (nh->nlmsg_type == NLMSG_DONE) {
        done = true;
        break;
      }
      if (nh->nlmsg_type == NLMSG_ERROR) {
        auto* err = static_cast<nlmsgerr*>(NLMSG_DATA(nh));
        errno = -err->error;
        ok = false;
        done = true;
        break;
      }
      if (nh->nlmsg_type != RTM_NEWROUTE) continue;
      auto* rt = static_cast<rtmsg*>(NLMSG_DATA(nh));
      if (rt->rtm_family != AF_INET || rt->rtm_table != RT_TABLE_MAIN) continue;
      RouteRow row;
      row.mask = prefix_mask(rt->rtm_dst_len);
      int len = RTM_PAYLOAD(nh);
      for (auto* a = RTM_RTA(rt); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        switch (a->rta_type) {
          case RTA_DST: std::memcpy(&row.destination, RTA_DATA(a), 4); break;
          case RTA_GATEWAY: std::memcpy(&row.next_hop, RTA_DATA(a), 4); break;
          case RTA_OIF: row.if_index = *static_cast<unsigned*>(RTA_DATA(a)); break;
          case RTA_PRIORITY: row.metric = *static_cast<int*>(RTA_DATA(a)); break;
          default: break;
        }
      }
      row.direct = row.next_hop == 0;
      out.push_back(row);
    }
  }
  int e = errno;
  close(fd);
  errno = e;
  return ok;
}

bool get_adapters(std::vector<AdapterInfo>& out) {
  struct ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  std::map<unsigned, AdapterInfo> by_index;
  for (auto* ifa = list; ifa; ifa = ifa->ifa_next) {
    if (!ifa->ifa_name) continue;
    unsigned index = if_nametoindex(ifa->ifa_name);
    if (index == 0) continue;
    AdapterInfo& a = by_index[index];
    if (a.index == 0) {
      a.index = index;
      std::string alias = read_line(std::string("/sys/class/net/") + ifa->ifa_name + "/ifalias");
      a.description = alias.empty() ? ifa->ifa_name : alias;
    }
    if (!ifa->ifa_addr) continue;
    if (ifa->ifa_addr->sa_family == AF_PACKET) {
      auto* ll = reinterpret_cast<sockaddr_ll*>(ifa->ifa_addr);
      if (ll->sll_halen >= 6) std::memcpy(a.mac, ll->sll_addr, 6);
    } else if (ifa->ifa_addr->sa_family == AF_INET && a.ip_address == "0.0.0.0") {
      a.ip_address = ipv4_text(reinterpret_cast<sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr);
      if (ifa->ifa_netmask) a.ip_mask = ipv4_text(reinterpret_cast<sockaddr_in*>(ifa->ifa_netmask)->sin_addr.s_addr);
    }
  }
  freeifaddrs(list);
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

AddressMonitor::AddressMonitor() : fd_(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {
  if (fd_ < 0) return;
  sockaddr_nl sa{};
  sa.nl_family = AF_NETLINK;
  sa.nl_groups = RTMGRP_IPV4_IFADDR;
  if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    int e = errno;
    close(fd_);
    fd_ = -1;
    errno = e;
  }
}

AddressMonitor::~AddressMonitor() {
  if (fd_ >= 0) close(fd_);
}

bool AddressMonitor::wait(int stop_fd) {
  for (;;) {
    struct pollfd fds[2] = {{stop_fd, POLLIN, 0}, {fd_, POLLIN, 0}};
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
      char buf[8192];
      bool change = false;
      ssize_t n;
      while ((n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
        for (auto* nh = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(nh, static_cast<unsigned>(n));
             nh = NLMSG_NEXT(nh, n))
          if (nh->nlmsg_type == RTM_NEWADDR || nh->nlmsg_type == RTM_DELADDR) change = true;
      }
      if (change) return true;
    }
  }
}

}  // namespace velarn
