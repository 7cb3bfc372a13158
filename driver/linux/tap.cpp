#include "driver/linux/tap.h"

#include "driver/linux/tap_open.h"
#include "platform/addressing.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/linux/netlink.h"

namespace velarn::vlncard {

namespace {

// A throwaway socket for interface ioctls (in this process's namespace).
class CtlSocket {
 public:
  CtlSocket() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  ~CtlSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

void fill_name(struct ifreq& ifr, const std::string& name) {
  std::memset(&ifr, 0, sizeof ifr);
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", name.c_str());
}

}  // namespace

// The service finds the interface by the same rule.
std::string tap_name_for(const std::string& id) { return adapter_interface_name(id); }

bool TapDevice::fail(const std::string& what) {
  error_ = what + ": " + std::strerror(errno);
  return false;
}

bool TapDevice::open(const std::string& name) {
  close();
  name_ = name;
  fd_ = open_tap(name, &vnet_, &error_);
  if (fd_ < 0) return false;
  CtlSocket s;
  struct ifreq ifr;
  fill_name(ifr, name);
  ifindex_ = ::ioctl(s.fd(), SIOCGIFINDEX, &ifr) == 0 ? ifr.ifr_ifindex : 0;
  return true;
}

void TapDevice::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  vnet_ = false;
  ifindex_ = 0;
}

bool TapDevice::set_mac(const MacAddress& mac) {
  CtlSocket s;
  struct ifreq ifr;
  fill_name(ifr, name_);
  ifr.ifr_hwaddr.sa_family = ARPHRD_ETHER;
  std::memcpy(ifr.ifr_hwaddr.sa_data, mac.data(), mac.size());
  if (::ioctl(s.fd(), SIOCSIFHWADDR, &ifr) < 0) return fail("cannot set the MAC address of " + name_);
  return true;
}

bool TapDevice::set_mtu(uint32_t mtu) {
  CtlSocket s;
  struct ifreq ifr;
  fill_name(ifr, name_);
  ifr.ifr_mtu = int(mtu);
  if (::ioctl(s.fd(), SIOCSIFMTU, &ifr) < 0) return fail("cannot set the MTU of " + name_);
  return true;
}

bool TapDevice::set_carrier(bool on) {
  if (fd_ < 0) return false;
  int v = on ? 1 : 0;
  if (::ioctl(fd_, TUNSETCARRIER, &v) < 0) return fail("cannot set the carrier of " + name_);
  return true;
}

bool TapDevice::set_up() {
  CtlSocket s;
  struct ifreq ifr;
  fill_name(ifr, name_);
  if (::ioctl(s.fd(), SIOCGIFFLAGS, &ifr) < 0) return fail("cannot read the flags of " + name_);
  ifr.ifr_flags |= IFF_UP;
  if (::ioctl(s.fd(), SIOCSIFFLAGS, &ifr) < 0) return fail("cannot bring up " + name_);
  return true;
}

int TapDevice::flags() const {
  CtlSocket s;
  struct ifreq ifr;
  fill_name(ifr, name_);
  if (::ioctl(s.fd(), SIOCGIFFLAGS, &ifr) < 0) return -1;
  return ifr.ifr_flags & 0xFFFF;
}

bool TapDevice::set_alias(const std::string& alias) {
  if (!ifindex_) {
    errno = ENODEV;
    return fail("cannot set the alias of " + name_);
  }
  netlink::Socket nl;
  int err = nl.open();
  if (err == 0) {
    netlink::Message req;
    auto* ifi = req.start<ifinfomsg>(RTM_NEWLINK);
    ifi->ifi_family = AF_UNSPEC;
    ifi->ifi_index = ifindex_;
    req.put(IFLA_IFALIAS, alias.data(), alias.size());
    err = nl.request(req);
  }
  if (err == 0) return true;
  errno = err;
  return fail("cannot set the alias of " + name_);
}

uint32_t packet_filter_from_flags(int flags) {
  if (flags < 0 || !(flags & IFF_UP)) return 0;
  uint32_t f = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_MULTICAST | NDIS_PACKET_TYPE_BROADCAST;
  if (flags & IFF_PROMISC) f |= NDIS_PACKET_TYPE_PROMISCUOUS;
  if (flags & IFF_ALLMULTI) f |= NDIS_PACKET_TYPE_ALL_MULTICAST;
  return f;
}

std::vector<MacAddress> kernel_multicast_list(int ifindex) {
  std::vector<MacAddress> out;
  FILE* f = std::fopen("/proc/net/dev_mcast", "re");
  if (!f) return out;
  char line[256];
  while (std::fgets(line, sizeof line, f)) {
    int idx, users, global;
    char name[64], hex[64];
    if (std::sscanf(line, "%d %63s %d %d %63s", &idx, name, &users, &global, hex) != 5 || idx != ifindex) continue;
    MacAddress m;
    if (std::strlen(hex) == 12 && parse_mac_text(hex, m) == 6) out.push_back(m);
  }
  std::fclose(f);
  return out;
}

}  // namespace velarn::vlncard
