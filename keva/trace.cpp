#include "trace.h"

#include <apr_strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <string>

#include "platform/crash_file.h"
#include "platform/secure_file.h"
#include "platform/service.h"
#include "platform/system_info.h"

namespace {

struct Ring {
  std::mutex mutex;
  // Read without the lock on every trace call from any thread.
  std::atomic<bool> on{false};
  long capacity = 0;
  long pos = 0;
  // Set once an append has wrapped; only needed to read a write position that
  // has come to rest exactly at the end of the ring.
  bool wrapped = false;
  char* data = nullptr;
  std::string file;
};

Ring g_ring;

// Caller holds the mutex.
void ring_append(const char* text, size_t len) {
  Ring& r = g_ring;
  long n = static_cast<long>(len);
  if (n > r.capacity) n = r.capacity;
  if (n <= 0) return;
  if (r.pos + n > r.capacity) {
    long first = r.capacity - r.pos;
    std::memcpy(r.data + r.pos, text, first);
    std::memcpy(r.data, text + first, n - first);
    r.pos = n - first;
    r.wrapped = true;
  } else {
    std::memcpy(r.data + r.pos, text, n);
    r.pos += n;
  }
}

// Pads buf (holding len characters) with blanks up to col; returns the new length.
size_t pad_to(char* buf, size_t len, size_t col, size_t size) {
  while (len < col && len + 1 < size) buf[len++] = ' ';
  buf[len] = 0;
  return len;
}

void write_all(FILE* f, const char* p, long n) {
  if (n > 0) std::fwrite(p, 1, static_cast<size_t>(n), f);
}

}  // namespace

namespace {

int ring_start(long capacity, const char* file) {
  char* data = static_cast<char*>(std::calloc(static_cast<size_t>(capacity) + 1, 1));
  if (!data) return -1;
  std::lock_guard<std::mutex> lock(g_ring.mutex);
  std::free(g_ring.data);
  g_ring.data = data;
  g_ring.capacity = capacity;
  g_ring.pos = 0;
  g_ring.wrapped = false;
  g_ring.file = file ? file : "";
  g_ring.on = true;
  return 0;
}

}  // namespace

int trace_start(long size_mb, const char* file) {
  // A negative size in the settings would otherwise become a huge allocation.
  return ring_start(size_mb > 0 ? size_mb * 1000000L : 0, file);
}

bool trace_is_on(void) { return g_ring.on; }

void trace_reset_for_test(long capacity, const char* file) {
  if (capacity >= 0 && ring_start(capacity, file) == 0) return;
  std::lock_guard<std::mutex> lock(g_ring.mutex);
  std::free(g_ring.data);
  g_ring.data = nullptr;
  g_ring.on = false;
  g_ring.capacity = 0;
  g_ring.pos = 0;
  g_ring.wrapped = false;
  g_ring.file.clear();
}

void trace_append(const char* text, size_t len) {
  if (!g_ring.on) return;
  std::lock_guard<std::mutex> lock(g_ring.mutex);
  ring_append(text, len);
}

static void trace_vrecord(apr_sockaddr_t* addr, const char* label, const char* fmt, va_list ap) {
  if (!g_ring.on) return;
  char head[160];
  char text[1024];
  size_t len = apr_snprintf(head, sizeof head, "[%ld] ", velarn::os_thread_id());
  len = pad_to(head, len, 8, sizeof head);
  size_t col = 8;
  if (addr) {
    len += apr_snprintf(head + len, sizeof head - len, "%pI ", addr);
    col = 32;
    len = pad_to(head, len, col, sizeof head);
  }
  if (label) {
    len += apr_snprintf(head + len, sizeof head - len, "%s ", label);
    len = pad_to(head, len, col + 24, sizeof head);
  }
  size_t tlen = apr_vsnprintf(text, sizeof text, fmt, ap);
  std::lock_guard<std::mutex> lock(g_ring.mutex);
  ring_append(head, len);
  ring_append(text, tlen);
  ring_append("\n", 1);
}

void trace_printf(apr_sockaddr_t* addr, const char* label, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  trace_vrecord(addr, label, fmt, ap);
  va_end(ap);
}

void trace_call(const char* name, apr_sockaddr_t* addr, int arg, apr_status_t status, int result) {
  if (!g_ring.on) return;
  if (status == 0) {
    trace_printf(addr, nullptr, "%s(%d) = %d", name, arg, result);
  } else {
    char err[256];
    apr_strerror(status, err, sizeof err);
    trace_printf(addr, nullptr, "%s(%d) = -1 (%s)", name, arg, err);
  }
}

void trace_thread_start(const char* name) {
  velarn::crash_thread_enter();  // every service thread passes here first
  trace_printf(nullptr, nullptr, "%s: starting thread: %ld", name, velarn::os_thread_id());
}

void trace_thread_exit(const char* name) {
  trace_printf(nullptr, nullptr, "%s: exiting thread: %ld", name, velarn::os_thread_id());
}

int trace_dump(void) {
  if (!g_ring.on || g_ring.file.empty()) return 0;
  FILE* f = velarn::open_service_file(g_ring.file, "w");
  if (!f) return errno ? errno : EIO;
  {
    // The dump also runs from the crash handler, possibly in a thread that
    // died holding the lock: wait a while for it, then write regardless.
    std::unique_lock<std::mutex> lock(g_ring.mutex, std::defer_lock);
    for (int i = 0; i < 100 && !lock.try_lock(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Ring& r = g_ring;
    if (r.capacity > 0) {
      // A write position at the very end means the oldest text starts at 0:
      // the ring is in order, but after a wrap its first line may be cut.
      long pos = r.pos;
      bool oldest_after_pos = pos < r.capacity ? r.data[pos] != 0 : false;
      if (oldest_after_pos) {
        const char* lf = static_cast<const char*>(std::memchr(r.data + pos, '\n', r.capacity - pos));
        if (lf) write_all(f, lf + 1, r.data + r.capacity - (lf + 1));
        write_all(f, r.data, pos);
      } else if (pos == r.capacity && r.wrapped) {
        const char* lf = static_cast<const char*>(std::memchr(r.data, '\n', r.capacity));
        if (lf) write_all(f, lf + 1, r.data + r.capacity - (lf + 1));
      } else {
        write_all(f, r.data, pos);
      }
    }
  }
  bool failed = std::ferror(f) != 0;
  if (std::fclose(f) != 0) failed = true;
  return failed ? (errno ? errno : EIO) : 0;
}

// --- crash dump ---------------------------------------------------------------
// The crash handler may run with the heap broken or the ring's lock held by
// the thread that crashed: the file is opened ahead, the ring is taken if its
// lock is free and read as it is otherwise, and only write(2) is used.

namespace {
velarn::CrashFile g_crash_fd = velarn::kNoCrashFile;

void write_fd(velarn::CrashFile fd, const char* p, long n) {
  if (n > 0) velarn::crash_file_write(fd, p, static_cast<size_t>(n));
}
}  // namespace

void trace_crash_prepare(void) {
  if (!g_ring.on || g_ring.file.empty() || g_crash_fd != velarn::kNoCrashFile) return;
  g_crash_fd = velarn::crash_file_open(g_ring.file.c_str(), false);
}

void trace_crash_dump(const char* last_line, size_t len) {
  if (!g_ring.on || g_crash_fd == velarn::kNoCrashFile) return;
  bool locked = g_ring.mutex.try_lock();
  Ring& r = g_ring;
  if (velarn::crash_file_rewind(g_crash_fd) && r.capacity > 0) {
    long pos = r.pos;
    if (pos < 0 || pos > r.capacity) pos = 0;
    if (pos < r.capacity && r.data[pos] != 0) {
      const char* lf = static_cast<const char*>(std::memchr(r.data + pos, '\n', r.capacity - pos));
      if (lf) write_fd(g_crash_fd, lf + 1, r.data + r.capacity - (lf + 1));
      write_fd(g_crash_fd, r.data, pos);
    } else {
      write_fd(g_crash_fd, r.data, pos);
    }
  }
  write_fd(g_crash_fd, last_line, static_cast<long>(len));
  if (locked) g_ring.mutex.unlock();
}
