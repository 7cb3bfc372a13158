#include "platform/crash_file.h"

#include <fcntl.h>
#include <unistd.h>

namespace velarn {

CrashFile crash_file_stderr() { return STDERR_FILENO; }

CrashFile crash_file_of(FILE* stream) {
  int fd = stream ? fileno(stream) : -1;
  return fd >= 0 ? fd : kNoCrashFile;
}

CrashFile crash_file_open(const char* path, bool append) {
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (append ? O_APPEND : 0);
  int fd = open(path, flags, 0640);
  return fd >= 0 ? fd : kNoCrashFile;
}

void crash_file_write(CrashFile f, const char* data, size_t len) {
  while (len > 0) {
    ssize_t w = write(f, data, len);
    if (w <= 0) return;
    data += w;
    len -= static_cast<size_t>(w);
  }
}

bool crash_file_rewind(CrashFile f) { return ftruncate(f, 0) == 0 && lseek(f, 0, SEEK_SET) == 0; }

void crash_file_close(CrashFile f) {
  if (f >= 0) close(f);
}

}  // namespace velarn
