// The computer's network configuration as the service logs it: parameters,
// adapters and the IPv4 routing table, and a monitor of address changes.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/system_types.h"

namespace velarn {

struct NetworkParams {
  std::string host_name;
  std::string domain_name;
  std::vector<std::string> dns_servers;
  unsigned node_type = 0;  // NetBIOS node type; none on this system
  std::string dhcp_scope;
  bool enable_routing = false;
  bool enable_proxy = false;
  bool enable_dns = false;
};

struct AdapterInfo {
  unsigned index = 0;
  std::string description;  // the interface alias when set, else its name
  uint8_t mac[6] = {};
  std::string ip_address = "0.0.0.0";
  std::string ip_mask = "0.0.0.0";
  std::string gateway;
  bool dhcp_enabled = false;
  std::string dhcp_server;
  bool have_wins = false;
  std::string primary_wins, secondary_wins;
};

struct RouteRow {
  uint32_t destination = 0;  // network byte order
  uint32_t mask = 0;
  uint32_t next_hop = 0;
  unsigned if_index = 0;
  int metric = 0;
  bool direct = false;  // no gateway: the destination is on the link
};

// Each returns false with errno set when the system cannot be asked.
// Adapters and routes are those of the calling thread's network namespace.
bool get_network_params(NetworkParams& out);
bool get_adapters(std::vector<AdapterInfo>& out);
bool get_ipv4_routes(std::vector<RouteRow>& out);

// Notifies IPv4 address changes (in the network namespace of the thread
// that made the monitor).
class AddressMonitor {
 public:
  AddressMonitor();
  ~AddressMonitor();
  AddressMonitor(const AddressMonitor&) = delete;
  AddressMonitor& operator=(const AddressMonitor&) = delete;
  // False (errno set) when the system cannot report changes.
  bool valid() const;
  // Waits for a change (true) or for the stop event to be signalled
  // (false). A failure also gives false with errno set.
  bool wait(NativeHandle stop);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velarn
