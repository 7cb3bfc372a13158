#include "client.h"

#include <apr_strings.h>
#include <apr_time.h>
#include <openssl/ssl.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "address.h"
#include "channel.h"
#include "config.h"
#include "keva12.h"
#include "kevad.h"
#include "log.h"
#include "misc.h"
#include "nic.h"
#include "profile.h"
#include "remote.h"
#include "ssl.h"
#include "token.h"
#include "trace.h"
#include "platform/secure_file.h"

namespace {

const CodeName kStates[] = {{SESSION_TERMINATE, "Terminate"}, {SESSION_CONNECTING, "Connecting"},
                            {SESSION_CONNECTED, "Connected"}, {SESSION_CLOSING, "Closing"},
                            {SESSION_CLOSED, "Closed"},       {0, nullptr}};
enum { EVENT_STATE = 0, EVENT_INFO = 1, EVENT_ERROR = 2, EVENT_DEBUG = 3 };
const CodeName kEvents[] = {{EVENT_STATE, "State-Change"},
                            {EVENT_INFO, "Info-Message"},
                            {EVENT_ERROR, "Error-Message"},
                            {EVENT_DEBUG, "Debug-Message"},
                            {0, nullptr}};

const int kIdleSeconds = 15;  // one idle period
const size_t kFrameBuffer = 65536;

struct Session {
  apr_pool_t* pool = nullptr;
  apr_pool_t* conn_pool = nullptr;
  int restart_attempts = 15;
  int retry_interval = 2;
  SessionProfile* profile = nullptr;
  TokenSession* token = nullptr;
  Device device{};
  RemoteLink* link = nullptr;
  std::atomic<int> adapter_open{0};
  std::atomic<int> connected{0};
  FILE* log = nullptr;
  std::thread thread;
  std::atomic<int> gave_up{0};
  std::atomic<int> demote{0};
  std::atomic<int> stopping{0};
  // Time (apr_time_t) data last came from the server, and last went to it;
  // the idle periods are counted from the first.
  std::atomic<apr_time_t> last_rx{0};
  std::atomic<apr_time_t> last_tx{0};
  std::atomic<apr_time_t> probed_at{0};  // last_rx value a keepalive probe was sent for
  // The counters users see in the tray: frame bytes each way over the whole
  // session, and when the current connection came up (0: not connected).
  std::atomic<uint64_t> bytes_sent{0};
  std::atomic<uint64_t> bytes_received{0};
  std::atomic<apr_time_t> connected_since{0};
  // The connection is closed by the tunnel threads and by the stop path, and
  // freed by the session thread between attempts: whoever touches it from
  // outside the session thread holds this (never while waiting).
  std::mutex link_mutex;
  // Work items name the session by id: only the main thread frees sessions,
  // and an item that finds another (or no) current session does nothing.
  uint64_t id = 0;
  std::atomic<bool> stop_queued{false};
  bool suspended = false;  // main thread only
};

// The current session; the mutex keeps it alive while a line is written to
// its log or an event is sent for it.
std::mutex g_current_mutex;
Session* g_current = nullptr;
// Set from a successful start until the session is freed: one at a time.
std::atomic<bool> g_busy{false};
// Lines logged while a session is being created go to its own log.
thread_local Session* t_creating = nullptr;
// The session whose own threads this one is: the connection is replaced and
// freed only by its main thread, once the tunnel threads are joined, so
// only these may look at it without the link's lock.
thread_local Session* t_session = nullptr;
std::atomic<uint64_t> g_next_id{1};
// Set once by client_register, before any session can start.
ClientSeams g_seams{};

int link_state(const Session* s) {
  return s->link ? __atomic_load_n(&s->link->state, __ATOMIC_ACQUIRE) : SESSION_CLOSED;
}

void send_event(Session* s, int kind, const char* message) {
  char text[1024];
  int n = apr_snprintf(text, sizeof text, "event=%s&state=%s&message=%s", codename_name(kEvents, kind),
                       codename_name(kStates, link_state(s)), message);
  channel_broadcast(text, static_cast<size_t>(n));
}

void report(Session* s, int level, const char* message) {
  if (RemoteLink* link = s->link) {
    if (__atomic_load_n(&link->reconnect_allowed, __ATOMIC_ACQUIRE)) s->demote = 1;
    // A refusal that ends the session is logged by the session's thread;
    // lines from elsewhere never see a connection that may be going away.
    RemoteConnection* conn = t_session == s ? link->connection : nullptr;
    if (s->gave_up.load() || (conn && conn->fatal) || (s->token && std::strncmp(message, "PIN", 3) == 0)) s->demote = 0;
  }
  int kind;
  switch (level) {
    case KLOG_CRITICAL: kind = EVENT_ERROR; break;
    case KLOG_ERROR: kind = s->demote.load() ? EVENT_INFO : EVENT_ERROR; break;
    case KLOG_WARNING:
    case KLOG_NOTICE:
    case KLOG_INFO: kind = EVENT_INFO; break;
    default: return;
  }
  send_event(s, kind, message);
}

void session_free(Session* s) {
  {
    std::lock_guard<std::mutex> lock(g_current_mutex);
    if (g_current == s) g_current = nullptr;
    if (s->log) std::fclose(s->log);
    s->log = nullptr;
  }
  if (s->thread.joinable()) s->thread.join();
  profile_wipe(s->profile);
  if (s->pool) apr_pool_destroy(s->pool);
  delete s;
}

// --- states ---------------------------------------------------------------------

void on_state(void* ctx, int state) {
  auto* s = static_cast<Session*>(ctx);
  switch (state) {
    case SESSION_TERMINATE: log_debug("remote session terminated"); break;
    case SESSION_CONNECTING: log_info("starting remote session"); break;
    case SESSION_CONNECTED: log_info("remote session started"); break;
    case SESSION_CLOSING: log_info("stopping remote session"); break;
    case SESSION_CLOSED: log_info("remote session closed"); break;
  }
  std::lock_guard<std::mutex> lock(g_current_mutex);
  if (g_current != s) return;
  send_event(s, EVENT_STATE, codename_name(kStates, state));
  // A client that heard "Terminate" finds no session any more.
  if (state == SESSION_TERMINATE) g_current = nullptr;
}

void on_more_servers(void* ctx, int more) { static_cast<Session*>(ctx)->demote = more ? 1 : 0; }
int on_stopping(void* ctx) { return static_cast<Session*>(ctx)->stopping.load(); }

// Waits seconds in one-second steps; false when the session began stopping.
bool wait_seconds(Session* s, int seconds) {
  for (int i = 0; i < seconds; ++i) {
    if (s->stopping.load()) return false;
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  return !s->stopping.load();
}

void close_link(Session* s) {
  std::lock_guard<std::mutex> lock(s->link_mutex);
  remote_close(s->link);
}

// The connection of the tunnel phase, which lives until after_disconnect
// clears it under link_mutex (the caller holds it). While connecting the
// session thread alone owns it, and the stop flag ends its waits.
RemoteConnection* tunnel_connection(Session* s) {
  int state = link_state(s);
  return state == SESSION_CONNECTED || state == SESSION_CLOSING ? s->link->connection : nullptr;
}

// Ends every wait on the connection (the other tunnel thread's included);
// the socket itself goes with the attempt's pool.
void shut_socket(Session* s) {
  std::lock_guard<std::mutex> lock(s->link_mutex);
  if (RemoteConnection* conn = tunnel_connection(s)) connection_abort(conn);
}

// --- the tunnel threads ---------------------------------------------------------------

void client_device_main(Session* s) {
  trace_thread_start("client_device_main");
  t_session = s;
  Device* dev = &s->device;
  RemoteConnection* conn = s->link->connection;
  auto* buf = static_cast<unsigned char*>(std::malloc(kFrameBuffer));
  static unsigned char keepalive[4] = {0, 0, 0, 0};
  const apr_time_t period = apr_time_from_sec(kIdleSeconds);

  s->last_rx = s->last_tx = apr_time_now();
  s->probed_at = 0;
  size_t len = kFrameBuffer;
  int r = buf ? dev->ops->read(dev, buf, &len, kIdleSeconds) : -1;
  while (s->adapter_open.load()) {
    if (!s->connected.load()) {
      shut_socket(s);
      std::free(buf);
      trace_thread_exit("client_device_main");
      return;
    }
    if (r < 0) {
      s->adapter_open = 0;
      break;
    }
    apr_time_t now = apr_time_now();
    apr_time_t rx = s->last_rx.load();
    // Two idle periods without a word from the server: the link is dead,
    // however busy the adapter is.
    if (now - rx >= 2 * period) {
      log_info("remote session timeout");
      s->connected = 0;
      break;
    }
    unsigned char* data = nullptr;
    uint32_t dlen = 0;
    if (r == 1) {
      data = buf;
      dlen = static_cast<uint32_t>(len);
    } else if (now - s->last_tx.load() >= period) {
      data = keepalive;  // nothing sent for a period: tell the server we live
      dlen = 4;
    }
    int w = TUNNEL_OK;
    if (data) {
      w = tunnel_write(conn, data, &dlen);
      s->last_tx = now;
      if (w == TUNNEL_OK && data == buf) s->bytes_sent.fetch_add(len, std::memory_order_relaxed);
    }
    // One idle period of silence: ask the server for a sign of life once.
    if (w == TUNNEL_OK && now - rx >= period && s->probed_at.load() != rx && data != keepalive) {
      uint32_t klen = 4;
      w = tunnel_write(conn, keepalive, &klen);
      s->probed_at = rx;
    } else if (data == keepalive) {
      s->probed_at = rx;
    }
    if (w == TUNNEL_WANT_WRITE || w == TUNNEL_WANT_READ) {
      // A server that takes nothing for two idle periods is as dead as a
      // silent one.
      log_info("remote session timeout");
      s->connected = 0;
      break;
    }
    if (w != TUNNEL_OK) {
      s->connected = 0;
      break;
    }
    // Wake no later than the next idle deadline.
    apr_time_t next = rx + (s->probed_at.load() == rx ? 2 : 1) * period;
    next = std::min(next, s->last_tx.load() + period);
    long wait = static_cast<long>(apr_time_sec(next - apr_time_now() + APR_USEC_PER_SEC - 1));
    if (wait < 1) wait = 1;
    if (wait > kIdleSeconds) wait = kIdleSeconds;
    len = kFrameBuffer;
    r = dev->ops->read(dev, buf, &len, static_cast<int>(wait));
  }
  if (s->connected.exchange(0))
    close_link(s);
  else
    shut_socket(s);
  std::free(buf);
  trace_thread_exit("client_device_main");
}

int deliver_to_adapter(void* ctx, unsigned char* record, size_t len) {
  auto* s = static_cast<Session*>(ctx);
  size_t n = len;
  if (s->device.ops->write(&s->device, record, &n) != 1) return -1;
  s->bytes_received.fetch_add(len, std::memory_order_relaxed);
  return 0;
}

void client_remote_main(Session* s) {
  trace_thread_start("client_remote_main");
  t_session = s;
  RemoteConnection* conn = s->link->connection;
  auto* rb = static_cast<TunnelBuffer*>(std::malloc(sizeof(TunnelBuffer)));
  if (rb) rb->held = 0;
  while (rb) {
    int r = tunnel_read(conn, rb);
    if (r == TUNNEL_WANT_READ || r == TUNNEL_WANT_WRITE) continue;
    if (r != TUNNEL_OK) {
      s->connected = 0;
      break;
    }
    if (!s->connected.load() || !s->adapter_open.load()) break;
    s->last_rx = apr_time_now();
    int w = tunnel_walk(rb->data, &rb->held, deliver_to_adapter, s);
    if (w == TUNNEL_WALK_DELIVER_FAILED) {
      s->adapter_open = 0;
      break;
    }
    if (w == TUNNEL_WALK_OVERSIZED) {
      log_error("KEVA/1.2 protocol error");
      s->connected = 0;
      break;
    }
  }
  s->device.ops->abort(&s->device);
  std::free(rb);
  trace_thread_exit("client_remote_main");
}

// --- the session loop ----------------------------------------------------------------

bool adapter_restart(Session* s) {
  s->device.ops->close(&s->device);
  if (s->restart_attempts <= 0) return false;
  log_warning("restarting device");
  for (int i = 0; i < s->restart_attempts; ++i) {
    if (!wait_seconds(s, s->retry_interval)) return true;
    if (s->device.ops->open(&s->device) == 0) return true;
  }
  s->gave_up = 1;
  log_error("restarting device gave up");
  return false;
}

// True when the session goes on with another attempt.
bool after_disconnect(Session* s) {
  RemoteLink* link = s->link;
  int delay = reconnect_schedule_delay(link);
  {
    // The stop path may be closing this very connection.
    std::lock_guard<std::mutex> lock(s->link_mutex);
    link->connection = nullptr;
    apr_pool_clear(link->pool);
  }
  remote_set_state(link, SESSION_CLOSED);
  if (s->stopping.load() || !link->reconnect_allowed || delay == 0) return false;
  log_info("reconnect after %d seconds...", delay);
  if (!wait_seconds(s, delay)) return false;
  reconnect_schedule_advance(link);
  return true;
}

void stop_item(void* arg);

// The item's argument is the session's id, not the session.
void* id_arg(const Session* s) { return reinterpret_cast<void*>(static_cast<uintptr_t>(s->id)); }

// Main thread only: the current session when the item names it.
Session* named_current(void* arg) {
  std::lock_guard<std::mutex> lock(g_current_mutex);
  if (g_current && id_arg(g_current) == arg) return g_current;
  return nullptr;
}

// From any thread that keeps s alive (its own threads, or one holding
// g_current_mutex): one stop item per session, whatever asks for it.
void queue_stop(Session* s) {
  s->stopping = 1;
  if (s->stop_queued.exchange(true)) return;
  if (kevad_submit(stop_item, id_arg(s)) != 0) {
    // The main queue is gone: the service is ending and its shutdown step
    // stops the session.
  }
}

void client_main(Session* s) {
  trace_thread_start("client_main");
  t_session = s;
  for (;;) {
    if (s->stopping.load()) break;
    if (!s->connected.load()) {
      if (s->token) {
        // No token present: look again every retry interval until it is
        // there; a token failure has already asked for the session to end.
        bool ready = true;
        while (token_fetch_certificate(s->token, s->conn_pool) != 0) {
          if (!wait_seconds(s, s->retry_interval)) {
            ready = false;
            break;
          }
        }
        if (!ready) break;
      }
      int r = remote_open(s->link);
      apr_pool_clear(s->conn_pool);
      if (r == 0) {
        s->connected_since = apr_time_now();
        s->connected = 1;
      }
    }
    if (s->connected.load()) {
      if (s->stopping.load()) break;
      if (!s->adapter_open.load()) {
        if (s->device.ops->open(&s->device) != 0) {
          s->gave_up = 1;
          log_error("failed to open device");
          break;
        }
        s->adapter_open = 1;
      }
      // Before either thread runs: the remote thread's abort, when the link
      // drops at once, must not be undone by a reset after it.
      s->device.ops->reset(&s->device);
      std::thread dev_thread(client_device_main, s);
      std::thread remote_thread(client_remote_main, s);
      dev_thread.join();
      remote_thread.join();
      if (s->adapter_open.load()) {
        s->device.ops->close(&s->device);
        s->adapter_open = 0;
      } else {
        if (!adapter_restart(s)) break;
        s->adapter_open = 1;
      }
    }
    if (!s->connected.load()) {
      if (!after_disconnect(s)) break;
    }
  }
  if (!s->stopping.load()) queue_stop(s);
  trace_thread_exit("client_main");
}

// Steps shared by the stop item and suspend (main thread). Every wait of the
// session's threads ends on the stop flag or the aborted connection, so the
// join is bounded.
void halt_session(Session* s) {
  // The lease is released while the tunnel still carries the release.
  address_down(s->device.address);
  s->stopping = 1;
  if (s->token) token_set_stop(s->token, 1);
  s->connected = 0;
  {
    std::lock_guard<std::mutex> lock(s->link_mutex);
    remote_close(s->link);
    if (RemoteConnection* conn = tunnel_connection(s)) connection_abort(conn);
  }
  if (s->thread.joinable()) s->thread.join();
  s->adapter_open = 0;
  s->device.ops->close(&s->device);
}

void stop_session(Session* s) {
  halt_session(s);
  // A client that starts a new session as soon as it hears "Terminate" must
  // find the place free; the new one becomes current only after this item.
  g_busy = false;
  remote_set_state(s->link, SESSION_TERMINATE);
  session_free(s);
}

void stop_item(void* arg) {
  if (Session* s = named_current(arg)) stop_session(s);
}

// The power-event handler waits for the suspend step: the machine may
// sleep as soon as it returns.
struct SuspendDone {
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
};

void suspend_item(void* arg) {
  auto* done = static_cast<std::shared_ptr<SuspendDone>*>(arg);
  Session* s;
  {
    std::lock_guard<std::mutex> lock(g_current_mutex);
    s = g_current;
  }
  if (s && !s->stop_queued.load() && !s->suspended) {
    halt_session(s);
    s->suspended = true;
  }
  {
    std::lock_guard<std::mutex> lock((*done)->m);
    (*done)->done = true;
  }
  (*done)->cv.notify_all();
  delete done;
}

void resume_item(void*) {
  Session* s;
  {
    std::lock_guard<std::mutex> lock(g_current_mutex);
    s = g_current;
  }
  // A session asked to stop while suspended stays stopped: its stop item
  // frees it.
  if (!s || !s->suspended || s->stop_queued.load()) return;
  s->suspended = false;
  s->stopping = 0;
  if (s->token) token_set_stop(s->token, 0);
  s->thread = std::thread(client_main, s);
}

void start_item(void* arg) {
  auto* s = static_cast<Session*>(arg);
  {
    std::lock_guard<std::mutex> lock(g_current_mutex);
    g_current = s;
  }
  if (s->stopping.load()) {  // stopped before it began
    stop_session(s);
    return;
  }
  s->thread = std::thread(client_main, s);
}

// The current session; one that has announced its end is gone for every
// client, although its clean-up may still be running.
Session* current_locked() { return g_current && link_state(g_current) != SESSION_TERMINATE ? g_current : nullptr; }

}  // namespace

const char* client_state_text(int state) { return codename_name(kStates, state); }

void client_log_sink(int level, const char* line, size_t len, const char* message) {
  Session* creating = t_creating;
  std::lock_guard<std::mutex> lock(g_current_mutex);
  Session* s = creating ? creating : g_current;
  if (!s) return;
  if (s->log) {
    std::fwrite(line, 1, len, s->log);
    std::fflush(s->log);
  }
  if (s == g_current) report(s, level, message);
}

int client_start(const char* text, size_t len, bool from_startup, unsigned owner_uid) {
  bool expected = false;
  if (!g_busy.compare_exchange_strong(expected, true)) {
    log_error("a session is already running");
    return 500;
  }
  auto* s = new Session();
  s->id = g_next_id.fetch_add(1);
  if (apr_pool_create(&s->pool, kevad_root_pool()) != APR_SUCCESS ||
      apr_pool_create(&s->conn_pool, s->pool) != APR_SUCCESS) {
    session_free(s);
    g_busy = false;
    return 500;
  }
  std::string path = std::string(kevad_data_folder()) + "/session.log";
  s->log = velarn::open_service_file(path, "w");
  if (!s->log) {
    log_error("%s: %s", path.c_str(), std::strerror(errno));
    session_free(s);
    g_busy = false;
    return 500;
  }
  t_creating = s;
  int code = 0;
  log_debug("Version: %s", KEVAD_VERSION);
  log_debug("session started by uid %u", owner_uid);
  char sys[256];
  if (system_description(sys, sizeof sys) == 0) log_debug("System: %s", sys);
  if (profile_parse(s->pool, text, len, &s->profile) != 0) {
    log_error("invalid profile");
    code = 400;
  }
  if (!code && from_startup) s->profile->reconnect = 1;
  if (!code && config_get_int("client.require_trust", 0) == 1 &&
      (!s->profile->trust || s->profile->trust->count == 0)) {
    log_error("the profile has no trust list, and kevad.ini requires one (require_trust)");
    code = 400;
  }
  if (!code && s->profile->auth.type == AUTH_TOKEN) {
    s->token = token_sign_setup(&s->profile->auth, s->pool);
    if (s->token)
      token_set_terminate(
          s->token, [](void* ctx) { queue_stop(static_cast<Session*>(ctx)); }, s);
    else
      code = 500;
  }
  if (!code && (!g_seams.device || !g_seams.routes)) {
    log_error("internal error: no device or route table to drive");
    code = 500;
  }
  if (!code && s->profile->device_type == DEVICE_BRIDGE) {
    log_error("bridge is not supported");
    code = 500;
  }
  if (!code) {
    s->device.pool = s->pool;
    s->device.ops = g_seams.device;
    s->device.name = "NIC";
    s->device.address = address_plan(s->pool, text, len);  // before create: the device's clean-up uses it
    s->device.state = s->device.ops->create(&s->device);
    if (!s->device.state) code = 500;
  }
  if (!code) {
    RemoteSessionOps ops{s, on_state, on_more_servers, on_stopping};
    s->link = remote_link_create(s->pool, s->profile, &ops, *g_seams.routes);
    if (!s->link) code = 500;
  }
  if (!code) {
    if (s->profile->allow && s->profile->allow->count > 0) s->device.allow = s->profile->allow;
    if (s->profile->deny && s->profile->deny->count > 0) s->device.deny = s->profile->deny;
  }
  t_creating = nullptr;
  if (code) {
    session_free(s);
    g_busy = false;
    return code;
  }
  if (kevad_submit(start_item, s) != 0) {
    session_free(s);
    g_busy = false;
    return 500;
  }
  return 201;
}

int client_startup(apr_pool_t* root) {
  const char* name = config_get_string("client.StartupProfile", nullptr);
  if (!name || !*name) return 0;
  (void)root;
  // The settings file may be writable by the desktop user: the profile it
  // names must still be an administrator's file.
  std::string text, why;
  if (!velarn::read_admin_file(name, &text, &why)) {
    log_error("%s", why.c_str());
    return 0;
  }
  if (!text.empty()) client_start(text.data(), text.size(), true, 0);
  OPENSSL_cleanse(text.data(), text.size());
  return 0;
}

int client_stop_current(void) {
  // The session is freed only by the main thread, and only after it stopped
  // being current under this lock: it lives while the lock is held.
  void* arg;
  {
    std::lock_guard<std::mutex> lock(g_current_mutex);
    Session* s = current_locked();
    if (!s) return -1;
    // While connecting, the flag ends the login's waits at once; a connected
    // session keeps its tunnel until the stop item has released the
    // adapter's lease through it.
    if (!s->connected.load()) s->stopping = 1;
    if (s->stop_queued.exchange(true)) return 0;
    arg = id_arg(s);
  }
  // Not under the lock: the push may wait for room while the main thread
  // needs the lock. The item finds the session again by its id.
  kevad_submit(stop_item, arg);
  return 0;
}

void client_shutdown(void) {
  Session* s;
  {
    std::lock_guard<std::mutex> lock(g_current_mutex);
    s = current_locked();
  }
  if (s) stop_session(s);
}

void client_suspend(void) {
  auto done = std::make_shared<SuspendDone>();
  auto* arg = new std::shared_ptr<SuspendDone>(done);
  if (kevad_submit(suspend_item, arg) != 0) {
    delete arg;
    return;
  }
  // Bounded: a service that stops meanwhile never runs the item.
  std::unique_lock<std::mutex> lock(done->m);
  done->cv.wait_for(lock, std::chrono::seconds(10), [&] { return done->done; });
}

void client_resume(void) { kevad_submit(resume_item, nullptr); }

const char* client_state_name(apr_pool_t* pool) {
  std::lock_guard<std::mutex> lock(g_current_mutex);
  Session* s = current_locked();
  return s ? apr_pstrdup(pool, codename_name(kStates, link_state(s))) : nullptr;
}

const char* client_profile_text(apr_pool_t* pool) {
  std::lock_guard<std::mutex> lock(g_current_mutex);
  Session* s = current_locked();
  if (!s || !s->profile) return nullptr;
  return apr_pstrmemdup(pool, s->profile->text, s->profile->text_len);
}

const char* client_statistics_text(apr_pool_t* pool) {
  std::lock_guard<std::mutex> lock(g_current_mutex);
  Session* s = current_locked();
  if (!s) return nullptr;
  apr_time_t since = s->connected.load() ? s->connected_since.load() : 0;
  long long seconds = since ? static_cast<long long>(apr_time_sec(apr_time_now() - since)) : 0;
  // APR's formatter has no "ll": the C library's does.
  char text[96];
  std::snprintf(text, sizeof text, "seconds=%lld&sent=%llu&received=%llu", seconds,
                static_cast<unsigned long long>(s->bytes_sent.load()),
                static_cast<unsigned long long>(s->bytes_received.load()));
  return apr_pstrdup(pool, text);
}

void client_register(const ClientSeams& seams) {
  g_seams = seams;
  log_set_session_sink(client_log_sink);
  static const ChannelSessionOps ops = {
      [](const char* text, size_t len, unsigned owner) { return client_start(text, len, false, owner); },
      client_stop_current, client_state_name, client_profile_text, client_statistics_text};
  channel_set_session_ops(&ops);
}
