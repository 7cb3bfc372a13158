// Device installation: the stand-in for SetupAPI and the driver-update call.
// Device instances live in the registry as subkeys "0000", "0001", ... of
// their class key, with the values a network adapter's driver host reads; the
// driver "update" (re)starts that host so it picks up every instance.
//
// Registry contract with the driver host (all under HKEY_LOCAL_MACHINE):
//   SYSTEM\CurrentControlSet\Control\Class\{class GUID}\NNNN
//       ComponentId, MatchingDeviceId, NetCfgInstanceId, DriverDesc (REG_SZ),
//       HardwareID (REG_MULTI_SZ), the INF's parameter defaults
//   SYSTEM\CurrentControlSet\Services\Tcpip\Parameters\Interfaces\{instance}
//   SYSTEM\CurrentControlSet\Control\Network\{class GUID}\{instance}\Connection
//       Name = "vln" + first 8 hex digits of the instance id, lower case
//   SYSTEM\CurrentControlSet\Control\Network\{class GUID}\Descriptions
//       <DriverDesc> = REG_DWORD 1
//   SYSTEM\CurrentControlSet\Services\<service>   (the host's own values)
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/inf.h"
#include "platform/registry.h"
#include "platform/system_types.h"

namespace velarn {

// A device instance as the device enumeration reports it.
struct PresentDevice {
  std::string class_key;    // full registry path of the instance's class subkey
  std::string instance_id;  // NetCfgInstanceId ("" when the instance has none)
  std::vector<std::string> hardware_ids;
  std::vector<std::string> compatible_ids;
};

constexpr uint32_t INSTALLFLAG_FORCE = 1;

extern const char* const kNetClassKey;      // the network class key
extern const char* const kTcpipInterfaces;  // the TCP/IP per-interface key
extern const char* const kNetworkConfig;    // network configuration of the class

class DeviceInstaller {
 public:
  explicit DeviceInstaller(Registry& registry);
  virtual ~DeviceInstaller() = default;

  // The INF's device class name (SetupDiGetINFClass).
  bool inf_class(const std::string& inf_path, std::string& class_name);

  // Creates and registers a new instance of the INF's class with the given
  // hardware ids (create, set the hardware id, DIF_REGISTERDEVICE). The new
  // instance takes the number after the highest one in use, so that the
  // newest instance is always the last in the class key. instance_id gets
  // its NetCfgInstanceId.
  bool create_device(const std::string& inf_path, const std::vector<std::string>& hardware_ids,
                     std::string* instance_id = nullptr);

  // Every instance in every class key that has a hardware id list.
  std::vector<PresentDevice> present_devices();

  // Deletes the instance and the network keys made for it (DIF_REMOVE).
  bool remove_device(const PresentDevice& device);

  // Installs the INF's driver service for every present device whose
  // hardware ids hold hardware_id, and (re)starts the driver host.
  // False when no device matches or the host cannot be (re)started.
  bool update_driver(const std::string& hardware_id, const std::string& inf_path, uint32_t flags,
                     bool* reboot_required = nullptr);

  // Removes the INF's driver service once no device of it is left: stops
  // the host, removes its unit and its service key. A host that still has
  // devices is told to rescan instead.
  bool remove_driver_service(const std::string& inf_path);
  // The same without the INF, for a service known by name: an uninstall
  // must still stop the host when the INF has gone missing.
  bool remove_driver_service(const std::string& service_name, const std::vector<std::string>& hardware_ids);

  const std::string& last_error() const { return error_; }

  // A fresh instance id: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
  static std::string new_instance_id();
  // The Linux interface name of an instance: "vln" + 8 hex digits, lower case.
  static std::string interface_name(const std::string& instance_id);

 protected:
  // The system-specific part: how the driver host is found, told to rescan,
  // stopped, and how the service manager is driven. Overridable so that a
  // test can observe the decisions without touching the machine's systemd.
  // The running host, or 0 when none runs.
  virtual ProcessId running_host_pid();
  // Tells the host to rescan, or to stop (waiting until it has gone).
  virtual bool signal_host(ProcessId pid, bool stop);
  virtual bool service_manager_present();
  virtual bool run_systemctl(const std::vector<std::string>& args);

 private:
  // Each port implements these three with the calls above.
  bool install_service(const InfInfo& inf);
  bool restart_host(const std::string& service);
  // No device of the host is left: stop it and remove its service.
  bool remove_host(const std::string& service);

  Registry& reg_;
  std::string error_;
};

}  // namespace velarn
