// Reaching a server: the order in which the profile's servers are tried, the
// connection to each (dial.h: host route and TCP; proxy.h: through an HTTP
// proxy), the protocol start on it, the orderly close, and the schedule of
// waits between automatic reconnects.
#pragma once
#include <apr_pools.h>
#include <cstdint>

#include "dial.h"
#include "platform/route_table.h"
#include "proxy.h"

struct SessionProfile;
struct ServerEntry;

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
