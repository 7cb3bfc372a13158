// libFuzzer target: what a server sends. The first byte picks the reader:
// the tunnel walk over a buffer of records, or the login answer, server
// information and trace description of single messages.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "keva12.h"

namespace {
struct Delivered {
  const unsigned char* begin;
  const unsigned char* end;
};
int deliver(void* ctx, unsigned char* record, size_t len) {
  auto* d = static_cast<Delivered*>(ctx);
  if (record < d->begin || record + len > d->end || len < KEVA12_HEADER_SIZE) std::abort();
  return 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  ++data;
  --size;
  if (mode & 1) {
    auto buf = std::make_unique<unsigned char[]>(TUNNEL_BUFFER_SIZE);
    size_t held = size < TUNNEL_BUFFER_SIZE ? size : TUNNEL_BUFFER_SIZE;
    std::memcpy(buf.get(), data, held);
    Delivered d{buf.get(), buf.get() + held};
    int rc = tunnel_walk(buf.get(), &held, deliver, &d);
    if (held > TUNNEL_BUFFER_SIZE || (rc != TUNNEL_WALK_OK && rc != TUNNEL_WALK_OVERSIZED)) std::abort();
    return 0;
  }
  // Messages one after another: code, 16-bit length, a reserved byte, payload.
  ServerInfo info{};
  while (size >= KEVA12_HEADER_SIZE) {
    size_t len = (size_t(data[1]) << 8) | data[2];
    if (len > size - KEVA12_HEADER_SIZE) len = size - KEVA12_HEADER_SIZE;
    const unsigned char* payload = data + KEVA12_HEADER_SIZE;
    const char* reason = nullptr;
    int fatal = 0;
    if (keva12_login_answer(data[0], payload, len, &reason, &fatal) < 0 && !reason) std::abort();
    keva12_server_info_apply(&info, data[0], payload, len);
    if (std::memchr(info.version, 0, sizeof info.version) == nullptr ||
        std::memchr(info.system, 0, sizeof info.system) == nullptr)
      std::abort();
    char text[KEVA12_DESCRIPTION_MAX + 1];
    if (keva12_describe(text, data[0], payload, len) > KEVA12_DESCRIPTION_MAX) std::abort();
    data += KEVA12_HEADER_SIZE + len;
    size -= KEVA12_HEADER_SIZE + len;
  }
  return 0;
}
