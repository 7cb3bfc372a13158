#include "platform/linux/offload.h"

#include <cstring>

namespace velarn::offload {

VnetHeader parse_vnet_header(const uint8_t* p) {
  VnetHeader h;
  h.flags = p[0];
  h.gso_type = p[1];
  std::memcpy(&h.hdr_len, p + 2, 2);
  std::memcpy(&h.gso_size, p + 4, 2);
  std::memcpy(&h.csum_start, p + 6, 2);
  std::memcpy(&h.csum_offset, p + 8, 2);
  return h;
}

void store_vnet_header(uint8_t* p, const VnetHeader& h) {
  p[0] = h.flags;
  p[1] = h.gso_type;
  std::memcpy(p + 2, &h.hdr_len, 2);
  std::memcpy(p + 4, &h.gso_size, 2);
  std::memcpy(p + 6, &h.csum_start, 2);
  std::memcpy(p + 8, &h.csum_offset, 2);
}

uint64_t sum_bytes(const uint8_t* p, size_t len, uint64_t sum) {
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

uint16_t fold(uint64_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

bool complete_checksum(uint8_t* frame, size_t len, size_t start, size_t offset) {
  if (start >= len || offset + 2 > len - start) return false;
  uint16_t c = static_cast<uint16_t>(~fold(sum_bytes(frame + start, len - start)));
  // An all-zero UDP checksum means "none"; the same value's other form is
  // right for every protocol.
  if (c == 0) c = 0xffff;
  std::memcpy(frame + start + offset, &c, 2);
  return true;
}

bool Segmenter::start(const uint8_t* frame, size_t len, const VnetHeader& h) {
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

size_t Segmenter::next(uint8_t* out, size_t cap) {
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
  if (!last) flags &= static_cast<uint8_t>(~0x09);       // FIN, PSH: last frame only
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

}  // namespace velarn::offload
