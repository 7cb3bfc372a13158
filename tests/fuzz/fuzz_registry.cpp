// libFuzzer target: a registry values file as it may be found on disk. A
// file that reads must write back to text that reads the same.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<velarn::RegNamedValue> values, again;
  std::string error;
  if (!velarn::parse_values(std::string(reinterpret_cast<const char*>(data), size), values, error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  std::string text = velarn::format_values(values);
  if (!velarn::parse_values(text, again, error) || velarn::format_values(again) != text) std::abort();
  return 0;
}
