// libFuzzer target: the INF reader on arbitrary text. It either gives a
// usable description or a message, never both missing.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/inf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  velarn::InfInfo info;
  std::string error;
  bool ok = velarn::parse_inf(std::string(reinterpret_cast<const char*>(data), size), info, error);
  if (!ok && error.empty()) std::abort();
  if (ok && info.service_name.empty()) std::abort();
  return 0;
}
