// vlncardsetup: installs, adds, updates and removes instances of the virtual
// adapter and sets the routing metric of a newly added one. It is run by the
// product's setup, so it shows nothing but its usage text and always exits
// with 0; a failed step only leaves a one-line reason on standard error.
#include "platform/device_installer.h"
#include "platform/registry.h"
#include "platform/roots.h"
#include "platform/text.h"

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using velarn::DeviceInstaller;
using velarn::Registry;

namespace {

constexpr const char* kHardwareId = "vlncard";
constexpr const char* kServiceName = "vlncard";  // the INF's AddService
constexpr const char* kDescription = "Velarn Virtual Ethernet Adapter";
constexpr size_t kCommandLineSize = 512;
constexpr size_t kMaxPath = 4096;
constexpr int kMetricAttempts = 10;

// Results of a command step.
constexpr int kDone = 0;
constexpr int kRestart = 1;
constexpr int kFailed = 2;

void reason(const std::string& what) { std::fprintf(stderr, "vlncardsetup: %s\n", what.c_str()); }

// How long each metric attempt waits first; tests shorten it.
std::chrono::milliseconds metric_wait() {
  if (const char* ms = std::getenv("VLNCARDSETUP_METRIC_WAIT_MS")) {
    char* end = nullptr;
    long v = std::strtol(ms, &end, 10);
    if (end != ms && *end == 0 && v >= 0 && v <= 60000) return std::chrono::milliseconds(v);
  }
  return std::chrono::milliseconds(1000);
}

// The decimal number after the command word; 0 when there is none. Only
// digits count: a sign or a number beyond 32 bits is not a metric.
uint32_t parse_metric(const std::string& rest) {
  size_t i = rest.find_first_not_of(" \t");
  if (i == std::string::npos) return 0;
  uint64_t v = 0;
  size_t start = i;
  while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') {
    v = v * 10 + uint64_t(rest[i] - '0');
    if (v > 0xFFFFFFFFull) return 0;
    ++i;
  }
  return i == start ? 0 : uint32_t(v);
}

// Empty when the program's own path cannot be had or is too long.
std::string inf_path() {
  std::string self = velarn::roots::program_path();
  if (self.empty() || self.size() >= kMaxPath) return {};
  return velarn::roots::data_file("vlncard.inf");
}

bool file_exists(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::fclose(f);
  return true;
}

int driver_update(DeviceInstaller& installer, const std::string& inf, uint32_t flags) {
  if (inf.empty() || !file_exists(inf)) {
    reason("installation file not found: " + (inf.empty() ? std::string("vlncard.inf") : inf));
    return kFailed;
  }
  bool reboot = false;
  if (!installer.update_driver(kHardwareId, inf, flags, &reboot)) {
    reason("driver update failed: " + installer.last_error());
    return kFailed;
  }
  return reboot ? kRestart : kDone;
}

bool adapter_exists(Registry& reg) {
  for (auto& sub : reg.sub_keys(velarn::kNetClassKey)) {
    std::string key = std::string(velarn::kNetClassKey) + "\\" + sub;
    auto match = reg.get_sz(key, "MatchingDeviceId");
    if (!match || !velarn::iequals(*match, kHardwareId)) continue;
    auto id = reg.get_sz(key, "NetCfgInstanceId");
    if (id && !id->empty()) return true;
  }
  return false;
}

// The instance id of the newest adapter: the last one in the class key.
std::string newest_adapter(Registry& reg) {
  std::string found;
  for (auto& sub : reg.sub_keys(velarn::kNetClassKey)) {
    std::string key = std::string(velarn::kNetClassKey) + "\\" + sub;
    if (reg.get_sz(key, "MatchingDeviceId") != std::string(kHardwareId)) continue;
    if (auto id = reg.get_sz(key, "NetCfgInstanceId")) found = *id;
  }
  return found;
}

int add_adapter(DeviceInstaller& installer, Registry& reg, uint32_t metric) {
  const std::string inf = inf_path();
  std::string class_name;
  if (inf.empty() || !installer.inf_class(inf, class_name)) {
    reason("cannot read the device class: " + (inf.empty() ? std::string("no program path") : installer.last_error()));
    return kFailed;
  }
  if (!installer.create_device(inf, {kHardwareId})) {
    reason("cannot create the device: " + installer.last_error());
    return kFailed;
  }
  int result = driver_update(installer, inf, velarn::INSTALLFLAG_FORCE);
  if (result != kDone) return result;

  const auto wait = metric_wait();
  for (int attempt = 0; attempt < kMetricAttempts; ++attempt) {
    std::this_thread::sleep_for(wait);
    std::string id = newest_adapter(reg);
    if (id.empty()) continue;
    if (!reg.key_exists(velarn::kTcpipInterfaces)) return kDone;
    for (auto& sub : reg.sub_keys(velarn::kTcpipInterfaces)) {
      if (!velarn::iequals(sub, id)) continue;
      if (!reg.set_dword(std::string(velarn::kTcpipInterfaces) + "\\" + sub, "InterfaceMetric", metric)) {
        reason("cannot write the metric: " + reg.last_error());
        return kDone;
      }
      return driver_update(installer, inf, 0);
    }
  }
  return kDone;
}

int uninstall(DeviceInstaller& installer, Registry& reg) {
  const std::string net_config = velarn::kNetworkConfig;
  for (auto& sub : reg.sub_keys(velarn::kNetClassKey)) {
    std::string key = std::string(velarn::kNetClassKey) + "\\" + sub;
    auto match = reg.get_sz(key, "MatchingDeviceId");
    if (!match || !velarn::iequals(*match, kHardwareId)) continue;
    std::string id = reg.get_sz(key, "NetCfgInstanceId").value_or("");
    if (id.size() >= 260) id.resize(259);
    if (id.empty()) continue;
    // A key that is not there ends the steps for this adapter; deletions
    // that fail are of no consequence.
    if (!reg.key_exists(net_config + "\\" + id)) continue;
    reg.delete_key(net_config + "\\" + id + "\\Connection");
    reg.delete_key(net_config + "\\" + id);
    if (!reg.key_exists(net_config + "\\Descriptions")) continue;
    reg.delete_value(net_config + "\\Descriptions", kDescription);
  }

  int removed = 0;
  for (auto& dev : installer.present_devices()) {
    bool ours = false;
    for (auto* ids : {&dev.hardware_ids, &dev.compatible_ids})
      for (auto& h : *ids) ours = ours || velarn::iequals(h, kHardwareId);
    if (!ours) continue;
    if (installer.remove_device(dev))
      ++removed;
    else
      reason("cannot remove the adapter " + dev.instance_id + ": " + installer.last_error());
  }
  (void)removed;

  // Without the INF the host is still ours to stop: the adapters it serves
  // are gone from the registry, and left running they would outlive us.
  const std::string inf = inf_path();
  bool ok;
  if (!inf.empty() && file_exists(inf)) {
    ok = installer.remove_driver_service(inf);
  } else {
    reason("installation file not found: " + (inf.empty() ? std::string("vlncard.inf") : inf) +
           "; removing the driver service by its name");
    ok = installer.remove_driver_service(kServiceName, {kHardwareId});
  }
  if (!ok) reason("cannot remove the driver service: " + installer.last_error());
  return ok ? kDone : kFailed;
}

void show_usage() {
  char text[1024];
  std::snprintf(text, sizeof text, "%s",
                "vlncardsetup.exe   \n\nusage: vlncardsetup [uninstall | install [metric]]  \n\n"
                "metric     none     \t: AUTO METRIC \n             1-9999 \t: FIXED METRIC\n\n");
  std::printf("About vlncardsetup\n%s", text);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) line += ' ';
    line += argv[i];
  }
  if (line.size() > kCommandLineSize - 1) line.resize(kCommandLineSize - 1);

  Registry reg;
  DeviceInstaller installer(reg);
  auto starts = [&](const char* word) { return line.compare(0, std::strlen(word), word) == 0; };
  int result;
  if (starts("install")) {
    if (adapter_exists(reg))
      result = driver_update(installer, inf_path(), velarn::INSTALLFLAG_FORCE);
    else
      result = add_adapter(installer, reg, parse_metric(line.substr(std::strlen("install"))));
  } else if (starts("add_card")) {
    result = add_adapter(installer, reg, parse_metric(line.substr(std::strlen("add_card"))));
  } else if (starts("uninstall")) {
    result = uninstall(installer, reg);
  } else {
    show_usage();
    result = kFailed;
  }
  (void)result;  // the setup that runs us never reads a result
  return 0;
}
