// Reaching a server: the order in which the profile's servers are tried, the
// host route pinned to each, the TCP connection (direct or through an HTTP
// proxy's CONNECT), the protocol start on it, the orderly close, and the
// schedule of waits between automatic reconnects.
#pragma once
#include <apr_network_io.h>
#include <apr_pools.h>
#include <cstdint>

#include <apr_portable.h>  // apr_os_sock_t in the connection record

#include "connection.h"
#include "platform/route_table.h"

struct SessionProfile;
struct ServerEntry;

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

// A link in state "Closed" with its own pool (a child of parent), reconnect
// allowed as the profile says, and the schedule of the setting
// client.reconnect. ops may be NULL. Host routes go into routes, which
// outlives the link. NULL only when the pool cannot be made.
RemoteLink* remote_link_create(apr_pool_t* parent, const SessionProfile* profile, const RemoteSessionOps* ops,
                               velarn::RouteTable& routes = velarn::route_table_system());

// Stores the state and tells the session.
void remote_set_state(RemoteLink* link, int state);

// Fills the schedule from text such as "3,6,9"; more than 255 numbers logs
// "reconnect buffer overflow" and keeps the first 255. Returns 0.
int reconnect_schedule_parse(const char* text, RemoteLink* link);
// The wait before the next reconnect (the value at the schedule index).
int reconnect_schedule_delay(const RemoteLink* link);
// Moves to the next wait, except past the last one, which then repeats.
void reconnect_schedule_advance(RemoteLink* link);

// Tries the servers until one reaches the tunnel phase. 0 with the state
// "Connected", or -1 (a fatal failure also clears reconnect_allowed).
int remote_open(RemoteLink* link);
// Resolves, pins the host route, connects (10 seconds at most) and creates
// link->connection; a name's addresses are tried in the resolver's order,
// and "[v6 literal]" is taken without its brackets. 0 or -1 (logged).
int remote_connect(const char* host, RemoteLink* link, int port);
// Connects to the profile's proxy and asks it for a tunnel to entry; a 407
// offering Digest, NTLM or Negotiate is answered once (proxy.h).
int remote_connect_proxy(RemoteLink* link, const ServerEntry* entry);
// A host route in table to addr through the route table uses for it now;
// its deletion is registered on pool. 0 (added, existing, or none needed)
// or -1.
int route_pin(apr_sockaddr_t* addr, apr_pool_t* pool, velarn::RouteTable& table = velarn::route_table_system());
// "Connected" → "Closing": TLS close notification and the socket shut for
// sending. Does nothing in any other state.
void remote_close(RemoteLink* link);

// --- Pieces checked on their own -----------------------------------------

// Position to swap with in the random order: |r| mod count, for every r.
int remote_shuffle_index(int32_t r, int count);
// Shuffles items in place with 4 bytes of random for each position; rand4
// fills a value and returns 0, or the TLS library's generator when NULL.
// 0, or -1 when no random bytes could be had (the order is then kept).
int remote_shuffle(const ServerEntry** items, int count, int (*rand4)(int32_t* out));

// Builds the CONNECT request into buf (PROXY_BUFFER_SIZE bytes); user may be
// NULL; an IPv6 literal host is written in brackets. The length, or -1 when
// it does not fit or the host holds a blank or control character.
int proxy_request_build(char* buf, const char* host, int port, const char* user, const char* password);
// Judges a proxy reply (the bytes read up to the end of its header block).
// 0 success; -1 failure with the whole log line's text in out (size bytes)
// and *fatal 1 for a refused authentication.
int proxy_reply_judge(const char* reply, size_t len, char* out, size_t size, int* fatal);
