// The adapter's interface metric on Linux. Linux keeps a metric per route,
// not per interface, so the stored metric is given to every route through
// the adapter that came without one of its own: the prefix routes of its
// addresses (through the address's route priority, so that they still go
// with the address) and IPv4 routes added through it without a metric.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/linux/netlink.h"

namespace velarn::vlncard {

class RouteMetric {
 public:
  RouteMetric();
  ~RouteMetric();
  RouteMetric(const RouteMetric&) = delete;
  RouteMetric& operator=(const RouteMetric&) = delete;

  // An address or route notification: moves what it names to the metric
  // when it belongs to the interface and has no metric of its own (or still
  // has the previous stored one). A metric of 0 (automatic) leaves
  // everything as the kernel made it.
  void apply(const nlmsghdr* h, int ifindex, uint32_t metric, uint32_t previous = 0);
  // The same for every address and route the interface has now.
  void sync(int ifindex, uint32_t metric, uint32_t previous = 0);

 private:
  bool request(netlink::Message& m);
  bool dump(uint16_t type, unsigned char family, std::vector<char>* out);
  void apply_address(const nlmsghdr* h, uint32_t metric, uint32_t previous);
  void apply_route(const nlmsghdr* h, int ifindex, uint32_t metric, uint32_t previous);

  netlink::Socket nl_;
};

}  // namespace velarn::vlncard
