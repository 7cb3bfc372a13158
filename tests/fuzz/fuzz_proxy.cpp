// libFuzzer target: a proxy's reply to CONNECT. A refusal always comes with
// its log text, and that text stays within its buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "remote.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  char out[256];
  std::memset(out, 'x', sizeof out);
  int fatal = 0;
  int rc = proxy_reply_judge(reinterpret_cast<const char*>(data), size, out, sizeof out, &fatal);
  if (rc != 0 && rc != -1) std::abort();
  if (rc == -1 && (std::memchr(out, 0, sizeof out) == nullptr || out[0] == 0)) std::abort();
  return 0;
}
