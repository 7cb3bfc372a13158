// The service's one log writer. It stands on the trace alone; whoever starts
// it hands in where the lines go. Every line goes, by fixed rules, to the trace,
// the current session (its log and the report step), and the main log, the
// fallback kevad-error.log or, in debug mode, the debug output.
//
// Formats are APR's (apr_vsnprintf): printf conversions plus %pI (socket
// address), %pT (thread id) and %pp (pointer). Lines are built in fixed stack
// buffers: the message is cut at 255 characters, the line at 511.
#pragma once
#include <apr_network_io.h>
#include <apr_pools.h>
#include <cstdarg>
#include <cstddef>

enum {
  KLOG_CRITICAL = 0,
  KLOG_ERROR = 1,
  KLOG_WARNING = 2,
  KLOG_NOTICE = 3,
  KLOG_INFO = 4,
  KLOG_DEBUG = 5,
};

// The compiler checks each call's arguments against its format (the runtime's
// own %pI, %pT and %pp read as %p followed by a letter, which fits).
#if defined(__GNUC__)
#define KLOG_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define KLOG_PRINTF(f, a)
#endif

// The level names as printed ("critical" ... "debug"); NULL out of range.
const char* log_level_name(int level);

void log_debug(const char* fmt, ...) KLOG_PRINTF(1, 2);
void log_info(const char* fmt, ...) KLOG_PRINTF(1, 2);
void log_warning(const char* fmt, ...) KLOG_PRINTF(1, 2);
void log_error(const char* fmt, ...) KLOG_PRINTF(1, 2);
// The connection forms: the line carries "%pI: " with the peer's address.
void log_info_peer(apr_sockaddr_t* peer, const char* fmt, ...) KLOG_PRINTF(2, 3);
void log_error_peer(apr_sockaddr_t* peer, const char* fmt, ...) KLOG_PRINTF(2, 3);
void log_vwrite(int level, apr_sockaddr_t* peer, const char* fmt, va_list ap);

// "%s: %s" at error level with the runtime's text for the status.
void log_apr_error(const char* name, apr_status_t status);
// System error numbers carried as runtime status codes.
inline apr_status_t log_os_status(int os_error) { return os_error ? APR_FROM_OS_ERROR(os_error) : 0; }
// Every pending TLS library error as "%s: %s"; empties the error queue.
void log_ssl_errors(const char* name);

// Builds the whole line ("<time> [<level>] <prefix><message>\n") into out
// (at least 512 bytes); returns its length. The message part is stored at
// *msg (a pointer into out) without the line feed's effect on it: the caller
// gets the message text as its own zero-terminated copy in msgbuf (256 bytes).
size_t log_format_line(char* out, char* msgbuf, int level, apr_sockaddr_t* peer, const char* fmt, va_list ap);

// --- Process-wide writer state -------------------------------------------

// Debug mode sends lines to the debug output instead of the main log; the
// debug-level flag lets debug lines through to it at all.
void log_set_modes(bool debug_mode, bool debug_level);
bool log_debug_mode();

// Opens the main log at path (the service hands in its setting) for
// appending. Does nothing in debug mode. Returns 0 or -1 (the system's
// message printed on standard error).
int log_open(const char* path);
// Closes the main log (service mode); later lines go to kevad-error.log.
void log_close(void);

// The session controller's hook: called for every line while a session is
// current, with the whole line and the bare message. It writes the session
// log and decides on events. NULL removes it.
typedef void (*log_session_sink_fn)(int level, const char* line, size_t line_len, const char* message);
void log_set_session_sink(log_session_sink_fn sink);

// For the crash handler: log_crash_write writes one whole line with write(2)
// where the next line would have gone (the main log, standard error in debug
// mode, else kevad-error.log, whose path log_crash_prepare fixes ahead); no
// lock, no allocation, no hook.
void log_crash_prepare(void);
void log_crash_write(const char* line, size_t len);
