// The virtual adapter's IPv4 address once its media is connected: from the
// remote segment's DHCP server, or fixed by the session's profile; and its
// DNS servers handed to the system's resolver for that adapter only. Stands
// in for the system DHCP client and DNS registration that run on every
// network card of the system the service was designed for.
#pragma once
#include <functional>
#include <memory>
#include <string>

namespace velarn {

// A fixed address as the profile gives it (dotted texts; gateway may be "").
struct FixedAddress {
  std::string address;
  std::string mask;
  std::string gateway;
};

// Checks a fixed address: a usable unicast address and a contiguous mask;
// a gateway, when given, an address too. "" when good, else the reason.
std::string check_fixed_address(const FixedAddress& fixed);

struct AddressingOptions {
  // How DNS servers are handed over: "auto" (systemd-resolved for the link
  // when it runs, else resolvconf when installed, else only logged),
  // "resolved", "resolvconf", "file" (the resolver file is replaced while
  // the address lasts, and put back), "none" (only logged).
  std::string dns = "auto";
  // The gateway becomes a default route through the adapter (never
  // replacing one that is there) only when the administrator asks.
  bool default_route = false;
  unsigned route_metric = 0;
  // Levels as the service's log: 1 error, 2 warning, 4 info, 5 debug.
  std::function<void(int level, const std::string& text)> log;
};

class AdapterAddressing {
 public:
  virtual ~AdapterAddressing() = default;
  // The adapter's media became connected: puts the fixed address on it when
  // given, else starts DHCP on it. Leaves the adapter alone (and says why)
  // when the system's network manager looks after it or when it already
  // carries an address someone else put there. False on failure.
  virtual bool start(const FixedAddress* fixed) = 0;
  // Media disconnected or the session ends: releases the lease and removes
  // every address, route and DNS entry start() brought. Safe to call again.
  virtual void stop() = 0;
  // The adapter's interface, for the log.
  virtual const std::string& interface_name() const = 0;
};

// The addressing of the adapter instance with this NetCfgInstanceId.
std::unique_ptr<AdapterAddressing> make_adapter_addressing(const std::string& instance_id, AddressingOptions options);

// The interface name the adapter host gives the instance.
std::string adapter_interface_name(const std::string& instance_id);

// The adapter's IPv4 addresses as "a.b.c.d/len", space-separated; "" when none.
std::string interface_ipv4(const std::string& ifname);

}  // namespace velarn
