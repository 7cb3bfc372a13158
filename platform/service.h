// The service control manager and the service host: registration of the
// service with the system's service manager, status reports, and control
// codes delivered to the service's handler on a thread of its own.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace velarn {

// Control codes, power events, states and results as the service handler
// knows them.
enum : uint32_t {
  SERVICE_CONTROL_STOP = 0x00000001,
  SERVICE_CONTROL_INTERROGATE = 0x00000004,
  SERVICE_CONTROL_SHUTDOWN = 0x00000005,
  SERVICE_CONTROL_POWEREVENT = 0x0000000D,

  PBT_APMQUERYSUSPEND = 0x0000,
  PBT_APMSUSPEND = 0x0004,
  PBT_APMRESUMECRITICAL = 0x0006,
  PBT_APMRESUMESUSPEND = 0x0007,

  SERVICE_STOPPED = 1,
  SERVICE_START_PENDING = 2,
  SERVICE_STOP_PENDING = 3,
  SERVICE_RUNNING = 4,

  SERVICE_WIN32_OWN_PROCESS = 0x10,
  SERVICE_ACCEPT_STOP = 0x1,
  SERVICE_ACCEPT_SHUTDOWN = 0x4,
  SERVICE_ACCEPT_POWEREVENT = 0x40,

  NO_ERROR_CODE = 0,
  ERROR_CALL_NOT_IMPLEMENTED = 120,
};

struct ServiceConfig {
  std::string name;          // "kevad Service"
  std::string display_name;  // "kevad Service"
  std::string command;       // "\"/path/kevad\" service..."
  bool auto_start = true;
};

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  // Opening the manager with all access; false when it cannot be reached.
  virtual bool open() = 0;
  virtual bool create(const ServiceConfig& config) = 0;
  virtual bool set_description(const std::string& name, const std::string& description) = 0;
  virtual bool exists(const std::string& name) = 0;
  virtual bool start(const std::string& name) = 0;
  // Sends SERVICE_CONTROL_STOP.
  virtual bool stop(const std::string& name) = 0;
  virtual bool remove(const std::string& name) = 0;
};

// systemd: a unit "<first word of the name>.service" in roots::service_units_dir();
// systemctl is used only when the root is "/" and systemd runs the machine.
std::unique_ptr<ServiceManager> make_systemd_service_manager();

// In memory, for tests.
class MemoryServiceManager : public ServiceManager {
 public:
  struct Entry {
    ServiceConfig config;
    std::string description;
    bool running = false;
    int stops = 0;
  };
  bool reachable = true;
  bool fail_create = false;
  std::map<std::string, Entry> services;

  bool open() override { return reachable; }
  bool create(const ServiceConfig& c) override;
  bool set_description(const std::string& name, const std::string& d) override;
  bool exists(const std::string& name) override { return services.count(name) > 0; }
  bool start(const std::string& name) override;
  bool stop(const std::string& name) override;
  bool remove(const std::string& name) override;
};

// Text of the systemd unit written for a service.
std::string systemd_unit_text(const ServiceConfig& config, const std::string& description);
// A command for ExecStart= as systemd reads it: "%", "$" and "\" doubled, a
// lone ";" escaped; quotes kept as the word grouping they are.
std::string systemd_exec_escape(const std::string& command);
// False for a command with control characters, which no unit line can carry
// (a line feed would start a directive of its own).
bool service_command_valid(const std::string& command);

// Delivers control codes to the handler on a thread of its own: SIGTERM gives
// SERVICE_CONTROL_STOP (SIGINT too in debug mode); logind's PrepareForShutdown
// gives SERVICE_CONTROL_SHUTDOWN and PrepareForSleep the power events, when a
// system bus is present. Status reports go to systemd through sd_notify in
// service mode and nowhere in debug mode.
class ServiceHost {
 public:
  using Handler = std::function<uint32_t(uint32_t control, uint32_t event_type)>;

  // Must be created before any other thread so that the stop signals are
  // blocked in every thread and taken by the host's own.
  ServiceHost(bool service_mode, bool debug_mode);
  ~ServiceHost();
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  // Starts the control thread. false when it cannot be started.
  bool register_handler(Handler handler);
  // Status report (SERVICE_* state); a no-op outside service mode.
  void report(uint32_t state, uint32_t wait_hint_ms, const char* status_text = nullptr);
  // Queues a control code as if the system had sent it; returns at once.
  void inject(uint32_t control, uint32_t event_type = 0);
  // Ends the control thread (after the handler has returned).
  void close();

  bool service_mode() const { return service_mode_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  bool service_mode_;
};

// Raises the process's scheduling priority; failures are ignored.
void raise_priority();

// Crash handler: called with the faulting address and the signal number on
// SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT; the signal is then re-raised
// with its default action. fn runs on an alternate stack and may use only
// what is safe in a signal handler.
void install_crash_handler(void (*fn)(void* address, int code));
// Gives the calling thread an alternate signal stack of its own (released
// when the thread ends), so that a stack overflow there is still reported.
// Every thread the service starts calls it first.
void crash_thread_enter();

}  // namespace velarn
