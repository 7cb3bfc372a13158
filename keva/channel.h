// The control channel: local programs drive the service through one
// message-mode channel, "\\.\pipe\kevad", in a small HTTP/1.1-like format;
// clients that listen receive the session's events.
#pragma once
#include <apr_pools.h>
#include <apr_tables.h>
#include <cstddef>

// What the channel asks of the session controller.
struct ChannelSessionOps {
  // Starts a session from profile text for the peer owner_uid: 201, 400 or 500.
  int (*start)(const char* profile_text, size_t len, unsigned owner_uid);
  // Stops the current session: 0, or -1 when there is none.
  int (*stop_current)(void);
  // The current session's state name or profile text, copied into pool;
  // NULL when there is no current session.
  const char* (*state_name)(apr_pool_t* pool);
  const char* (*profile_text)(apr_pool_t* pool);
  // The current session's counters as "seconds=..&sent=..&received=..";
  // NULL when there is none. Carries nothing secret: any local user may ask.
  const char* (*statistics)(apr_pool_t* pool);
};
void channel_set_session_ops(const ChannelSessionOps* ops);

// Starts the channel thread "channel_main". 0 or -1.
int channel_start(apr_pool_t* root);
// Signals the stop event and waits for the thread; from the channel thread
// itself only signals.
void channel_stop(void);
// Writes the event text to every listener; never blocks on a slow one.
void channel_broadcast(const char* text, size_t len);

// One request's head as the channel reads it: the request line, the query
// string and the header lines, parsed in place.
struct ChannelHead {
  int method;                // the method's number; -1 for a word not known
  const char* word;          // the method word as sent
  const char* path;          // without the query string
  apr_table_t* query;        // made by the caller
  apr_table_t* headers;      // made by the caller
  long long content_length;  // -1 without a Content-Length header
  const char* body;          // the body bytes that came with the head
  size_t body_have;
};
// Parses the n bytes of text (text[n] must be writable: it becomes the end
// mark). 0, or -1 with "invalid API request" logged.
int channel_parse_head(char* text, size_t n, ChannelHead* h);
