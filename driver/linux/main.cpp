// vlncard: the virtual Ethernet adapters of every registered instance, in
// the foreground until SIGTERM. SIGHUP rescans the registry.
#include <cstdio>
#include <cstring>

#include "driver/linux/host.h"

int main(int argc, char** argv) {
  if (argc > 1) {
    std::fprintf(stderr,
                 "usage: %s\n"
                 "Runs the adapter instances found in the registry under VELARN_ROOT as TAP\n"
                 "interfaces with their control devices. SIGHUP rescans, SIGTERM stops.\n",
                 argv[0]);
    return std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
  }
  velarn::vlncard::Host host;
  return host.run();
}
