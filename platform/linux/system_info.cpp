#include <sys/syscall.h>
#include <unistd.h>
#include "platform/system_info.h"

#include <sys/utsname.h>

#include <fstream>

namespace velarn {

static std::string os_release_name() {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("PRETTY_NAME=", 0) != 0) continue;
      std::string v = line.substr(12);
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
      return v;
    }
  }
  return {};
}

bool os_info(OsInfo& out) {
  struct utsname u;
  if (uname(&u) != 0) return false;
  out.product = os_release_name();
  if (out.product.empty()) out.product = u.sysname;
  out.kernel = u.release;
  out.machine = u.machine;
  return true;
}

long os_thread_id() { return static_cast<long>(syscall(SYS_gettid)); }

}  // namespace velarn
