#include "driver/linux/tap_open.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/linux/offload.h"

namespace velarn {
namespace {

void fill_name(struct ifreq& ifr, const std::string& name) {
  std::memset(&ifr, 0, sizeof ifr);
  std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", name.c_str());
}

}  // namespace

int open_tap(const std::string& name, bool* vnet, std::string* error) {
  *vnet = false;
  int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = std::string("cannot open /dev/net/tun: ") + std::strerror(errno);
    return -1;
  }
  struct ifreq ifr;
  fill_name(ifr, name);
  // With a virtio-net header per frame the kernel may hand over whole TCP
  // bursts in one read (cut up by the reader, see offload.h): one system call
  // for up to 64 KiB instead of one per frame, on this side and in the
  // sender's stack. Without it, the interface works frame by frame.
  ifr.ifr_flags = IFF_TAP | IFF_NO_PI | IFF_VNET_HDR;
  *vnet = ::ioctl(fd, TUNSETIFF, &ifr) == 0;
  if (!*vnet) {
    fill_name(ifr, name);
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    if (::ioctl(fd, TUNSETIFF, &ifr) < 0) {
      *error = "cannot create TAP interface " + name + ": " + std::strerror(errno);
      ::close(fd);
      return -1;
    }
  } else {
    int hdr = int(offload::VNET_HEADER);
    unsigned features = TUN_F_CSUM | TUN_F_TSO4 | TUN_F_TSO6;
    if (::ioctl(fd, TUNSETVNETHDRSZ, &hdr) < 0 || ::ioctl(fd, TUNSETOFFLOAD, features) < 0)
      ::ioctl(fd, TUNSETOFFLOAD, 0u);  // the header stays, always empty
  }
  return fd;
}

}  // namespace velarn
