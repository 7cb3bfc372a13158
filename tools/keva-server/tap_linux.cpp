// The one Linux-specific piece of the server: creating the TAP device.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "driver/linux/offload.h"
#include "tap.hpp"

namespace ks {

int tap_open(const std::string& name, std::string& err, bool* vnet) {
    int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        err = std::string("/dev/net/tun: ") + strerror(errno);
        return -1;
    }
    ifreq ifr{};
    // Offloads on: the kernel hands over TCP bursts whole and leaves
    // checksums to us (the reader cuts and completes them).
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI | IFF_VNET_HDR;
    strncpy(ifr.ifr_name, name.c_str(), IFNAMSIZ - 1);
    *vnet = ioctl(fd, TUNSETIFF, &ifr) == 0;
    if (!*vnet) {
        ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
        if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
            err = "TUNSETIFF " + name + ": " + strerror(errno);
            close(fd);
            return -1;
        }
    } else {
        int hdr = static_cast<int>(velarn::offload::VNET_HEADER);
        unsigned features = TUN_F_CSUM | TUN_F_TSO4 | TUN_F_TSO6;
        if (ioctl(fd, TUNSETVNETHDRSZ, &hdr) < 0 || ioctl(fd, TUNSETOFFLOAD, features) < 0)
            ioctl(fd, TUNSETOFFLOAD, 0u);
    }
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0 || ioctl(s, SIOCGIFFLAGS, &ifr) < 0 ||
        (ifr.ifr_flags |= IFF_UP, ioctl(s, SIOCSIFFLAGS, &ifr) < 0)) {
        err = "bringing " + name + " up: " + strerror(errno);
        if (s >= 0) close(s);
        close(fd);
        return -1;
    }
    close(s);
    return fd;
}

}  // namespace ks
