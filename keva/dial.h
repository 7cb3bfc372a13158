// The link to the servers and its first step, below both the direct and the
// proxied way in: the host route pinned to a server's address and the TCP
// connect, bounded and stoppable.
#pragma once
#include <apr_network_io.h>
#include <apr_pools.h>
#include <cstdint>

#include <apr_portable.h>  // apr_os_sock_t in the connection record

#include "connection.h"
#include "platform/route_table.h"

struct SessionProfile;

// Session states, as the session controller names them in its events.
enum {
  SESSION_TERMINATE = 0,
  SESSION_CONNECTING = 1,
  SESSION_CONNECTED = 2,
  SESSION_CLOSING = 3,
  SESSION_CLOSED = 4,
};

// What the server connection needs from the session that owns it. Every hook
// may be NULL.
struct RemoteSessionOps {
  void* ctx;
  // Called after the link's state was stored; logs the change and tells the
  // session's listeners.
  void (*set_state)(void* ctx, int state);
  // 1 while servers remain to be tried after the current one: failures are
  // then not final.
  void (*set_more_servers)(void* ctx, int more);
  // Non-zero once the session is being stopped; no further server is tried.
  int (*stopping)(void* ctx);
};

#define RECONNECT_SCHEDULE_SIZE 256
#define RECONNECT_SCHEDULE_MAX (RECONNECT_SCHEDULE_SIZE - 1)
#define RECONNECT_SCHEDULE_DEFAULT "3,6,9,12,15,18,21,24,27,30,33,36,39,42,45,48,51,54,57,60"
// Limit of a TCP connect, and of every receive before the tunnel phase.
#define REMOTE_CONNECT_TIMEOUT_SECONDS 10
#define PROXY_BUFFER_SIZE 4096
// The whole login of one server (greeting to TUNNEL) ends by then at the latest.
#define REMOTE_LOGIN_DEADLINE_SECONDS 60
// A tunnel write the server takes nothing of for two idle periods: the link is dead.
#define REMOTE_WRITE_STALL_SECONDS 30

struct RemoteLink {
  apr_pool_t* pool;  // one attempt's socket, route and connection
  const SessionProfile* profile;
  int state;                     // SESSION_*
  RemoteConnection* connection;  // NULL between attempts
  int reconnect_allowed;         // read by log lines from any thread: atomic access
  int schedule_index;
  int32_t schedule[RECONNECT_SCHEDULE_SIZE];  // waits in seconds, ended by -1
  RemoteSessionOps ops;
  velarn::RouteTable* routes;  // where each attempt pins its host route
};

// Resolves, pins the host route, connects (10 seconds at most) and creates
// link->connection; a name's addresses are tried in the resolver's order,
// and "[v6 literal]" is taken without its brackets. 0 or -1 (logged).
int remote_connect(const char* host, RemoteLink* link, int port);
// A host route in table to addr through the route table uses for it now;
// its deletion is registered on pool. 0 (added, existing, or none needed)
// or -1.
int route_pin(apr_sockaddr_t* addr, apr_pool_t* pool, velarn::RouteTable& table = velarn::route_table_system());
// The session that owns link is being stopped: nothing more is tried.
bool remote_stopping(RemoteLink* link);
