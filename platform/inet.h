// Internet addresses as the route rows and the socket address structures
// hold them: numbers in network byte order, IPv6 addresses as 16 bytes. The
// byte-order rules are the language's own and need no system; only the text
// form of an IPv6 address (its shortest form, with "::") asks the system.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace velarn {

constexpr uint32_t byte_swap32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}
constexpr uint16_t byte_swap16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }

// Network byte order (big-endian) to the host's and back.
constexpr uint32_t net_to_host32(uint32_t v) { return std::endian::native == std::endian::big ? v : byte_swap32(v); }
constexpr uint32_t host_to_net32(uint32_t v) { return net_to_host32(v); }
constexpr uint16_t net_to_host16(uint16_t v) { return std::endian::native == std::endian::big ? v : byte_swap16(v); }
constexpr uint16_t host_to_net16(uint16_t v) { return net_to_host16(v); }

// Longest text of an address, with its terminating zero.
inline constexpr size_t kIpv4TextSize = 16;
inline constexpr size_t kIpv6TextSize = 46;

// An IPv4 address written in IPv6 form (::ffff:a.b.c.d).
constexpr bool is_v4_mapped(const uint8_t* a16) {
  for (int i = 0; i < 10; ++i)
    if (a16[i] != 0) return false;
  return a16[10] == 0xff && a16[11] == 0xff;
}

// "a.b.c.d" of four bytes in network order; out holds kIpv4TextSize.
inline void ipv4_text(const uint8_t* a4, char* out, size_t size) {
  if (size) std::snprintf(out, size, "%u.%u.%u.%u", a4[0], a4[1], a4[2], a4[3]);
}
// The IPv6 address's usual text ("fd00::1"); out holds kIpv6TextSize.
void ipv6_text(const uint8_t* a16, char* out, size_t size);

}  // namespace velarn
