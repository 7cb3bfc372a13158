// The adapter's interface name follows from its instance id alone, the same
// on every system.
#include "platform/addressing.h"

#include <cctype>

namespace velarn {

std::string adapter_interface_name(const std::string& id) {
  std::string n = "vln";
  auto brace = id.find('{');
  for (size_t i = brace == std::string::npos ? 0 : brace + 1; i < id.size() && n.size() < 11; ++i) {
    char c = id[i];
    if (std::isxdigit(static_cast<unsigned char>(c))) n += char(std::tolower(static_cast<unsigned char>(c)));
  }
  return n;
}

}  // namespace velarn
