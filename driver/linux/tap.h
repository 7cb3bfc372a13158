// The Linux side of an adapter: its TAP interface. Only this folder (and the
// platform layer's rtnetlink helper it uses) touches TUN/TAP and rtnetlink.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "driver/core/miniport.h"

namespace velarn::vlncard {

class TapDevice {
 public:
  TapDevice() = default;
  ~TapDevice() { close(); }
  TapDevice(const TapDevice&) = delete;
  TapDevice& operator=(const TapDevice&) = delete;

  // Creates (or attaches to) the interface, non-blocking; false with
  // error() set on failure.
  bool open(const std::string& name);
  void close();
  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string& name() const { return name_; }
  int ifindex() const { return ifindex_; }
  const std::string& error() const { return error_; }
  // Every read and write carries a virtio-net header (offload::VNET_HEADER
  // bytes) first, and reads may hand over TCP super frames to be cut up.
  bool vnet() const { return vnet_; }

  bool set_mac(const MacAddress& mac);
  bool set_mtu(uint32_t mtu);
  bool set_alias(const std::string& alias);
  bool set_carrier(bool on);
  bool set_up();
  // Interface flags (IFF_*), or -1 when the interface is gone.
  int flags() const;

 private:
  bool fail(const std::string& what);
  int fd_ = -1;
  int ifindex_ = 0;
  bool vnet_ = false;
  std::string name_;
  mutable std::string error_;
};

// The NDIS packet-type bits that follow from interface flags.
uint32_t packet_filter_from_flags(int flags);
// The link-layer multicast addresses the kernel keeps for an interface.
std::vector<MacAddress> kernel_multicast_list(int ifindex);
// "vln" and the first eight hex digits of the GUID, lower case.
std::string tap_name_for(const std::string& instance_id);

}  // namespace velarn::vlncard
