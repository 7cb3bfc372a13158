#include "platform/linux/offload.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace velarn::offload;

namespace {

// A plain byte-by-byte Internet checksum over several pieces, as a receiver
// would check it: the result of a correct packet is 0.
uint16_t reference_sum(std::initializer_list<std::pair<const uint8_t*, size_t>> parts) {
  uint32_t sum = 0;
  for (auto [p, n] : parts) {
    for (size_t i = 0; i + 1 < n; i += 2) sum += uint32_t(p[i]) << 8 | p[i + 1];
    if (n & 1) sum += uint32_t(p[n - 1]) << 8;
  }
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

uint16_t tcp_check_v4(const uint8_t* ip, const uint8_t* tcp, size_t tcp_len) {
  uint8_t ph[12];
  std::memcpy(ph, ip + 12, 8);
  ph[8] = 0;
  ph[9] = 6;
  put_be16(ph + 10, static_cast<uint16_t>(tcp_len));
  return reference_sum({{ph, 12}, {tcp, tcp_len}});
}

uint16_t tcp_check_v6(const uint8_t* ip, const uint8_t* tcp, size_t tcp_len) {
  uint8_t ph[40] = {};
  std::memcpy(ph, ip + 8, 32);
  put_be32(ph + 32, static_cast<uint32_t>(tcp_len));
  ph[39] = 6;
  return reference_sum({{ph, 40}, {tcp, tcp_len}});
}

// Ethernet + IPv4 (or IPv6) + TCP with 12 option bytes, then payload bytes
// that count up, as the kernel hands a TSO burst over.
std::vector<uint8_t> super_frame(bool v6, size_t payload, uint8_t tcp_flags) {
  size_t iph = v6 ? 40 : 20, tcph = 32;
  std::vector<uint8_t> f(14 + iph + tcph + payload);
  for (int i = 0; i < 12; ++i) f[i] = uint8_t(0x10 + i);
  put_be16(&f[12], v6 ? 0x86DD : 0x0800);
  uint8_t* ip = &f[14];
  if (!v6) {
    ip[0] = 0x45;
    put_be16(ip + 2, static_cast<uint16_t>(f.size() - 14));
    put_be16(ip + 4, 0x1234);
    ip[6] = 0x40;  // don't fragment
    ip[8] = 64;
    ip[9] = 6;
    uint8_t addrs[8] = {192, 168, 233, 2, 192, 168, 233, 1};
    std::memcpy(ip + 12, addrs, 8);
  } else {
    ip[0] = 0x60;
    put_be16(ip + 4, static_cast<uint16_t>(tcph + payload));
    ip[6] = 6;
    ip[7] = 64;
    for (int i = 0; i < 32; ++i) ip[8 + i] = uint8_t(0xfd + i);
  }
  uint8_t* tcp = ip + iph;
  put_be16(tcp, 40000);
  put_be16(tcp + 2, 5201);
  put_be32(tcp + 4, 0xfffff000u);  // wraps within the burst
  put_be32(tcp + 8, 77);
  tcp[12] = uint8_t((tcph / 4) << 4);
  tcp[13] = tcp_flags;
  put_be16(tcp + 14, 501);
  tcp[20] = 1;  // NOP NOP timestamp
  tcp[21] = 1;
  tcp[22] = 8;
  tcp[23] = 10;
  for (size_t i = 0; i < payload; ++i) f[14 + iph + tcph + i] = uint8_t(i * 7 + 3);
  // The kernel leaves only the pseudo-header sum in the TCP checksum field.
  tcp[16] = 0xAB;
  tcp[17] = 0xCD;
  return f;
}

struct Cut {
  std::vector<std::vector<uint8_t>> frames;
  bool started;
};

Cut cut(const std::vector<uint8_t>& f, uint8_t type, uint16_t mss, size_t cap = 1514) {
  VnetHeader h;
  h.gso_type = type;
  h.gso_size = mss;
  h.flags = VNET_F_NEEDS_CSUM;
  Cut c;
  Segmenter s;
  c.started = s.start(f.data(), f.size(), h);
  while (c.started && !s.done()) {
    std::vector<uint8_t> out(cap);
    size_t n = s.next(out.data(), out.size());
    if (n == 0) break;
    out.resize(n);
    c.frames.push_back(std::move(out));
  }
  return c;
}

}  // namespace

TEST(Segmenter, CutsAnIpv4BurstIntoFramesAReceiverAccepts) {
  const size_t payload = 4000, mss = 1448;
  auto f = super_frame(false, payload, 0x18 | 0x01 | 0x80);  // PSH ACK FIN CWR
  Cut c = cut(f, VNET_GSO_TCPV4 | VNET_GSO_ECN, mss);
  ASSERT_TRUE(c.started);
  ASSERT_EQ(c.frames.size(), 3u);
  size_t seen = 0;
  for (size_t i = 0; i < c.frames.size(); ++i) {
    const auto& fr = c.frames[i];
    const uint8_t* ip = &fr[14];
    const uint8_t* tcp = ip + 20;
    size_t chunk = i < 2 ? mss : payload - 2 * mss;
    ASSERT_EQ(fr.size(), 14 + 20 + 32 + chunk) << i;
    EXPECT_EQ(0, std::memcmp(fr.data(), f.data(), 14));
    EXPECT_EQ(be16(ip + 2), fr.size() - 14);
    EXPECT_EQ(be16(ip + 4), 0x1234 + i);
    EXPECT_EQ(reference_sum({{ip, 20}}), 0) << "IP header checksum of frame " << i;
    EXPECT_EQ(tcp_check_v4(ip, tcp, fr.size() - 34), 0) << "TCP checksum of frame " << i;
    EXPECT_EQ(be32(tcp + 4), uint32_t(0xfffff000u + seen));
    EXPECT_EQ(0, std::memcmp(tcp + 20, &f[14 + 20 + 20], 12)) << "options kept";
    uint8_t flags = tcp[13];
    EXPECT_EQ((flags & 0x80) != 0, i == 0) << "CWR on the first frame only";
    EXPECT_EQ((flags & 0x09) != 0, i == 2) << "FIN and PSH on the last frame only";
    EXPECT_TRUE(flags & 0x10);
    EXPECT_EQ(0, std::memcmp(&fr[66], &f[66 + seen], chunk)) << "payload of frame " << i;
    seen += chunk;
  }
  EXPECT_EQ(seen, payload);
}

TEST(Segmenter, CutsAnIpv6BurstWithAnOddTail) {
  const size_t payload = 2 * 1428 + 1, mss = 1428;
  auto f = super_frame(true, payload, 0x18);
  Cut c = cut(f, VNET_GSO_TCPV6, mss);
  ASSERT_TRUE(c.started);
  ASSERT_EQ(c.frames.size(), 3u);
  EXPECT_EQ(c.frames[2].size(), 14 + 40 + 32 + 1u);
  for (const auto& fr : c.frames) {
    const uint8_t* ip = &fr[14];
    EXPECT_EQ(be16(ip + 4), fr.size() - 54);
    EXPECT_EQ(tcp_check_v6(ip, ip + 40, fr.size() - 54), 0);
  }
}

TEST(Segmenter, RefusesWhatItCannotCutAndStopsWhenAFrameDoesNotFit) {
  auto f = super_frame(false, 3000, 0x10);
  EXPECT_FALSE(cut(f, VNET_GSO_NONE, 1448).started) << "not a burst";
  EXPECT_FALSE(cut(f, VNET_GSO_TCPV4, 0).started) << "no segment size";
  EXPECT_FALSE(cut(f, VNET_GSO_TCPV6, 1448).started) << "type and frame disagree";
  auto udp = f;
  udp[14 + 9] = 17;
  EXPECT_FALSE(cut(udp, VNET_GSO_TCPV4, 1448).started) << "not TCP";
  std::vector<uint8_t> shortf(f.begin(), f.begin() + 40);
  EXPECT_FALSE(cut(shortf, VNET_GSO_TCPV4, 1448).started) << "headers cut short";
  auto bad = f;
  bad[14 + 20 + 12] = 0xF0;  // a 60-byte TCP header in a frame that ends first
  bad.resize(14 + 20 + 50);
  EXPECT_FALSE(cut(bad, VNET_GSO_TCPV4, 1448).started) << "TCP header runs past the frame";
  // A segment size the slots cannot hold ends the burst instead of writing past them.
  Cut c = cut(f, VNET_GSO_TCPV4, 2000, 1514);
  EXPECT_TRUE(c.started);
  EXPECT_TRUE(c.frames.empty());
}

TEST(Checksum, CompletesAPartialUdpChecksumAndChecksOffsets) {
  // IPv4 UDP with an odd payload; the kernel left the pseudo-header sum.
  std::vector<uint8_t> f(14 + 20 + 8 + 5);
  put_be16(&f[12], 0x0800);
  uint8_t* ip = &f[14];
  ip[0] = 0x45;
  ip[9] = 17;
  uint8_t addrs[8] = {10, 0, 0, 1, 10, 0, 0, 2};
  std::memcpy(ip + 12, addrs, 8);
  uint8_t* udp = ip + 20;
  put_be16(udp, 53);
  put_be16(udp + 2, 5353);
  put_be16(udp + 4, 13);
  for (int i = 0; i < 5; ++i) udp[8 + i] = uint8_t(0xF0 + i);
  uint8_t ph[12];
  std::memcpy(ph, ip + 12, 8);
  ph[8] = 0;
  ph[9] = 17;
  put_be16(ph + 10, 13);
  put_be16(udp + 6, static_cast<uint16_t>(~reference_sum({{ph, 12}})));  // folded pseudo sum
  ASSERT_TRUE(complete_checksum(f.data(), f.size(), 34, 6));
  EXPECT_EQ(reference_sum({{ph, 12}, {udp, 13}}), 0);
  EXPECT_FALSE(complete_checksum(f.data(), f.size(), f.size(), 6));
  EXPECT_FALSE(complete_checksum(f.data(), f.size(), 34, 12));
}

TEST(VnetHeader, RoundTrips) {
  VnetHeader h;
  h.flags = VNET_F_NEEDS_CSUM;
  h.gso_type = VNET_GSO_TCPV4;
  h.hdr_len = 66;
  h.gso_size = 1448;
  h.csum_start = 34;
  h.csum_offset = 16;
  uint8_t b[VNET_HEADER];
  store_vnet_header(b, h);
  VnetHeader g = parse_vnet_header(b);
  EXPECT_EQ(g.gso_size, 1448);
  EXPECT_EQ(g.csum_start, 34);
  EXPECT_EQ(g.csum_offset, 16);
  EXPECT_EQ(g.hdr_len, 66);
  EXPECT_EQ(g.gso_type, VNET_GSO_TCPV4);
}
