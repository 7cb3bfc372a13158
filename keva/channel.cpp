#include "channel.h"

#include <apr_strings.h>
#include <apr_tables.h>

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
#include "platform/local_pipe.h"
#include "trace.h"

using velarn::LocalPipeServer;
using velarn::PipeConnection;
using velarn::WaitEvent;

namespace {

const char kPipeName[] = "\\\\.\\pipe\\kevad";
const size_t kMaxHead = 16383;

enum { M_GET = 1, M_POST = 2, M_PUT = 3, M_DELETE = 4 };
const CodeName kMethods[] = {{M_GET, "GET"}, {M_POST, "POST"}, {M_PUT, "PUT"}, {M_DELETE, "DELETE"},
                             {0, nullptr}};
const CodeName kStatus[] = {{200, "OK"},          {201, "Created"},    {205, "Reset Content"},
                            {400, "Bad Request"}, {401, "Unauthorized"}, {403, "Forbidden"},
                            {404, "Not Found"},   {500, "Internal Server Error"}, {0, nullptr}};
const int kListen = -1;

struct Request {
  apr_pool_t* pool;
  std::unique_ptr<PipeConnection> pipe;
  int method;
  const char* path;
  apr_table_t* query;
  apr_table_t* headers;
  char* body;
  size_t body_len;
  const char* response;
  size_t response_len;
};

ChannelSessionOps g_ops{};
std::mutex g_listeners_mutex;
std::vector<Request*> g_listeners;
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
  return r;
}

void request_destroy(Request* r) {
  r->pipe.~unique_ptr<PipeConnection>();
  apr_pool_destroy(r->pool);
}

long pipe_read(Request* r, char* buf, size_t cap) {
  long n = r->pipe->read(buf, cap);
  if (n < 0) log_apr_error("ReadFile", APR_FROM_OS_ERROR(errno));
  return n;
}

// Returns the bytes read (0: nothing, so no answer), or -1 on failure.
long read_request(Request* r) {
  char* text = static_cast<char*>(apr_palloc(r->pool, kMaxHead + 1));
  long n = pipe_read(r, text, kMaxHead);
  if (n < 1) return n;
  text[n] = 0;
  char* end = text + n;

  char* sp = std::strchr(text, ' ');
  if (!sp) {
    log_error("invalid API request");
    return -1;
  }
  *sp = 0;
  const char* word = text;
  r->method = codename_code(kMethods, word, -1);
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
      apr_table_set(r->query, pair, eq ? eq : "");
    }
  }
  r->path = path;
  log_debug("> %s %s", word, path);

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
    apr_table_set(r->headers, line, colon + 2);
    line = eol + 2;
  }
  char* body_start = line + 2;
  const char* cl = apr_table_get(r->headers, "Content-Length");
  if (!cl) return n;

  char* cl_end = nullptr;
  errno = 0;
  long long want = std::strtoll(cl, &cl_end, 10);
  size_t have = static_cast<size_t>(end - body_start);
  // A length that is no number, negative or beyond what a profile can be is
  // as invalid as one shorter than what came.
  if (cl_end == cl || want < 0 || errno == ERANGE || want > (1 << 24) ||
      static_cast<size_t>(want) < have) {
    log_error("invalid API request");
    return -1;
  }
  r->body_len = static_cast<size_t>(want);
  r->body = static_cast<char*>(apr_palloc(r->pool, r->body_len + 1));
  std::memcpy(r->body, body_start, have);
  while (have < r->body_len) {
    long m = pipe_read(r, r->body + have, r->body_len - have);
    if (m < 1) {
      log_error("invalid API request");
      return -1;
    }
    have += static_cast<size_t>(m);
  }
  r->body[r->body_len] = 0;
  return n;
}

int dispatch(Request* r) {
  const char* path = r->path;
  if (std::strcmp(path, "/keva/listen") == 0) return kListen;
  if (std::strcmp(path, "/keva/") == 0) {
    if (r->method == M_GET) {
      r->response = "OK";
      r->response_len = 2;
      return 200;
    }
    if (r->method == M_DELETE) {
      kevad_stop_request();
      return 200;
    }
    return 400;
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
      r->response = text;
      r->response_len = std::strlen(text);
      return 200;
    }
    case M_POST:
      if (!g_ops.start) return 500;
      return g_ops.start(r->body ? r->body : "", r->body_len);
    case M_DELETE:
      return g_ops.stop_current && g_ops.stop_current() == 0 ? 200 : 404;
    default:
      return 400;
  }
}

void write_response(Request* r, int code) {
  const char* reason = codename_name(kStatus, code);
  if (!reason) reason = "";
  trace_printf(nullptr, nullptr, "< [%d %s]", code, reason);
  char* text;
  if (r->response) {
    text = apr_psprintf(r->pool, "HTTP/1.1 %d %s\r\nServer: %s\r\nContent-Length: %d\r\n\r\n", code,
                        reason, KEVAD_VERSION, static_cast<int>(r->response_len));
    size_t head = std::strlen(text);
    char* whole = static_cast<char*>(apr_palloc(r->pool, head + r->response_len));
    std::memcpy(whole, text, head);
    std::memcpy(whole + head, r->response, r->response_len);
    if (!r->pipe->write(whole, head + r->response_len))
      log_apr_error("WriteFile", APR_FROM_OS_ERROR(errno));
  } else {
    text = apr_psprintf(r->pool, "HTTP/1.1 %d %s\r\nServer: %s\r\n", code, reason, KEVAD_VERSION);
    if (!r->pipe->write(text, std::strlen(text))) log_apr_error("WriteFile", APR_FROM_OS_ERROR(errno));
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

void channel_main() {
  trace_thread_start("channel_main");
  LocalPipeServer& server = *g_server;
  bool ok = g_server_ok;
  while (ok) {
    std::vector<int> handles;
    {
      std::lock_guard<std::mutex> lock(g_listeners_mutex);
      for (Request* l : g_listeners) handles.push_back(l->pipe->handle());
    }
    size_t which = 0;
    auto w = server.wait(*g_stop, handles, &which);
    if (w == LocalPipeServer::kStop) break;
    if (w == LocalPipeServer::kFailed) {
      log_apr_error("WaitForMultipleObjects", APR_FROM_OS_ERROR(errno));
      break;
    }
    if (w == LocalPipeServer::kHandle) {
      remove_listener(which);
      continue;
    }
    auto pipe = server.accept();
    if (!pipe) continue;  // refused by the access check, or gone already
    Request* r = request_create(std::move(pipe));
    if (!r) continue;
    if (read_request(r) > 0) {
      int code = dispatch(r);
      if (code == kListen) {
        log_debug("pipe created: %pp", r);
        std::lock_guard<std::mutex> lock(g_listeners_mutex);
        g_listeners.push_back(r);
        continue;
      }
      write_response(r, code);
    }
    request_destroy(r);
  }
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
