// The one Linux-specific piece of the server: bringing its TAP device up.
#include <linux/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "driver/linux/tap_open.h"
#include "tap.h"

namespace ks {

int tap_open(const std::string& name, std::string& err, bool* vnet) {
  int fd = velarn::open_tap(name, vnet, &err);
  if (fd < 0) return -1;
  // Up, but without addresses: whoever runs the server puts the device in
  // a bridge or gives it an address, as a test needs.
  ifreq ifr{};
  strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0 || ioctl(s, SIOCGIFFLAGS, &ifr) < 0 || (ifr.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &ifr) < 0)) {
    err = "bringing " + name + " up: " + strerror(errno);
    if (s >= 0) close(s);
    close(fd);
    return -1;
  }
  close(s);
  return fd;
}

}  // namespace ks
