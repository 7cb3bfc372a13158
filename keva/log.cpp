#include "log.h"

#include <apr_strings.h>
#include <apr_time.h>
#include <openssl/err.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/crash_file.h"
#include "platform/debug_output.h"
#include "platform/roots.h"
#include "platform/secure_file.h"
#include "trace.h"

namespace {

const char* const level_names[] = {"critical", "error", "warning", "notice", "info", "debug"};

std::atomic<bool> g_debug_mode{false};
std::atomic<bool> g_debug_level{false};
std::atomic<FILE*> g_main_log{nullptr};
std::atomic<log_session_sink_fn> g_session_sink{nullptr};

void append_error_log(const char* line, size_t len) {
  std::string path = velarn::roots::data_folder() + "/kevad-error.log";
  FILE* f = velarn::open_service_file(path, "a");
  if (!f) return;
  std::fwrite(line, 1, len, f);
  std::fclose(f);
}

}  // namespace

const char* log_level_name(int level) {
  if (level < 0 || level > KLOG_DEBUG) return nullptr;
  return level_names[level];
}

size_t log_format_line(char* out, char* msgbuf, int level, apr_sockaddr_t* peer, const char* fmt, va_list ap) {
  char stamp[40];
  char prefix[80];
  time_t now = std::time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  size_t n = std::strftime(stamp, sizeof stamp, "%b %d %H:%M:%S ", &tmv);
  const char* name = log_level_name(level);
  apr_snprintf(stamp + n, sizeof stamp - n, "[%s] ", name ? name : "?");

  prefix[0] = 0;
  if (peer) apr_snprintf(prefix, sizeof prefix, "%pI: ", peer);

  apr_vsnprintf(msgbuf, 256, fmt, ap);
  // Messages carry text from the server, profiles and channel peers: a line
  // feed there must not forge a log line, nor end an event line early.
  for (char* c = msgbuf; *c; ++c) {
    unsigned char u = static_cast<unsigned char>(*c);
    if ((u < 0x20 && u != '\t') || u == 0x7f) *c = '?';
  }
  return apr_snprintf(out, 512, "%s%s%s\n", stamp, prefix, msgbuf);
}

void log_vwrite(int level, apr_sockaddr_t* peer, const char* fmt, va_list ap) {
  char line[512];
  char msg[256];
  size_t len = log_format_line(line, msg, level, peer, fmt, ap);

  trace_append(line, len);

  if (log_session_sink_fn sink = g_session_sink.load()) sink(level, line, len, msg);

  if (level == KLOG_DEBUG && !g_debug_level.load()) return;

  if (g_debug_mode.load()) {
    velarn::debug_output(line, len);
    return;
  }
  if (FILE* f = g_main_log.load()) {
    std::fwrite(line, 1, len, f);
    std::fflush(f);
  } else {
    append_error_log(line, len);
  }
}

#define LOG_BODY(level, peer)       \
  va_list ap;                       \
  va_start(ap, fmt);                \
  log_vwrite(level, peer, fmt, ap); \
  va_end(ap)

void log_debug(const char* fmt, ...) { LOG_BODY(KLOG_DEBUG, nullptr); }
void log_info(const char* fmt, ...) { LOG_BODY(KLOG_INFO, nullptr); }
void log_warning(const char* fmt, ...) { LOG_BODY(KLOG_WARNING, nullptr); }
void log_error(const char* fmt, ...) { LOG_BODY(KLOG_ERROR, nullptr); }
void log_info_peer(apr_sockaddr_t* peer, const char* fmt, ...) { LOG_BODY(KLOG_INFO, peer); }
void log_error_peer(apr_sockaddr_t* peer, const char* fmt, ...) { LOG_BODY(KLOG_ERROR, peer); }

void log_apr_error(const char* name, apr_status_t status) {
  char buf[256];
  apr_strerror(status, buf, sizeof buf);
  log_error("%s: %s", name, buf);
}

void log_ssl_errors(const char* name) {
  unsigned long e;
  char buf[256];
  while ((e = ERR_get_error()) != 0) {
    ERR_error_string_n(e, buf, sizeof buf);
    log_error("%s: %s", name, buf);
  }
}

void log_set_modes(bool debug_mode, bool debug_level) {
  g_debug_mode = debug_mode;
  g_debug_level = debug_level;
}

bool log_debug_mode() { return g_debug_mode.load(); }

int log_open(const char* path) {
  if (g_debug_mode.load()) return 0;
  if (!path || !*path) {
    std::fputs("log file: no path given\n", stderr);
    return -1;
  }
  if (FILE* open = g_main_log.load(); open && open != stdout) return 0;
  FILE* f = velarn::open_service_file(path, "a");
  if (!f) {
    std::fprintf(stderr, "%s: %s\n", path, std::strerror(errno));
    return -1;
  }
  g_main_log = f;
  return 0;
}

void log_close(void) {
  if (g_debug_mode.load()) return;
  FILE* f = g_main_log.exchange(nullptr);
  if (f && f != stdout) std::fclose(f);
}

void log_set_session_sink(log_session_sink_fn sink) { g_session_sink = sink; }

// --- crash line -----------------------------------------------------------------

namespace {
char g_crash_error_log[512];
}  // namespace

void log_crash_prepare(void) {
  std::string path = velarn::roots::data_folder() + "/kevad-error.log";
  std::snprintf(g_crash_error_log, sizeof g_crash_error_log, "%s", path.c_str());
}

void log_crash_write(const char* line, size_t len) {
  velarn::CrashFile fd = velarn::kNoCrashFile;
  bool opened = false;
  if (g_debug_mode.load()) {
    fd = velarn::crash_file_stderr();
  } else if (FILE* f = g_main_log.load()) {
    fd = velarn::crash_file_of(f);  // every line was flushed: the descriptor is up to date
  } else if (g_crash_error_log[0]) {
    fd = velarn::crash_file_open(g_crash_error_log, true);
    opened = fd != velarn::kNoCrashFile;
  }
  if (fd == velarn::kNoCrashFile) return;
  velarn::crash_file_write(fd, line, len);
  if (opened) velarn::crash_file_close(fd);
}
