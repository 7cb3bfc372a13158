// Control codes and device names of an adapter's control device.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velarn {

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
constexpr uint32_t vln_ctl_code(uint32_t function) { return (0x22u << 16) | (function << 2); }

inline constexpr uint32_t VLN_IOCTL_SET_MEDIA_STATUS = vln_ctl_code(1);    // 0x00220004
inline constexpr uint32_t VLN_IOCTL_SET_FORWARD_FILTER = vln_ctl_code(2);  // 0x00220008
inline constexpr uint32_t VLN_IOCTL_SET_MAC_ALLOW = vln_ctl_code(3);       // 0x0022000C
inline constexpr uint32_t VLN_IOCTL_SET_MAC_DENY = vln_ctl_code(4);        // 0x00220010
static_assert(VLN_IOCTL_SET_MEDIA_STATUS == 0x00220004 && VLN_IOCTL_SET_MAC_DENY == 0x00220010);

// Bit 0 of the forward filter: only frames from the adapter's own address.
inline constexpr uint32_t VLN_FORWARD_OWN_ADDRESS = 0x1;

inline constexpr size_t VLN_MAC_LENGTH = 6;
// Entries of the allow, deny and multicast lists.
inline constexpr size_t VLN_MAC_LIST_MAX = 32;
inline constexpr size_t VLN_MAC_LIST_BYTES = VLN_MAC_LIST_MAX * VLN_MAC_LENGTH;  // 192

// The component id of adapter instances and the adapter's description.
inline constexpr std::string_view VLN_COMPONENT_ID = "vlncard";
inline constexpr std::string_view VLN_ADAPTER_DESCRIPTION = "Velarn Virtual Ethernet Adapter";

// Kernel names are composed ("%s%s%s": prefix, GUID text, suffix) into a
// buffer of this size, terminating NUL included.
inline constexpr size_t VLN_DEVICE_NAME_BUFFER = 80;
inline constexpr std::string_view VLN_DEVICE_PREFIX = "\\Device\\";
inline constexpr std::string_view VLN_LINK_PREFIX = "\\DosDevices\\Global\\";
inline constexpr std::string_view VLN_DEVICE_SUFFIX = ".vln";
// The path the service opens: "\\.\Global\%s.vln".
inline constexpr std::string_view VLN_OPEN_PREFIX = "\\\\.\\Global\\";

// The GUID text of an instance id: from its first '{' to the end; none
// when there is no '{'.
inline std::optional<std::string> vln_guid_text(std::string_view instance_id) {
  auto brace = instance_id.find('{');
  if (brace == std::string_view::npos) return std::nullopt;
  return std::string(instance_id.substr(brace));
}

namespace detail {
inline std::optional<std::string> vln_compose(std::string_view prefix, std::string_view instance_id) {
  auto guid = vln_guid_text(instance_id);
  if (!guid) return std::nullopt;
  std::string name;
  name.reserve(prefix.size() + guid->size() + VLN_DEVICE_SUFFIX.size());
  name.append(prefix).append(*guid).append(VLN_DEVICE_SUFFIX);
  if (name.size() >= VLN_DEVICE_NAME_BUFFER) return std::nullopt;  // no room for the NUL
  return name;
}
}  // namespace detail

// "\Device\{GUID}.vln"; none when the id has no '{' or the name does not fit.
inline std::optional<std::string> vln_device_name(std::string_view instance_id) {
  return detail::vln_compose(VLN_DEVICE_PREFIX, instance_id);
}
// "\DosDevices\Global\{GUID}.vln"; none under the same rules.
inline std::optional<std::string> vln_link_name(std::string_view instance_id) {
  return detail::vln_compose(VLN_LINK_PREFIX, instance_id);
}
// True when both kernel names can be formed: the condition for an adapter
// to initialise.
inline bool vln_device_names_valid(std::string_view instance_id) {
  return vln_device_name(instance_id) && vln_link_name(instance_id);
}
// "\\.\Global\<NetCfgInstanceId>.vln": what the service opens.
inline std::string vln_open_path(std::string_view net_cfg_instance_id) {
  std::string p;
  p.append(VLN_OPEN_PREFIX).append(net_cfg_instance_id).append(VLN_DEVICE_SUFFIX);
  return p;
}

}  // namespace velarn
