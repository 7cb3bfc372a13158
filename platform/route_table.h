// The routing table as the service sees it: the best route to a destination,
// and host routes added beside it, for IPv4 and IPv6. Results are Windows error
// codes (0 is success), so that callers can keep their decisions on the codes
// they were written against (1003 no route, 87 bad parameter, 5010 exists).
#pragma once
#include <cstdint>

namespace velarn {

// Error codes the routing calls produce.
enum : unsigned long {
  ROUTE_OK = 0,
  ROUTE_ERROR_ACCESS_DENIED = 5,
  ROUTE_ERROR_NOT_ENOUGH_MEMORY = 8,
  ROUTE_ERROR_GEN_FAILURE = 31,
  ROUTE_ERROR_NOT_SUPPORTED = 50,
  ROUTE_ERROR_INVALID_PARAMETER = 87,
  ROUTE_ERROR_CAN_NOT_COMPLETE = 1003,
  ROUTE_ERROR_NOT_FOUND = 1168,
  ROUTE_ERROR_OBJECT_ALREADY_EXISTS = 5010,
  // A system error with no Windows counterpart: this bit plus the errno.
  ROUTE_ERROR_SYSTEM_BIT = 0x20000000,
};

// Row types, as in an IP forwarding row.
enum : uint32_t {
  ROUTE_TYPE_OTHER = 1,
  ROUTE_TYPE_INVALID = 2,
  ROUTE_TYPE_DIRECT = 3,
  ROUTE_TYPE_INDIRECT = 4,
};
// Protocol of a route added by an administrator or a program.
constexpr uint32_t ROUTE_PROTO_NETMGMT = 3;

// One IPv4 forwarding row. Addresses and masks are in network byte order.
struct IpForwardRow {
  uint32_t dest = 0;
  uint32_t mask = 0;
  uint32_t policy = 0;
  // Gateway of an indirect route; for a direct one the interface's own
  // address (which a direct route ignores when it is added).
  uint32_t next_hop = 0;
  uint32_t if_index = 0;
  uint32_t type = 0;
  uint32_t proto = 0;
  uint32_t age = 0;
  uint32_t next_hop_as = 0;
  uint32_t metric1 = 0;
  // The routing table the row lives in (0: the system's main table).
  uint32_t table = 0;
};

// One IPv6 forwarding row, the counterpart of IpForwardRow for a host route
// to an IPv6 address. Addresses are the 16 bytes in network order.
struct IpForwardRow6 {
  uint8_t dest[16] = {};
  uint8_t prefix_len = 0;
  // As in IpForwardRow: the gateway of an indirect route, the interface's own
  // address for a direct one.
  uint8_t next_hop[16] = {};
  uint32_t if_index = 0;
  uint32_t type = 0;
  uint32_t proto = 0;
  uint32_t metric = 0;
  uint32_t table = 0;
};

class RouteTable {
 public:
  virtual ~RouteTable() = default;
  // The route the system would use for dest (source address src, 0 for any).
  // 1003 when there is none.
  virtual unsigned long best_route(uint32_t dest, uint32_t src, IpForwardRow* row) = 0;
  // Adds the row as a route; 5010 when that route exists already.
  virtual unsigned long create_entry(const IpForwardRow& row) = 0;
  // Deletes the route the row describes; 1168 when there is no such route.
  virtual unsigned long delete_entry(const IpForwardRow& row) = 0;

  // The same for IPv6. A table without IPv6 answers 50 (not supported).
  virtual unsigned long best_route6(const uint8_t dest[16], IpForwardRow6* row) {
    (void)dest;
    (void)row;
    return ROUTE_ERROR_NOT_SUPPORTED;
  }
  virtual unsigned long create_entry6(const IpForwardRow6& row) {
    (void)row;
    return ROUTE_ERROR_NOT_SUPPORTED;
  }
  virtual unsigned long delete_entry6(const IpForwardRow6& row) {
    (void)row;
    return ROUTE_ERROR_NOT_SUPPORTED;
  }
};

// The system's table (rtnetlink of the calling thread's network namespace).
RouteTable& route_table_system();

// The message text of a code returned above.
const char* route_error_text(unsigned long code);

// Translation of a system error number (positive errno) into a code.
unsigned long route_error_from_errno(int err);

}  // namespace velarn
