// Where a path leads, judged by its text alone: the same on every system.
#include "platform/secure_file.h"

namespace velarn {

bool path_inside(const std::string& path, const std::string& folder) {
  if (folder.empty() || path.size() <= folder.size() + 1) return false;
  if (path.compare(0, folder.size(), folder) != 0 || path[folder.size()] != '/') return false;
  size_t pos = folder.size() + 1;
  while (pos <= path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    std::string step = path.substr(pos, next - pos);
    if (step.empty() || step == "." || step == "..") return false;
    pos = next + 1;
  }
  return true;
}

}  // namespace velarn
