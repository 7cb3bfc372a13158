#include "memory_routes.h"

#include <arpa/inet.h>

#include <algorithm>

namespace {

std::string text(uint32_t addr) {
  char buf[INET_ADDRSTRLEN];
  in_addr a{addr};
  return inet_ntop(AF_INET, &a, buf, sizeof buf) ? buf : "?";
}

bool same(const velarn::IpForwardRow& a, const velarn::IpForwardRow& b) { return a.dest == b.dest && a.mask == b.mask; }

}  // namespace

void MemoryRouteTable::add(const std::string& dest, int prefix, const std::string& next_hop, uint32_t if_index,
                           uint32_t type) {
  velarn::IpForwardRow row;
  row.mask = prefix == 0 ? 0 : htonl(0xffffffffu << (32 - prefix));
  row.dest = inet_addr(dest.c_str()) & row.mask;
  row.next_hop = inet_addr(next_hop.c_str());
  row.if_index = if_index;
  row.type = type;
  std::lock_guard<std::mutex> lock(m_);
  given_.push_back(row);
}

std::vector<std::string> MemoryRouteTable::host_routes() const {
  std::lock_guard<std::mutex> lock(m_);
  std::vector<std::string> out;
  for (const auto& r : made_) out.push_back(text(r.dest) + " via " + text(r.next_hop));
  return out;
}

std::vector<std::string> MemoryRouteTable::changes() const {
  std::lock_guard<std::mutex> lock(m_);
  return changes_;
}

// The longest prefix wins, the service's own host routes among the rest.
unsigned long MemoryRouteTable::best_route(uint32_t dest, uint32_t src, velarn::IpForwardRow* row) {
  (void)src;
  std::lock_guard<std::mutex> lock(m_);
  const velarn::IpForwardRow* best = nullptr;
  for (const auto* rows : {&given_, &made_})
    for (const auto& r : *rows)
      if ((dest & r.mask) == r.dest && (!best || ntohl(r.mask) > ntohl(best->mask))) best = &r;
  if (!best) return velarn::ROUTE_ERROR_CAN_NOT_COMPLETE;
  *row = *best;
  return velarn::ROUTE_OK;
}

unsigned long MemoryRouteTable::create_entry(const velarn::IpForwardRow& row) {
  std::lock_guard<std::mutex> lock(m_);
  for (const auto* rows : {&given_, &made_})
    if (std::any_of(rows->begin(), rows->end(), [&](const auto& r) { return same(r, row); }))
      return velarn::ROUTE_ERROR_OBJECT_ALREADY_EXISTS;
  made_.push_back(row);
  changes_.push_back("+" + text(row.dest));
  return velarn::ROUTE_OK;
}

unsigned long MemoryRouteTable::delete_entry(const velarn::IpForwardRow& row) {
  std::lock_guard<std::mutex> lock(m_);
  auto it = std::find_if(made_.begin(), made_.end(), [&](const auto& r) { return same(r, row); });
  if (it == made_.end()) return velarn::ROUTE_ERROR_NOT_FOUND;
  made_.erase(it);
  changes_.push_back("-" + text(row.dest));
  return velarn::ROUTE_OK;
}

unsigned long MemoryRouteTable::best_route6(const uint8_t dest[16], velarn::IpForwardRow6* row) {
  (void)dest;
  (void)row;
  return velarn::ROUTE_ERROR_CAN_NOT_COMPLETE;
}
