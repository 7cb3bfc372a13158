// Stand-in for the debugger output of debug mode: standard error.
#pragma once
#include <cstddef>

namespace velarn {
void debug_output(const char* text, size_t len);
}
