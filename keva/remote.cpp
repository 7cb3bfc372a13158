#include "remote.h"

#include <apr_strings.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config.h"
#include "keva12.h"
#include "log.h"
#include "misc.h"
#include "profile.h"
#include "ssl.h"
#include "trace.h"

namespace {

void tell_more_servers(RemoteLink* link, int more) {
  if (link->ops.set_more_servers) link->ops.set_more_servers(link->ops.ctx, more);
}

int openssl_rand4(int32_t* out) { return RAND_bytes(reinterpret_cast<unsigned char*>(out), 4) == 1 ? 0 : -1; }

}  // namespace

// --- Link and schedule ------------------------------------------------------------

RemoteLink* remote_link_create(apr_pool_t* parent, const SessionProfile* profile, const RemoteSessionOps* ops,
                               velarn::RouteTable& routes) {
  apr_pool_t* pool = nullptr;
  if (apr_pool_create(&pool, parent) != APR_SUCCESS) return nullptr;
  auto* link = static_cast<RemoteLink*>(apr_pcalloc(parent, sizeof(RemoteLink)));
  link->pool = pool;
  link->profile = profile;
  link->state = SESSION_CLOSED;
  link->reconnect_allowed = profile ? profile->reconnect : 0;
  if (ops) link->ops = *ops;
  link->routes = &routes;
  reconnect_schedule_parse(config_get_string("client.reconnect", RECONNECT_SCHEDULE_DEFAULT), link);
  return link;
}

void remote_set_state(RemoteLink* link, int state) {
  // Read by the stop path and the state queries from other threads.
  __atomic_store_n(&link->state, state, __ATOMIC_RELEASE);
  if (link->ops.set_state) link->ops.set_state(link->ops.ctx, state);
}

int reconnect_schedule_parse(const char* text, RemoteLink* link) {
  const char* p = text ? text : "";
  int n = 0;
  for (;;) {
    if (n == RECONNECT_SCHEDULE_MAX) {
      log_warning("reconnect buffer overflow");
      break;
    }
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(p, &end, 10);
    // A wait beyond what the slot holds is taken as the longest one.
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    link->schedule[n++] = static_cast<int32_t>(v);
    if (*end == 0) break;
    p = end + 1;
  }
  link->schedule[n] = -1;
  link->schedule_index = 0;
  return 0;
}

int reconnect_schedule_delay(const RemoteLink* link) {
  int i = link->schedule_index;
  if (i < 0 || i >= RECONNECT_SCHEDULE_MAX) return 0;
  int v = link->schedule[i];
  return v < 0 ? 0 : v;
}

void reconnect_schedule_advance(RemoteLink* link) {
  int next = link->schedule_index + 1;
  if (next < RECONNECT_SCHEDULE_SIZE && link->schedule[next] != -1) link->schedule_index = next;
}

// --- Server order -------------------------------------------------------------------

int remote_shuffle_index(int32_t r, int count) {
  if (count <= 0) return 0;
  // The magnitude in unsigned arithmetic: |INT_MIN| has no signed form.
  uint32_t u = r < 0 ? 0u - static_cast<uint32_t>(r) : static_cast<uint32_t>(r);
  return static_cast<int>(u % static_cast<uint32_t>(count));
}

int remote_shuffle(const ServerEntry** items, int count, int (*rand4)(int32_t* out)) {
  if (!rand4) rand4 = openssl_rand4;
  for (int i = 0; i < count; i++) {
    int32_t r;
    if (rand4(&r) != 0) return -1;
    int j = remote_shuffle_index(r, count);
    const ServerEntry* t = items[i];
    items[i] = items[j];
    items[j] = t;
  }
  return 0;
}

// --- Open and close ------------------------------------------------------------------------

int remote_open(RemoteLink* link) {
  const SessionProfile* p = link->profile;
  int count = p->servers ? p->servers->count : 0;
  std::vector<const ServerEntry*> order(static_cast<size_t>(count));
  for (int i = 0; i < count; i++) order[i] = static_cast<const ServerEntry*>(ptrlist_get(p->servers, i));
  if (p->change_type == CHANGE_RANDOM && count > 1 && remote_shuffle(order.data(), count, nullptr) != 0)
    log_ssl_errors("RAND_bytes");

  remote_set_state(link, SESSION_CONNECTING);
  if (count > 1) tell_more_servers(link, 1);

  for (int i = 0; i < count; i++) {
    link->connection = nullptr;
    if (remote_stopping(link)) {
      tell_more_servers(link, 0);
      return -1;
    }
    if (i == count - 1) tell_more_servers(link, 0);
    const ServerEntry* entry = order[i];
    int rc;
    if (!p->proxy_host) {
      log_info("connecting to %s:%d...", entry->host, entry->port);
      rc = remote_connect(entry->host, link, entry->port);
    } else {
      rc = remote_connect_proxy(link, entry);
    }
    if (rc == 0) {
      link->connection->host = apr_pstrdup(link->pool, entry->host);
      rc = keva12_client_start(link->connection, p);
    }
    if (rc == 0) {
      remote_set_state(link, SESSION_CONNECTED);
      __atomic_store_n(&link->reconnect_allowed, 1, __ATOMIC_RELEASE);
      link->schedule_index = 0;
      connection_enter_tunnel(link->connection, REMOTE_WRITE_STALL_SECONDS * 1000);
      return 0;
    }
    int fatal = link->connection && link->connection->fatal;
    link->connection = nullptr;
    apr_pool_clear(link->pool);
    if (fatal) {
      __atomic_store_n(&link->reconnect_allowed, 0, __ATOMIC_RELEASE);
      tell_more_servers(link, 0);
      return -1;
    }
  }
  tell_more_servers(link, 0);
  if (count > 1) log_error("no server available");
  return -1;
}

void remote_close(RemoteLink* link) {
  if (__atomic_load_n(&link->state, __ATOMIC_ACQUIRE) != SESSION_CONNECTED) return;
  remote_set_state(link, SESSION_CLOSING);
  RemoteConnection* conn = link->connection;
  if (!conn) return;
  if (conn->ssl && ssl_session_closed(conn)) return;
  if (conn->ssl) ssl_shutdown_session(conn);
  apr_socket_shutdown(conn->socket, APR_SHUTDOWN_WRITE);
}
