// The files a crash handler writes to. It may run with the heap broken and
// any lock held, so these calls allocate nothing, take no lock and use only
// what the system allows in a signal handler; the buffered FILE* world is
// out of bounds there. Handles are opened ahead where they can be.
#pragma once
#include <cstddef>
#include <cstdio>

namespace velarn {

using CrashFile = int;
inline constexpr CrashFile kNoCrashFile = -1;

// Standard error, for a process that logs there.
CrashFile crash_file_stderr();
// The handle under an open stream (every buffered line flushed first is the
// caller's affair), or kNoCrashFile.
CrashFile crash_file_of(FILE* stream);

// Opens path for writing, created mode 0640 when missing, never through a
// symbolic link and not inherited by child processes; append adds at the
// end, else writing starts wherever the file is positioned. kNoCrashFile on
// failure.
CrashFile crash_file_open(const char* path, bool append);
// Writes all of data, or as much as the file takes.
void crash_file_write(CrashFile f, const char* data, size_t len);
// Empties the file and writes from its start again. False when it cannot.
bool crash_file_rewind(CrashFile f);
void crash_file_close(CrashFile f);

}  // namespace velarn
