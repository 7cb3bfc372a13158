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
// Plain byte work with no system headers, so every TAP reader can share it.
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

inline VnetHeader parse_vnet_header(const uint8_t* p) {
  VnetHeader h;
  h.flags = p[0];
  h.gso_type = p[1];
  std::memcpy(&h.hdr_len, p + 2, 2);
  std::memcpy(&h.gso_size, p + 4, 2);
  std::memcpy(&h.csum_start, p + 6, 2);
  std::memcpy(&h.csum_offset, p + 8, 2);
  return h;
}

inline void store_vnet_header(uint8_t* p, const VnetHeader& h) {
  p[0] = h.flags;
  p[1] = h.gso_type;
  std::memcpy(p + 2, &h.hdr_len, 2);
  std::memcpy(p + 4, &h.gso_size, 2);
  std::memcpy(p + 6, &h.csum_start, 2);
  std::memcpy(p + 8, &h.csum_offset, 2);
}

// Ones' complement sum of len bytes (big-endian 16-bit words), not folded.
inline uint64_t sum_bytes(const uint8_t* p, size_t len, uint64_t sum = 0) {
  while (len >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    // Byte order does not matter for a ones' complement sum as long as the
    // result is swapped back the same way; see fold().
    sum += w >> 32;
    sum += w & 0xffffffffu;
    p += 8;
    len -= 8;
  }
  while (len >= 2) {
    uint16_t w;
    std::memcpy(&w, p, 2);
    sum += w;
    p += 2;
    len -= 2;
  }
  if (len) {
    uint16_t w = 0;
    std::memcpy(&w, p, 1);  // the odd byte is the high byte in network order
    sum += w;
  }
  return sum;
}

// Folds a sum from sum_bytes to 16 bits, in the same (host) byte layout as
// the words it was summed from: store it with memcpy.
inline uint16_t fold(uint64_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

// Completes a checksum the kernel left partial: the field at start + offset
// holds the pseudo-header sum, and the sum from start to the end goes in.
// False when the offsets lie outside the frame.
inline bool complete_checksum(uint8_t* frame, size_t len, size_t start, size_t offset) {
  if (start >= len || offset + 2 > len - start) return false;
  uint16_t c = static_cast<uint16_t>(~fold(sum_bytes(frame + start, len - start)));
  // An all-zero UDP checksum means "none"; the same value's other form is
  // right for every protocol.
  if (c == 0) c = 0xffff;
  std::memcpy(frame + start + offset, &c, 2);
  return true;
}

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
  bool start(const uint8_t* frame, size_t len, const VnetHeader& h) {
    frame_ = frame;
    len_ = len;
    pos_ = 0;
    index_ = 0;
    active_ = false;
    uint8_t type = h.gso_type & static_cast<uint8_t>(~VNET_GSO_ECN);
    if (type != VNET_GSO_TCPV4 && type != VNET_GSO_TCPV6) return false;
    if (h.gso_size == 0 || len < 14) return false;
    l3_ = 14;
    uint16_t ethertype = be16(frame + 12);
    if (ethertype == 0x8100) {  // one VLAN tag
      if (len < 18) return false;
      l3_ = 18;
      ethertype = be16(frame + 16);
    }
    v6_ = type == VNET_GSO_TCPV6;
    if (!v6_) {
      if (ethertype != 0x0800 || len < l3_ + 20) return false;
      size_t ihl = size_t(frame[l3_] & 0x0f) * 4;
      if ((frame[l3_] >> 4) != 4 || ihl < 20 || frame[l3_ + 9] != 6) return false;
      l4_ = l3_ + ihl;
    } else {
      // Extension headers would need walking; the kernel's own TCP never
      // sends them on a super frame.
      if (ethertype != 0x86DD || len < l3_ + 40 || frame[l3_ + 6] != 6) return false;
      l4_ = l3_ + 40;
    }
    if (h.csum_start && h.csum_start != l4_) return false;
    if (len < l4_ + 20) return false;
    size_t thl = size_t(frame[l4_ + 12] >> 4) * 4;
    if (thl < 20 || len < l4_ + thl) return false;
    headers_ = l4_ + thl;
    mss_ = h.gso_size;
    payload_ = len - headers_;
    if (payload_ == 0) return false;
    seq_ = be32(frame + l4_ + 4);
    if (!v6_) ip_id_ = be16(frame + l3_ + 4);
    active_ = true;
    return true;
  }

  bool done() const { return !active_ || pos_ >= payload_; }
  // Length of the next frame, 0 when done.
  size_t next_length() const {
    if (done()) return 0;
    size_t chunk = payload_ - pos_ < mss_ ? payload_ - pos_ : mss_;
    return headers_ + chunk;
  }

  // Writes the next frame into out (cap bytes); its length, or 0 when done
  // or when it does not fit (then the rest of the super frame is skipped).
  size_t next(uint8_t* out, size_t cap) {
    size_t n = next_length();
    if (n == 0) return 0;
    if (n > cap) {
      active_ = false;
      return 0;
    }
    size_t chunk = n - headers_;
    bool last = pos_ + chunk >= payload_;
    std::memcpy(out, frame_, headers_);
    std::memcpy(out + headers_, frame_ + headers_ + pos_, chunk);
    uint8_t* ip = out + l3_;
    uint8_t* tcp = out + l4_;
    size_t tcp_len = n - l4_;
    put_be32(tcp + 4, seq_ + static_cast<uint32_t>(pos_));
    uint8_t flags = tcp[13];
    if (index_ > 0) flags &= static_cast<uint8_t>(~0x80);  // CWR: first frame only
    if (!last) flags &= static_cast<uint8_t>(~0x09);        // FIN, PSH: last frame only
    tcp[13] = flags;
    uint64_t pseudo;
    if (!v6_) {
      put_be16(ip + 2, static_cast<uint16_t>(n - l3_));
      put_be16(ip + 4, static_cast<uint16_t>(ip_id_ + index_));
      ip[10] = ip[11] = 0;
      size_t ihl = l4_ - l3_;
      uint16_t ic = static_cast<uint16_t>(~fold(sum_bytes(ip, ihl)));
      std::memcpy(ip + 10, &ic, 2);
      uint8_t ph[12];
      std::memcpy(ph, ip + 12, 8);
      ph[8] = 0;
      ph[9] = 6;
      put_be16(ph + 10, static_cast<uint16_t>(tcp_len));
      pseudo = sum_bytes(ph, sizeof ph);
    } else {
      put_be16(ip + 4, static_cast<uint16_t>(tcp_len));
      uint8_t ph[40];
      std::memcpy(ph, ip + 8, 32);
      put_be32(ph + 32, static_cast<uint32_t>(tcp_len));
      ph[36] = ph[37] = ph[38] = 0;
      ph[39] = 6;
      pseudo = sum_bytes(ph, sizeof ph);
    }
    tcp[16] = tcp[17] = 0;
    uint16_t tc = static_cast<uint16_t>(~fold(sum_bytes(tcp, tcp_len, pseudo)));
    std::memcpy(tcp + 16, &tc, 2);
    pos_ += chunk;
    ++index_;
    return n;
  }

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
