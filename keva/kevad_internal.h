// The lifecycle's pieces that tests drive one by one.
#pragma once
#include <cstdint>
#include <string>

namespace velarn {
class ServiceManager;
}

enum class KevadCommand { Install, Uninstall, Start, Stop, Service, Debug };

// Decides what the command text (everything after the program name) asks
// for; for install, *rest receives what followed the word.
KevadCommand kevad_parse_command(const std::string& text, std::string* rest);
// Runs install, uninstall, start or stop against the manager; the exit code.
int kevad_manage(velarn::ServiceManager& scm, KevadCommand cmd, const std::string& rest, const std::string& program);
// The service control handler.
uint32_t kevad_control(uint32_t control, uint32_t event_type);
// Stop and shutdown: report stop-pending, run the stop request, wait at most
// 2 s for the service body to return.
void kevad_stop_sequence(void);
// The crash handler's report: the faulting address and signal, then the trace.
void kevad_crash_report(void* address, int code);
// What the report needs, fixed ahead (after the log and the trace are set up).
void kevad_crash_prepare(void);
