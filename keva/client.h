// The session controller: one VPN session at a time, from a profile to a
// running tunnel and back, with keepalives, reconnects and adapter restarts,
// its session log and the events its clients see.
#pragma once
#include <apr_pools.h>
#include <cstddef>

struct DeviceOps;
namespace velarn {
class RouteTable;
}

// What a session drives outside the service: the adapter's operations and
// the routing table its server's host route goes into. The program hands
// in the system's, a test in-memory ones; both outlive every session.
struct ClientSeams {
  const DeviceOps* device;
  velarn::RouteTable* routes;
};

// Creates a session from profile text and queues its start: 201, 400
// (invalid profile) or 500 (anything else, a session already current among
// them).
int client_start(const char* text, size_t len, bool from_startup, unsigned owner_uid = 0);
// The start-up session named by client.StartupProfile, if any. Always 0.
int client_startup(apr_pool_t* root);
// Asks the current session to stop: 0, or -1 when there is none.
int client_stop_current(void);
// Stops the current session in the calling thread and frees it (service
// shutdown, once the main queue no longer runs items).
void client_shutdown(void);
void client_suspend(void);
void client_resume(void);
// The current session's state name / profile text copied into pool; NULL
// without a current session.
const char* client_state_name(apr_pool_t* pool);
const char* client_profile_text(apr_pool_t* pool);

// The log writer's hook: session log and events.
void client_log_sink(int level, const char* line, size_t len, const char* message);

// State names and event kinds as sent.
const char* client_state_text(int state);

// Plugs the controller into the lifecycle, the log writer and the channel,
// with the seams every session after it uses.
void client_register(const ClientSeams& seams);
