// libFuzzer target: the settings reader on arbitrary text. Every entry it
// reports must lie within the text, and a syntax error must name a line
// that exists.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "config.h"

namespace {
struct Seen {
  size_t entries = 0;
};
void visit(void* ctx, const char* section, const char* name, const char* value) {
  auto* s = static_cast<Seen*>(ctx);
  ++s->entries;
  if (name && !value) std::abort();
  if (section) (void)std::strlen(section);
  if (name) (void)std::strlen(name);
  if (value) (void)std::strlen(value);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Seen seen;
  long bad = config_parse_text(reinterpret_cast<const char*>(data), size, visit, &seen);
  if (bad < 0) std::abort();
  if (bad > 0) {
    size_t lines = 1;
    for (size_t i = 0; i < size; ++i) lines += data[i] == '\n';
    if (static_cast<size_t>(bad) > lines) std::abort();
  }
  return 0;
}
