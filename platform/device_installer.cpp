// The installer's logic over the registry: device instances, their network
// keys, and when the driver host must be installed, told, or removed. How the
// host runs is the system's part (linux/device_host.cpp).
#include "platform/device_installer.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform/text.h"

namespace velarn {

const char* const kNetClassKey = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
const char* const kTcpipInterfaces = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces";
const char* const kNetworkConfig =
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}";

namespace {

const char* const kClassRoot = "SYSTEM\\CurrentControlSet\\Control\\Class";
const char* const kNetworkRoot = "SYSTEM\\CurrentControlSet\\Control\\Network";

bool has_id(const PresentDevice& d, const std::string& id) {
  for (auto* list : {&d.hardware_ids, &d.compatible_ids})
    for (auto& h : *list)
      if (iequals(h, id)) return true;
  return false;
}

}  // namespace

DeviceInstaller::DeviceInstaller(Registry& registry) : reg_(registry) {}

std::string DeviceInstaller::new_instance_id() {
  std::random_device rd;
  unsigned char b[16];
  for (int i = 0; i < 16; i += 4) {
    uint32_t r = rd();
    std::memcpy(b + i, &r, 4);
  }
  b[6] = uint8_t((b[6] & 0x0F) | 0x40);  // version 4: random
  b[8] = uint8_t((b[8] & 0x3F) | 0x80);
  char out[40];
  std::snprintf(out, sizeof out, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return out;
}

std::string DeviceInstaller::interface_name(const std::string& instance_id) {
  std::string hex;
  for (char c : instance_id) {
    if (hex.size() == 8) break;
    if (std::isxdigit(static_cast<unsigned char>(c)))
      hex += c;
    else if (c != '{')
      break;
  }
  return "vln" + ascii_lower(hex);
}

bool DeviceInstaller::inf_class(const std::string& inf_path, std::string& class_name) {
  error_.clear();
  InfInfo inf;
  if (!read_inf(inf_path, inf, error_)) return false;
  class_name = inf.class_name;
  return true;
}

bool DeviceInstaller::create_device(const std::string& inf_path, const std::vector<std::string>& hardware_ids,
                                    std::string* instance_id) {
  error_.clear();
  InfInfo inf;
  if (!read_inf(inf_path, inf, error_)) return false;
  if (hardware_ids.empty() || hardware_ids[0].empty()) {
    error_ = "no hardware id given";
    return false;
  }
  const std::string class_key = std::string(kClassRoot) + "\\" + inf.class_guid;
  const std::string desc = inf.device_desc.empty() ? hardware_ids[0] : inf.device_desc;

  // Claim the number after the highest in use. Reusing a lower free number
  // would put the new instance before an older one, and whoever looks for
  // "the last instance" would then find the wrong adapter.
  std::string key;
  for (int attempt = 0; attempt < 16 && key.empty(); ++attempt) {
    int highest = -1;
    std::vector<bool> used(10000, false);
    for (auto& sub : reg_.sub_keys(class_key)) {
      if (sub.size() != 4 || !std::all_of(sub.begin(), sub.end(), ::isdigit)) continue;
      int n = std::stoi(sub);
      used[size_t(n)] = true;
      highest = std::max(highest, n);
    }
    int n = highest + 1;
    if (n > 9999) {
      n = int(std::find(used.begin(), used.end(), false) - used.begin());
      if (n > 9999) {
        error_ = "no free device number in " + class_key;
        return false;
      }
    }
    char name[16];
    std::snprintf(name, sizeof name, "%04d", n);
    if (reg_.create_new_key(class_key + "\\" + name))
      key = class_key + "\\" + name;
    else if (reg_.last_error() != "key exists") {
      error_ = reg_.last_error();
      return false;
    }
  }
  if (key.empty()) {
    error_ = "could not claim a device number in " + class_key;
    return false;
  }

  const std::string id = new_instance_id();
  auto sz = [](const std::string& name, const std::string& v) {
    RegNamedValue nv;
    nv.name = name;
    nv.value.type = RegType::Sz;
    nv.value.sz = v;
    return nv;
  };
  std::vector<RegNamedValue> values{sz("ComponentId", hardware_ids[0]), sz("MatchingDeviceId", hardware_ids[0]),
                                    sz("DriverDesc", desc)};
  RegNamedValue hw;
  hw.name = "HardwareID";
  hw.value.type = RegType::MultiSz;
  hw.value.multi = hardware_ids;
  values.push_back(hw);
  for (auto& p : inf.parameters) values.push_back(p);
  // The instance id goes last: readers take an instance without one as not
  // yet installed.
  values.push_back(sz("NetCfgInstanceId", id));
  if (!reg_.set_many(key, values)) {
    error_ = reg_.last_error();
    reg_.delete_key(key);
    return false;
  }

  // Stand in for the network stack binding to the new adapter.
  const std::string net = std::string(kNetworkRoot) + "\\" + inf.class_guid;
  bool ok = reg_.create_key(std::string(kTcpipInterfaces) + "\\" + id) &&
            reg_.set_sz(net + "\\" + id + "\\Connection", "Name", interface_name(id)) &&
            reg_.set_dword(net + "\\Descriptions", desc, 1);
  if (!ok) {
    error_ = reg_.last_error();
    PresentDevice d;
    d.class_key = key;
    d.instance_id = id;
    remove_device(d);
    return false;
  }
  if (instance_id) *instance_id = id;
  return true;
}

std::vector<PresentDevice> DeviceInstaller::present_devices() {
  std::vector<PresentDevice> out;
  for (auto& cls : reg_.sub_keys(kClassRoot)) {
    std::string ck = std::string(kClassRoot) + "\\" + cls;
    for (auto& sub : reg_.sub_keys(ck)) {
      PresentDevice d;
      d.class_key = ck + "\\" + sub;
      auto hw = reg_.get_multi(d.class_key, "HardwareID");
      if (!hw) continue;
      d.hardware_ids = std::move(*hw);
      if (auto c = reg_.get_multi(d.class_key, "CompatibleIDs")) d.compatible_ids = std::move(*c);
      d.instance_id = reg_.get_sz(d.class_key, "NetCfgInstanceId").value_or("");
      out.push_back(std::move(d));
    }
  }
  return out;
}

bool DeviceInstaller::remove_device(const PresentDevice& device) {
  error_.clear();
  auto slash = device.class_key.rfind('\\');
  auto prev = slash == std::string::npos ? std::string::npos : device.class_key.rfind('\\', slash - 1);
  if (prev == std::string::npos) {
    error_ = "not a device key: " + device.class_key;
    return false;
  }
  const std::string class_key = device.class_key.substr(0, slash);
  const std::string guid = device.class_key.substr(prev + 1, slash - prev - 1);
  const std::string desc = reg_.get_sz(device.class_key, "DriverDesc").value_or("");
  if (!reg_.delete_key(device.class_key)) {
    error_ = reg_.last_error();
    return false;
  }
  if (!device.instance_id.empty()) {
    reg_.delete_key(std::string(kTcpipInterfaces) + "\\" + device.instance_id);
    reg_.delete_key(std::string(kNetworkRoot) + "\\" + guid + "\\" + device.instance_id);
  }
  if (!desc.empty()) {
    // The description stays while another instance still carries it.
    bool shared = false;
    for (auto& sub : reg_.sub_keys(class_key))
      shared = shared || reg_.get_sz(class_key + "\\" + sub, "DriverDesc") == desc;
    if (!shared) reg_.delete_value(std::string(kNetworkRoot) + "\\" + guid + "\\Descriptions", desc);
  }
  return true;
}

bool DeviceInstaller::update_driver(const std::string& hardware_id, const std::string& inf_path, uint32_t,
                                    bool* reboot_required) {
  error_.clear();
  if (reboot_required) *reboot_required = false;
  InfInfo inf;
  if (!read_inf(inf_path, inf, error_)) return false;
  bool offered = false;
  for (auto& h : inf.hardware_ids) offered = offered || iequals(h, hardware_id);
  if (!offered) {
    error_ = inf_path + " offers no driver for " + hardware_id;
    return false;
  }
  bool any = false;
  for (auto& d : present_devices()) any = any || has_id(d, hardware_id);
  if (!any) {
    error_ = "no device with hardware id " + hardware_id;
    return false;
  }
  return install_service(inf) && restart_host(inf.service_name);
}

bool DeviceInstaller::remove_driver_service(const std::string& inf_path) {
  error_.clear();
  InfInfo inf;
  if (!read_inf(inf_path, inf, error_)) return false;
  return remove_driver_service(inf.service_name, inf.hardware_ids);
}

bool DeviceInstaller::remove_driver_service(const std::string& service_name,
                                            const std::vector<std::string>& hardware_ids) {
  error_.clear();
  bool remaining = false;
  for (auto& d : present_devices())
    for (auto& h : hardware_ids) remaining = remaining || has_id(d, h);
  if (remaining) return restart_host(service_name);
  return remove_host(service_name);
}

}  // namespace velarn
