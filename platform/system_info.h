// What the system description line is made of.
#pragma once
#include <string>

namespace velarn {

struct OsInfo {
  std::string product;  // distribution's pretty name, e.g. "Debian GNU/Linux 12 (bookworm)"
  std::string kernel;   // kernel release, e.g. "6.1.0-18-amd64"
  std::string machine;  // "x86_64", "i686", "aarch64" ...
};

// false when the kernel cannot be asked.
bool os_info(OsInfo& out);

// The calling thread's id as the system's tools show it (ps -L, gdb, the
// journal), not the threads library's handle.
long os_thread_id();

}  // namespace velarn
