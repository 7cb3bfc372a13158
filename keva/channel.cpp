#include "channel.h"

#include <apr_strings.h>
#include <apr_tables.h>
#include <apr_time.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "kevad.h"
#include "log.h"
#include "misc.h"
#include "profile.h"
#include "platform/local_pipe.h"
#include "trace.h"

using velarn::LocalPipeServer;
using velarn::PipeConnection;
using velarn::WaitEvent;

namespace {

const char kPipeName[] = "\\\\.\\pipe\\kevad";
const size_t kMaxHead = 16383;

enum { M_GET = 1, M_POST = 2, M_PUT = 3, M_DELETE = 4 };
const CodeName kMethods[] = {{M_GET, "GET"}, {M_POST, "POST"}, {M_PUT, "PUT"}, {M_DELETE, "DELETE"}, {0, nullptr}};
const CodeName kStatus[] = {
    {200, "OK"},        {201, "Created"},   {205, "Reset Content"},         {400, "Bad Request"}, {401, "Unauthorized"},
    {403, "Forbidden"}, {404, "Not Found"}, {500, "Internal Server Error"}, {0, nullptr}};
const int kListen = -1;

// A request must arrive whole within this time, and an answer is written
// within the second: no client can hold the channel or the stop.
const int kRequestSeconds = 10;
const int kWriteMs = 1000;
// Beyond these a new listener, or a connection that has not yet sent its
// request, is refused: each holds a descriptor of a root process.
const size_t kListenersPerUid = 16;
const size_t kListenersAll = 64;
const size_t kPendingPerUid = 16;
const size_t kPendingAll = 64;

struct Request {
  apr_pool_t* pool;
  std::unique_ptr<PipeConnection> pipe;
  int method;
  const char* path;
  apr_table_t* query;
  apr_table_t* headers;
  char* head;
  size_t head_len;
  char* body;
  size_t body_len;
  size_t body_have;
  bool head_done;
  apr_time_t deadline;
  const char* response;
  size_t response_len;
  bool secret_response;
};

ChannelSessionOps g_ops{};
std::mutex g_listeners_mutex;
std::vector<Request*> g_listeners;
std::vector<Request*> g_pending;  // channel thread only
WaitEvent* g_stop = nullptr;
// Created before the thread starts, so that the channel is there once the
// service reports its start-up as done.
LocalPipeServer* g_server = nullptr;
bool g_server_ok = false;
std::thread g_thread;
std::thread::id g_thread_id;
apr_pool_t* g_root = nullptr;

Request* request_create(std::unique_ptr<PipeConnection> pipe) {
  apr_pool_t* pool;
  if (apr_pool_create(&pool, g_root) != APR_SUCCESS) return nullptr;
  auto* r = static_cast<Request*>(apr_pcalloc(pool, sizeof(Request)));
  new (&r->pipe) std::unique_ptr<PipeConnection>(std::move(pipe));
  r->pool = pool;
  r->query = apr_table_make(pool, 4);
  r->headers = apr_table_make(pool, 8);
  r->deadline = apr_time_now() + apr_time_from_sec(kRequestSeconds);
  return r;
}

void request_destroy(Request* r) {
  // A posted profile and a profile answer carry passwords and PINs.
  if (r->head) OPENSSL_cleanse(r->head, r->head_len);
  if (r->body) OPENSSL_cleanse(r->body, r->body_len);
  if (r->secret_response && r->response) OPENSSL_cleanse(const_cast<char*>(r->response), r->response_len);
  r->pipe.~unique_ptr<PipeConnection>();
  apr_pool_destroy(r->pool);
}

enum Step { kFailed = -1, kClosed = 0, kMore = 1, kComplete = 2 };

// Reads whatever has arrived without waiting for more.
long pipe_read(Request* r, char* buf, size_t cap) {
  long n = r->pipe->read(buf, cap, 0);
  if (n < 0 && errno != ETIMEDOUT) log_apr_error("ReadFile", APR_FROM_OS_ERROR(errno));
  return n;
}

Step read_head(Request* r) {
  char* text = static_cast<char*>(apr_palloc(r->pool, kMaxHead + 1));
  long n = pipe_read(r, text, kMaxHead);
  if (n < 0 && errno == ETIMEDOUT) return kMore;
  if (n < 1) return n == 0 ? kClosed : kFailed;
  r->head = text;
  r->head_len = static_cast<size_t>(n) + 1;
  ChannelHead h{};
  h.query = r->query;
  h.headers = r->headers;
  if (channel_parse_head(text, static_cast<size_t>(n), &h) != 0) return kFailed;
  r->method = h.method;
  r->path = h.path;
  r->head_done = true;
  if (h.content_length < 0) return kComplete;
  r->body_len = static_cast<size_t>(h.content_length);
  r->body = static_cast<char*>(apr_palloc(r->pool, r->body_len + 1));
  std::memcpy(r->body, h.body, h.body_have);
  r->body_have = h.body_have;
  r->body[r->body_len] = 0;
  return r->body_have == r->body_len ? kComplete : kMore;
}

Step read_body(Request* r) {
  long m = pipe_read(r, r->body + r->body_have, r->body_len - r->body_have);
  if (m < 0 && errno == ETIMEDOUT) return kMore;
  if (m < 1) {
    log_error("invalid API request");
    return kFailed;
  }
  r->body_have += static_cast<size_t>(m);
  return r->body_have == r->body_len ? kComplete : kMore;
}

int dispatch(Request* r) {
  const char* path = r->path;
  velarn::UserId uid = r->pipe->peer_uid();
  if (std::strcmp(path, "/keva/listen") == 0) return kListen;
  if (std::strcmp(path, "/keva/") == 0) {
    if (r->method == M_GET) {
      r->response = "OK";
      r->response_len = 2;
      return 200;
    }
    if (r->method == M_DELETE) {
      if (!velarn::pipe_peer_is_admin(uid)) {
        log_warning("service stop refused: uid %u is no administrator", static_cast<unsigned>(uid));
        return 403;
      }
      kevad_stop_request();
      return 200;
    }
    return 400;
  }
  if (std::strcmp(path, "/keva/statistics") == 0) {
    if (r->method != M_GET) return 400;
    const char* text = g_ops.statistics ? g_ops.statistics(r->pool) : nullptr;
    if (!text) return 404;
    r->response = text;
    r->response_len = std::strlen(text);
    return 200;
  }
  static const char kClient[] = "/keva/client/";
  if (std::strncmp(path, kClient, sizeof kClient - 1) != 0) return 404;
  const char* name = path + sizeof kClient - 1;
  switch (r->method) {
    case M_GET: {
      bool profile = std::strncmp(name, "profile", 7) == 0;
      const char* text = nullptr;
      if (profile && g_ops.profile_text) text = g_ops.profile_text(r->pool);
      if (!profile && g_ops.state_name) text = g_ops.state_name(r->pool);
      if (!text) return 404;
      if (profile) {
        r->secret_response = true;
        // The profile's secrets are root's alone; everyone else sees the
        // servers, switch and options.
        if (uid != 0) {
          const char* whole = text;
          text = profile_without_secrets(r->pool, whole, std::strlen(whole));
          OPENSSL_cleanse(const_cast<char*>(whole), std::strlen(whole));
          if (!text) return 500;
        }
      }
      r->response = text;
      r->response_len = std::strlen(text);
      return 200;
    }
    case M_POST:
      if (!g_ops.start) return 500;
      return g_ops.start(r->body ? r->body : "", r->body_len, static_cast<unsigned>(uid));
    case M_DELETE: return g_ops.stop_current && g_ops.stop_current() == 0 ? 200 : 404;
    default: return 400;
  }
}

void write_message(Request* r, const char* data, size_t len) {
  if (!r->pipe->write(data, len, kWriteMs, *g_stop)) log_apr_error("WriteFile", APR_FROM_OS_ERROR(errno));
}

void write_response(Request* r, int code) {
  const char* reason = codename_name(kStatus, code);
  if (!reason) reason = "";
  trace_printf(nullptr, nullptr, "< [%d %s]", code, reason);
  char* text;
  if (r->response) {
    text = apr_psprintf(r->pool, "HTTP/1.1 %d %s\r\nServer: %s\r\nContent-Length: %d\r\n\r\n", code, reason,
                        KEVAD_VERSION, static_cast<int>(r->response_len));
    size_t head = std::strlen(text);
    char* whole = static_cast<char*>(apr_palloc(r->pool, head + r->response_len));
    std::memcpy(whole, text, head);
    std::memcpy(whole + head, r->response, r->response_len);
    write_message(r, whole, head + r->response_len);
    if (r->secret_response) OPENSSL_cleanse(whole + head, r->response_len);
  } else {
    text = apr_psprintf(r->pool, "HTTP/1.1 %d %s\r\nServer: %s\r\n", code, reason, KEVAD_VERSION);
    write_message(r, text, std::strlen(text));
  }
}

void remove_listener(size_t index) {
  Request* r;
  {
    std::lock_guard<std::mutex> lock(g_listeners_mutex);
    r = g_listeners[index];
    g_listeners.erase(g_listeners.begin() + static_cast<long>(index));
  }
  // Logged outside the lock: the line itself is broadcast to the listeners.
  log_debug("pipe removed: %pp", r);
  request_destroy(r);
}

size_t count_uid(const std::vector<Request*>& list, velarn::UserId uid) {
  size_t n = 0;
  for (Request* r : list)
    if (r->pipe->peer_uid() == uid) ++n;
  return n;
}

// A whole request has arrived: answer it, or keep the client as a listener.
void serve(Request* r) {
  int code = dispatch(r);
  if (code == kListen) {
    velarn::UserId uid = r->pipe->peer_uid();
    bool room;
    {
      std::lock_guard<std::mutex> lock(g_listeners_mutex);
      room = g_listeners.size() < kListenersAll && count_uid(g_listeners, uid) < kListenersPerUid;
    }
    if (!room) {
      log_error("too many listeners: uid %u refused", static_cast<unsigned>(uid));
      request_destroy(r);
      return;
    }
    log_debug("pipe created: %pp", r);
    std::lock_guard<std::mutex> lock(g_listeners_mutex);
    g_listeners.push_back(r);
    return;
  }
  write_response(r, code);
  request_destroy(r);
}

void step_pending(size_t index) {
  Request* r = g_pending[index];
  Step st = r->head_done ? read_body(r) : read_head(r);
  if (st == kMore) return;
  g_pending.erase(g_pending.begin() + static_cast<long>(index));
  if (st == kComplete)
    serve(r);
  else
    request_destroy(r);
}

// Drops the clients whose request did not arrive in time; returns the wait
// until the next deadline (-1: none).
int expire_pending() {
  apr_time_t now = apr_time_now();
  apr_time_t next = 0;
  for (size_t i = 0; i < g_pending.size();) {
    Request* r = g_pending[i];
    if (r->deadline <= now) {
      if (r->head_done)
        log_error("invalid API request");
      else
        log_debug("pipe timeout: %pp", r);
      g_pending.erase(g_pending.begin() + static_cast<long>(i));
      request_destroy(r);
      continue;
    }
    if (!next || r->deadline < next) next = r->deadline;
    ++i;
  }
  if (!next) return -1;
  return static_cast<int>(apr_time_as_msec(next - now)) + 1;
}

void accept_client(LocalPipeServer& server) {
  auto pipe = server.accept();
  if (!pipe) return;  // refused by the access check, or gone already
  velarn::UserId uid = pipe->peer_uid();
  if (g_pending.size() >= kPendingAll || count_uid(g_pending, uid) >= kPendingPerUid) {
    log_debug("pipe refused: too many open requests of uid %u", static_cast<unsigned>(uid));
    return;
  }
  Request* r = request_create(std::move(pipe));
  if (!r) return;
  g_pending.push_back(r);
  // Most clients have written their request by now: answer at once.
  if (r->pipe->readable()) step_pending(g_pending.size() - 1);
}

// Serves every client side by side: a request is read as its messages
// arrive, so a client that stalls delays nobody else and never the stop.
void channel_main() {
  trace_thread_start("channel_main");
  LocalPipeServer& server = *g_server;
  bool ok = g_server_ok;
  while (ok) {
    int timeout = expire_pending();
    std::vector<const PipeConnection*> watched;
    size_t listeners;
    {
      std::lock_guard<std::mutex> lock(g_listeners_mutex);
      for (Request* l : g_listeners) watched.push_back(l->pipe.get());
      listeners = watched.size();
    }
    for (Request* p : g_pending) watched.push_back(p->pipe.get());
    std::vector<size_t> ready;
    bool client = false;
    auto w = server.wait(*g_stop, watched, &ready, &client, timeout);
    if (w == LocalPipeServer::kStop) break;
    if (w == LocalPipeServer::kTimeout) continue;
    if (w == LocalPipeServer::kFailed) {
      log_apr_error("WaitForMultipleObjects", APR_FROM_OS_ERROR(errno));
      break;
    }
    // Clients already here first, in the order they came, then a new one:
    // a request written before another client connected is served before
    // that client's. Each list is walked from its end, since serving an
    // entry removes it; a request that becomes a listener is appended to
    // the listeners, whose ready ones were served already.
    size_t first_pending = ready.size();
    for (size_t i = 0; i < ready.size(); ++i)
      if (ready[i] >= listeners) {
        first_pending = i;
        break;
      }
    for (size_t i = first_pending; i-- > 0;) remove_listener(ready[i]);
    std::vector<Request*> order;
    for (size_t i = first_pending; i < ready.size(); ++i) order.push_back(g_pending[ready[i] - listeners]);
    for (Request* r : order) {
      auto at = std::find(g_pending.begin(), g_pending.end(), r);
      if (at != g_pending.end()) step_pending(static_cast<size_t>(at - g_pending.begin()));
    }
    if (client) accept_client(server);
  }
  for (Request* r : g_pending) request_destroy(r);
  g_pending.clear();
  std::vector<Request*> gone;
  {
    std::lock_guard<std::mutex> lock(g_listeners_mutex);
    gone.swap(g_listeners);
  }
  for (Request* r : gone) request_destroy(r);
  trace_thread_exit("channel_main");
}

apr_status_t channel_cleanup(void*) {
  // The thread may still be finishing after a stop it received itself.
  if (g_stop) g_stop->set();
  if (g_thread.joinable()) g_thread.join();
  delete g_stop;
  g_stop = nullptr;
  delete g_server;
  g_server = nullptr;
  g_root = nullptr;
  return APR_SUCCESS;
}

}  // namespace

int channel_parse_head(char* text, size_t n, ChannelHead* h) {
  text[n] = 0;
  char* end = text + n;
  h->content_length = -1;
  h->body = nullptr;
  h->body_have = 0;
  char* sp = std::strchr(text, ' ');
  if (!sp) {
    log_error("invalid API request");
    return -1;
  }
  *sp = 0;
  h->word = text;
  h->method = codename_code(kMethods, text, -1);
  char* path = sp + 1;
  char* sp2 = std::strchr(path, ' ');
  if (!sp2) {
    log_error("invalid API request");
    return -1;
  }
  *sp2 = 0;
  if (char* q = std::strchr(path, '?')) {
    *q++ = 0;
    char* save = nullptr;
    for (char* pair = apr_strtok(q, "&", &save); pair; pair = apr_strtok(nullptr, "&", &save)) {
      char* eq = std::strchr(pair, '=');
      if (eq) *eq++ = 0;
      apr_table_set(h->query, pair, eq ? eq : "");
    }
  }
  h->path = path;
  log_debug("> %s %s", h->word, path);

  char* line = std::strchr(sp2 + 1, '\n');
  if (!line) {
    log_error("invalid API request");
    return -1;
  }
  ++line;
  while (std::strncmp(line, "\r\n", 2) != 0) {
    char* colon = std::strchr(line, ':');
    char* eol = colon && colon[1] ? std::strstr(colon + 2, "\r\n") : nullptr;
    if (!colon || !eol) {
      log_error("invalid API request");
      return -1;
    }
    *colon = 0;
    *eol = 0;
    apr_table_set(h->headers, line, colon + 2);
    line = eol + 2;
  }
  char* body_start = line + 2;
  const char* cl = apr_table_get(h->headers, "Content-Length");
  if (!cl) return 0;

  char* cl_end = nullptr;
  errno = 0;
  long long want = std::strtoll(cl, &cl_end, 10);
  size_t have = static_cast<size_t>(end - body_start);
  // A length that is no number, negative or beyond what a profile can be is
  // as invalid as one shorter than what came.
  if (cl_end == cl || want < 0 || errno == ERANGE || want > (1 << 24) || static_cast<size_t>(want) < have) {
    log_error("invalid API request");
    return -1;
  }
  h->content_length = want;
  h->body = body_start;
  h->body_have = have;
  return 0;
}

void channel_set_session_ops(const ChannelSessionOps* ops) { g_ops = ops ? *ops : ChannelSessionOps{}; }

int channel_start(apr_pool_t* root) {
  g_root = root;
  g_stop = new WaitEvent();
  if (!g_stop->valid()) {
    log_apr_error("eventfd", APR_FROM_OS_ERROR(errno));
    return -1;
  }
  g_server = new LocalPipeServer();
  g_server_ok = g_server->create(kPipeName);
  if (!g_server_ok) log_apr_error(g_server->path().c_str(), APR_FROM_OS_ERROR(errno));
  try {
    g_thread = std::thread(channel_main);
  } catch (...) {
    log_error("channel_main: cannot start thread");
    return -1;
  }
  g_thread_id = g_thread.get_id();
  // Before the pool's children go: the thread still uses the pools of its
  // requests and listeners until it has ended.
  apr_pool_pre_cleanup_register(root, nullptr, channel_cleanup);
  return 0;
}

void channel_stop(void) {
  if (!g_stop) return;
  g_stop->set();
  if (std::this_thread::get_id() == g_thread_id) return;  // ends after its answer
  if (g_thread.joinable()) g_thread.join();
}

void channel_broadcast(const char* text, size_t len) {
  std::lock_guard<std::mutex> lock(g_listeners_mutex);
  for (Request* r : g_listeners) r->pipe->try_write(text, len);
}
