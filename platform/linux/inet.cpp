#include "platform/inet.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace velarn {

void ipv6_text(const uint8_t* a16, char* out, size_t size) {
  if (size == 0) return;
  // Too small a buffer gets an empty text rather than a cut-off address.
  if (!inet_ntop(AF_INET6, a16, out, static_cast<socklen_t>(size))) out[0] = 0;
}

}  // namespace velarn
