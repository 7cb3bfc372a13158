// Log lines with a millisecond time stamp, so that a run's client and server
// lines can be put in order.
#include "log.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <sys/time.h>

namespace ks {

static int g_level = LOG_EVENT;
static std::mutex g_mutex;

void log_set_level(int level) { g_level = level; }
int log_level() { return g_level; }

void logf(int level, const char* fmt, ...) {
  if (level > g_level) return;
  char line[1024];
  timeval tv;
  gettimeofday(&tv, nullptr);
  tm t;
  localtime_r(&tv.tv_sec, &t);
  int n = snprintf(line, sizeof line, "%02d:%02d:%02d.%03d keva-server: ", t.tm_hour, t.tm_min, t.tm_sec,
                   static_cast<int>(tv.tv_usec / 1000));
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line + n, sizeof line - static_cast<size_t>(n), fmt, ap);
  va_end(ap);
  // The line is built first and written in one call under the lock, so that
  // formatting never holds other threads up and lines never interleave.
  std::lock_guard<std::mutex> lock(g_mutex);
  fprintf(stderr, "%s\n", line);
  fflush(stderr);
}

}  // namespace ks
