#include "kevad.h"

#include <apr_general.h>
#include <apr_queue.h>
#include <apr_strings.h>
#include <libxml/parser.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "config.h"
#include "kevad_internal.h"
#include "log.h"
#include "msgbuf.h"
#include "platform/roots.h"
#include "platform/service.h"
#include "trace.h"

using namespace velarn;

namespace {

const char kServiceName[] = "kevad Service";
const char kDescription[] = "Virtual Private Network (VPN) service";

KevadParts g_parts{};
std::string g_data_folder;
std::string g_settings_path;
std::string g_trace_file;
apr_pool_t* g_root = nullptr;
std::atomic<bool> g_stopping{false};
bool g_debug_mode = false;
// Read by the control thread while the main thread sets it.
std::atomic<ServiceHost*> g_host{nullptr};

// The queue is created in the main routine and gone once the root pool is;
// a stop request may come at any moment in between, or before.
std::mutex g_queue_mutex;
apr_queue_t* g_queue = nullptr;

// Signalled when the service body has returned; the stop sequence waits on it.
struct StopDone {
  std::mutex m;
  std::condition_variable cv;
  bool set = false;
} g_stop_done;

struct WorkItem {
  work_fn fn;
  void* arg;
};

}  // namespace

namespace {

// The local time's offset, fixed ahead: localtime_r may take locks.
long g_utc_offset = 0;

struct CrashLine {
  char buf[160];
  size_t n = 0;
  void put(const char* s) {
    while (*s && n + 1 < sizeof buf) buf[n++] = *s++;
  }
  void num(unsigned long v, unsigned base, int width) {
    char d[24];
    int k = 0;
    do {
      d[k++] = "0123456789abcdef"[v % base];
      v /= base;
    } while (v && k < 24);
    while (k < width && k < 24) d[k++] = '0';
    while (k > 0 && n + 1 < sizeof buf) buf[n++] = d[--k];
  }
};

}  // namespace

void kevad_crash_prepare(void) {
  time_t now = std::time(nullptr);
  struct tm tmv;
  if (localtime_r(&now, &tmv)) g_utc_offset = tmv.tm_gmtoff;
  log_crash_prepare();
  trace_crash_prepare();
}

// Runs in the signal handler: formats on the stack and writes with write(2),
// taking no lock it could wait on (the heap or the trace lock may be what
// broke); the session's log and events are left alone.
void kevad_crash_report(void* address, int code) {
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  long t = static_cast<long>(std::time(nullptr)) + g_utc_offset;
  long days = t / 86400, secs = t % 86400;
  // Civil date from days since 1970-01-01.
  long z = days + 719468, era = z / 146097, doe = z - era * 146097;
  long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
  long day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 3 : mp - 9;
  CrashLine l;
  char mon[4] = {kMonths[(month - 1) * 3], kMonths[(month - 1) * 3 + 1], kMonths[(month - 1) * 3 + 2], 0};
  l.put(mon);
  l.put(" ");
  l.num(static_cast<unsigned long>(day), 10, 2);
  l.put(" ");
  l.num(static_cast<unsigned long>(secs / 3600), 10, 2);
  l.put(":");
  l.num(static_cast<unsigned long>(secs / 60 % 60), 10, 2);
  l.put(":");
  l.num(static_cast<unsigned long>(secs % 60), 10, 2);
  l.put(" [error] program crashed at ");
  l.num(reinterpret_cast<unsigned long>(address), 16, 1);
  l.put(" code ");
  l.num(static_cast<unsigned long>(code), 16, 1);
  l.put("\n");
  log_crash_write(l.buf, l.n);
  trace_crash_dump(l.buf, l.n);
}

const char* kevad_data_folder(void) { return g_data_folder.c_str(); }
apr_pool_t* kevad_root_pool(void) { return g_root; }
bool kevad_stopping(void) { return g_stopping.load(); }
void kevad_register_parts(const KevadParts* parts) { g_parts = parts ? *parts : KevadParts{}; }

int kevad_submit(work_fn fn, void* arg) {
  auto* item = static_cast<WorkItem*>(std::malloc(sizeof(WorkItem)));
  if (!item) return -1;
  item->fn = fn;
  item->arg = arg;
  apr_queue_t* q;
  {
    std::lock_guard<std::mutex> lock(g_queue_mutex);
    q = g_queue;
  }
  apr_status_t st = q ? apr_queue_push(q, item) : APR_EOF;
  while (st == APR_EINTR) st = apr_queue_push(q, item);
  if (st != APR_SUCCESS) {
    std::free(item);
    return -1;
  }
  return 0;
}

void kevad_stop_request(void) {
  // A second request (shutdown, then SIGTERM; or the channel's DELETE) finds
  // the first one doing it: the channel thread cannot be stopped twice.
  if (g_stopping.exchange(true)) return;
  log_debug("stopping kevad");
  if (g_parts.session_stop) g_parts.session_stop();
  if (g_parts.channel_stop) g_parts.channel_stop();
  std::lock_guard<std::mutex> lock(g_queue_mutex);
  if (g_queue) apr_queue_term(g_queue);
}

KevadCommand kevad_parse_command(const std::string& text, std::string* rest) {
  if (text.compare(0, 7, "install") == 0) {
    if (rest) *rest = text.substr(7);
    return KevadCommand::Install;
  }
  if (text == "uninstall") return KevadCommand::Uninstall;
  if (text == "start") return KevadCommand::Start;
  if (text == "stop") return KevadCommand::Stop;
  if (text.compare(0, 7, "service") == 0) return KevadCommand::Service;
  return KevadCommand::Debug;
}

int kevad_manage(ServiceManager& scm, KevadCommand cmd, const std::string& rest, const std::string& program) {
  switch (cmd) {
    case KevadCommand::Install: {
      if (!service_command_valid(rest)) {
        std::fputs("kevad install: control characters are not allowed in the arguments\n", stderr);
        return 1;
      }
      if (!scm.open()) return 1;
      ServiceConfig c;
      c.name = kServiceName;
      c.display_name = kServiceName;
      c.command = "\"" + program + "\" service" + rest;
      if (!scm.create(c)) return 1;
      scm.set_description(kServiceName, kDescription);
      return 0;
    }
    case KevadCommand::Uninstall:
      if (scm.open() && scm.exists(kServiceName)) {
        scm.stop(kServiceName);
        scm.remove(kServiceName);
      }
      return 0;
    case KevadCommand::Start:
      if (scm.open()) scm.start(kServiceName);
      return 0;
    case KevadCommand::Stop:
      if (scm.open()) scm.stop(kServiceName);
      return 0;
    default: return 0;
  }
}

uint32_t kevad_control(uint32_t control, uint32_t event_type) {
  switch (control) {
    case SERVICE_CONTROL_STOP: kevad_stop_sequence(); return NO_ERROR_CODE;
    case SERVICE_CONTROL_SHUTDOWN:
      log_info("APM: Power Down");
      kevad_stop_sequence();
      return NO_ERROR_CODE;
    case SERVICE_CONTROL_POWEREVENT:
      switch (event_type) {
        case PBT_APMQUERYSUSPEND: log_debug("APM: Query Suspend"); return NO_ERROR_CODE;
        case PBT_APMSUSPEND:
          log_debug("APM: Suspend");
          if (g_parts.session_suspend) g_parts.session_suspend();
          return NO_ERROR_CODE;
        case PBT_APMRESUMECRITICAL: log_debug("APM: Resume Critical"); return NO_ERROR_CODE;
        case PBT_APMRESUMESUSPEND:
          log_debug("APM: Resume Suspend");
          if (g_parts.session_resume) g_parts.session_resume();
          return NO_ERROR_CODE;
        default: return ERROR_CALL_NOT_IMPLEMENTED;
      }
    default: return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void kevad_stop_sequence(void) {
  static std::atomic<bool> running{false};
  if (running.exchange(true)) return;  // one stop sequence per process
  if (ServiceHost* h = g_host.load()) h->report(SERVICE_STOP_PENDING, 2000);
  kevad_stop_request();
  std::unique_lock<std::mutex> lock(g_stop_done.m);
  g_stop_done.cv.wait_for(lock, std::chrono::milliseconds(2000), [] { return g_stop_done.set; });
  // The event is auto-reset: one waiter consumes it.
  g_stop_done.set = false;
}

// The trace and the log stand below the settings: their settings are read
// here and handed down.
static int start_trace(void) {
  if (!config_get_string("trace", nullptr)) return 0;
  long size = config_get_int("trace.trace_size", 1);
  const char* file = config_get_data_path("trace.trace_file", "trace.log");
  g_trace_file = file;
  if (trace_start(size, file) != 0) {
    log_error("trace: cannot allocate %ld bytes", size > 0 ? size * 1000000L : 0L);
    return -1;
  }
  log_debug("starting trace: %s", file);
  return 0;
}

static int main_routine(void) {
  apr_status_t st = apr_initialize();
  if (st == APR_SUCCESS) {
    std::atexit(apr_terminate);
    st = apr_pool_create(&g_root, nullptr);
  }
  if (st != APR_SUCCESS) {
    char err[256];
    apr_strerror(st, err, sizeof err);
    log_error("%s:%d: APR: %s", "keva\\kevad", __LINE__, err);
    std::abort();
  }

  log_debug("starting kevad in debug mode");
  if (config_load(g_root, g_settings_path.c_str()) != 0) return 1;
  if (start_trace() != 0) return 1;
  if (log_open(config_get_data_path("log.log_file", "kevad.log")) != 0) return 1;
  kevad_crash_prepare();
  if (!g_debug_mode) log_info("==================================================");

  bool ok;
  {
    apr_queue_t* q = nullptr;
    ok = apr_queue_create(&q, 8, g_root) == APR_SUCCESS;
    if (ok) {
      std::lock_guard<std::mutex> lock(g_queue_mutex);
      g_queue = q;
      // A stop that came before the queue existed still ends the main loop.
      if (g_stopping.load()) apr_queue_term(q);
    }
  }
  ok = ok && msgbuf_init(g_root) == 0;
  ok = ok && (!g_parts.ssl_init || g_parts.ssl_init(g_root) == 0);
  ok = ok && (!g_parts.channel_start || g_parts.channel_start(g_root) == 0);
  ok = ok && (!g_parts.startup_session || g_parts.startup_session(g_root) == 0);
  if (!ok) {
    if (!g_debug_mode) std::fputs("kevad startup failure (see the log file)\n", stdout);
    std::fflush(stdout);
    if (g_parts.session_stop) g_parts.session_stop();
    if (g_parts.channel_stop) g_parts.channel_stop();
    return 1;
  }

  log_info("%s startup succeeded", KEVAD_VERSION);
  if (ServiceHost* h = g_host.load()) h->report(SERVICE_RUNNING, 0);

  for (;;) {
    void* v = nullptr;
    apr_status_t r = apr_queue_pop(g_queue, &v);
    if (r == APR_EINTR) continue;
    if (r != APR_SUCCESS) break;
    auto* item = static_cast<WorkItem*>(v);
    item->fn(item->arg);
    std::free(item);
  }

  {
    std::lock_guard<std::mutex> lock(g_queue_mutex);
    g_queue = nullptr;
  }
  // The session's stop item may have been left in the queue: its threads
  // must end before the pools they use are destroyed.
  if (g_parts.session_shutdown) g_parts.session_shutdown();
  apr_pool_destroy(g_root);
  g_root = nullptr;
  log_info("%s exited", KEVAD_VERSION);
  log_close();
  // The settings went with the root pool: the file's name was kept aside.
  if (int err = trace_dump())
    log_error("%s: %s", g_trace_file.c_str(), std::strerror(err));
  else if (trace_is_on())
    log_debug("trace file dumped: %s", g_trace_file.c_str());
  xmlCleanupParser();
  if (g_parts.at_exit) g_parts.at_exit();
  return 0;
}

static void service_body(ServiceHost* host) {
  install_crash_handler(kevad_crash_report);
  log_crash_prepare();
  g_settings_path = g_data_folder + "/kevad.ini";
  {
    std::lock_guard<std::mutex> lock(g_stop_done.m);
    g_stop_done.set = false;
  }
  g_host = host && host->service_mode() ? host : nullptr;
  if (ServiceHost* h = g_host.load()) h->report(SERVICE_START_PENDING, 1000);
  main_routine();
  {
    std::lock_guard<std::mutex> lock(g_stop_done.m);
    g_stop_done.set = true;
  }
  g_stop_done.cv.notify_all();
  if (ServiceHost* h = g_host.load()) h->report(SERVICE_STOPPED, 0);
}

int kevad_main(int argc, char** argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  raise_priority();
  g_data_folder = roots::data_folder();

  std::string rest;
  KevadCommand cmd = kevad_parse_command(text, &rest);
  if (cmd == KevadCommand::Install || cmd == KevadCommand::Uninstall || cmd == KevadCommand::Start ||
      cmd == KevadCommand::Stop) {
    auto scm = make_systemd_service_manager();
    return kevad_manage(*scm, cmd, rest, roots::program_path());
  }

  // The data folder is created by the product's setup on a real system; a
  // fresh root (tests, the demo) needs it for the logs.
  roots::make_dirs(g_data_folder);

  bool service = cmd == KevadCommand::Service;
  g_debug_mode = !service;
  log_set_modes(g_debug_mode, g_debug_mode);
  ServiceHost host(service, g_debug_mode);
  if (!host.register_handler(kevad_control)) return 0;  // the control handler is required
  service_body(&host);
  host.close();
  g_host = nullptr;
  return 0;
}
