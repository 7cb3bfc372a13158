// A routing table in memory, behind the service's route seam: the routes a
// test gives it, and the host routes the service adds and deletes. IPv4
// only; an IPv6 destination has no route here (none is pinned for it).
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/route_table.h"

class MemoryRouteTable : public velarn::RouteTable {
 public:
  // A route of the test's, as found by the lookups ("10.0.0.0", 8, …).
  void add(const std::string& dest, int prefix, const std::string& next_hop, uint32_t if_index, uint32_t type);
  // The host routes the service made, as "a.b.c.d via g.h.i.j", in order.
  std::vector<std::string> host_routes() const;
  // Every create and delete the service made, as "+a.b.c.d" and "-a.b.c.d".
  std::vector<std::string> changes() const;

  unsigned long best_route(uint32_t dest, uint32_t src, velarn::IpForwardRow* row) override;
  unsigned long create_entry(const velarn::IpForwardRow& row) override;
  unsigned long delete_entry(const velarn::IpForwardRow& row) override;
  unsigned long best_route6(const uint8_t dest[16], velarn::IpForwardRow6* row) override;

 private:
  mutable std::mutex m_;
  std::vector<velarn::IpForwardRow> given_, made_;
  std::vector<std::string> changes_;
};
