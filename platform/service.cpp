// The parts of the service facility every port shares: what a unit's command
// may hold, and the manager that tests drive in place of the system's.
#include "platform/service.h"

namespace velarn {

bool service_command_valid(const std::string& command) {
  for (unsigned char ch : command)
    if (ch < 0x20 || ch == 0x7f) return false;
  return true;
}

bool MemoryServiceManager::create(const ServiceConfig& c) {
  if (fail_create || services.count(c.name)) return false;
  services[c.name].config = c;
  return true;
}

bool MemoryServiceManager::set_description(const std::string& name, const std::string& d) {
  auto it = services.find(name);
  if (it == services.end()) return false;
  it->second.description = d;
  return true;
}

bool MemoryServiceManager::start(const std::string& name) {
  auto it = services.find(name);
  if (it == services.end() || it->second.running) return false;
  it->second.running = true;
  return true;
}

bool MemoryServiceManager::stop(const std::string& name) {
  auto it = services.find(name);
  if (it == services.end()) return false;
  ++it->second.stops;
  bool was = it->second.running;
  it->second.running = false;
  return was;
}

bool MemoryServiceManager::remove(const std::string& name) { return services.erase(name) > 0; }

}  // namespace velarn
