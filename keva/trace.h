// The trace: a fixed ring of recent log lines and low-level call records,
// written to a file at exit and on a crash. Off until trace_start (the
// service starts it when the settings have a [trace] section); every call is
// then a no-op. The bottom of the service: it reports through its results
// and never logs, since the log writes into it.
#pragma once
#include <apr_network_io.h>
#include <apr_pools.h>
#include <cstddef>

// Switches the trace on with a ring of size_mb million bytes (none when not
// positive: records are then lost, the dump writes an empty file) dumped to
// file. Returns 0, or -1 when the ring cannot be allocated.
int trace_start(long size_mb, const char* file);
bool trace_is_on(void);

// One record: "[%pT] " padded to 8, then "%pI " padded to 32 when addr is
// given, then "%s " padded 24 further when label is given, then the text (at
// most 1023 characters) and a line feed. The whole record is written under
// the ring's lock.
void trace_printf(apr_sockaddr_t* addr, const char* label, const char* fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
// "%s(%d) = %d", or "%s(%d) = -1 (%s)" with the error text when status != 0.
void trace_call(const char* name, apr_sockaddr_t* addr, int arg, apr_status_t status, int result);
void trace_thread_start(const char* name);
void trace_thread_exit(const char* name);
// Appends raw bytes (a whole log line) to the ring.
void trace_append(const char* text, size_t len);
// Writes the ring to the trace file, oldest first. 0 (also while the trace
// is off), or the system's error number when the file cannot be written.
int trace_dump(void);
// The crash handler's dump: the file is opened by trace_crash_prepare (after
// trace_start); the dump takes no lock it could wait on and allocates nothing.
// last_line (the crash line) ends the dump.
void trace_crash_prepare(void);
void trace_crash_dump(const char* last_line, size_t len);

// For tests: switch the trace on with a ring of the given capacity and file,
// or off (capacity < 0).
void trace_reset_for_test(long capacity, const char* file);
