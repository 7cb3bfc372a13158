// Segmentation offload on a TAP interface, done by us.
//
// A TAP interface that takes a virtio-net header per frame can be told that
// its reader segments TCP and fills in checksums. The kernel then hands over
// one TCP "super frame" of up to 64 KiB per read instead of one read per
// frame, and its own send path runs once per super frame. Everything past the
// reader still sees ordinary Ethernet frames no longer than the MTU allows:
// the reader cuts each super frame into the frames the sender would have made
// (headers copied, lengths, sequence numbers, IP ids and checksums set).
//
// Plain byte work with no system headers: the adapter host, the service's
// own data path and the reference server share it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velarn::offload {

// The virtio-net header the interface puts before (and expects before) each
// frame, in host byte order.
inline constexpr size_t VNET_HEADER = 10;
inline constexpr uint8_t VNET_F_NEEDS_CSUM = 1;
inline constexpr uint8_t VNET_GSO_NONE = 0;
inline constexpr uint8_t VNET_GSO_TCPV4 = 1;
inline constexpr uint8_t VNET_GSO_TCPV6 = 4;
inline constexpr uint8_t VNET_GSO_ECN = 0x80;
// Largest super frame the kernel hands over, header excluded.
inline constexpr size_t MAX_SUPER_FRAME = 65536 + 256;

struct VnetHeader {
  uint8_t flags = 0;
  uint8_t gso_type = VNET_GSO_NONE;
  uint16_t hdr_len = 0;
  uint16_t gso_size = 0;
  uint16_t csum_start = 0;
  uint16_t csum_offset = 0;
};

// The header as the interface lays it out, read from and written to p.
VnetHeader parse_vnet_header(const uint8_t* p);
void store_vnet_header(uint8_t* p, const VnetHeader& h);

// Ones' complement sum of len bytes (big-endian 16-bit words), not folded.
uint64_t sum_bytes(const uint8_t* p, size_t len, uint64_t sum = 0);

// Folds a sum from sum_bytes to 16 bits, in the same (host) byte layout as
// the words it was summed from: store it with memcpy.
uint16_t fold(uint64_t sum);

// Completes a checksum the kernel left partial: the field at start + offset
// holds the pseudo-header sum, and the sum from start to the end goes in.
// False when the offsets lie outside the frame.
bool complete_checksum(uint8_t* frame, size_t len, size_t start, size_t offset);

inline uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline void put_be16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Cuts one TCP super frame into the frames it stands for, one at a time, so
// that a reader short of buffers can stop and go on later.
class Segmenter {
 public:
  // Takes the super frame (Ethernet header first) and its virtio header; the
  // frame must stay in place until done(). False when it is not a TCP super
  // frame this code understands: the caller drops it.
  bool start(const uint8_t* frame, size_t len, const VnetHeader& h);

  bool done() const { return !active_ || pos_ >= payload_; }
  // Length of the next frame, 0 when done.
  size_t next_length() const {
    if (done()) return 0;
    size_t chunk = payload_ - pos_ < mss_ ? payload_ - pos_ : mss_;
    return headers_ + chunk;
  }

  // Writes the next frame into out (cap bytes); its length, or 0 when done
  // or when it does not fit (then the rest of the super frame is skipped).
  size_t next(uint8_t* out, size_t cap);

 private:
  const uint8_t* frame_ = nullptr;
  size_t len_ = 0, l3_ = 0, l4_ = 0, headers_ = 0, mss_ = 0, payload_ = 0, pos_ = 0;
  uint32_t seq_ = 0;
  uint16_t ip_id_ = 0;
  unsigned index_ = 0;
  bool v6_ = false;
  bool active_ = false;
};

}  // namespace velarn::offload
