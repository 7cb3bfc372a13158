#pragma once
// One line per event on standard error; lines from several threads never interleave.
#include <cstdarg>

namespace ks {

enum LogLevel { LOG_ERROR = 0, LOG_EVENT = 1, LOG_DEBUG = 2 };

// Set once at start, before any thread runs; read without a lock.
void log_set_level(int level);
int log_level();
// Lines longer than 1 KiB are cut. Safe from any thread.
void logf(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace ks
