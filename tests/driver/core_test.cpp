// The miniport core driven through its host interface by an in-memory host
// and key store.
#include <gtest/gtest.h>

#include <algorithm>

#include <map>
#include <string>
#include <vector>

#include "driver/core/fast_path.h"
#include "driver/core/miniport.h"

using namespace velarn;
using namespace velarn::vlncard;

namespace {

class MemKeys : public KeyStore {
 public:
  struct V {
    bool is_int;
    uint32_t i;
    std::string s;
  };
  std::map<std::string, V> values;
  std::optional<std::string> get_string(const std::string& n) override {
    auto it = values.find(n);
    if (it == values.end() || it->second.is_int) return std::nullopt;
    return it->second.s;
  }
  std::optional<uint32_t> get_integer(const std::string& n) override {
    auto it = values.find(n);
    if (it == values.end()) return std::nullopt;
    if (it->second.is_int) return it->second.i;
    return parse_decimal_u32(it->second.s);
  }
  void set_integer(const std::string& n, uint32_t v) override { values[n] = {true, v, {}}; }
  void set_string(const std::string& n, const std::string& v) override { values[n] = {false, 0, v}; }
};

class TestHost : public MiniportHost {
 public:
  AdapterContext* adapter = nullptr;
  std::vector<std::vector<uint8_t>> received;
  std::vector<size_t> indication_sizes;
  std::vector<uint32_t> statuses;
  std::vector<std::pair<OutPacket*, uint32_t>> completed_packets;
  std::vector<ReadRequest> completed_reads;
  bool timer_set = false;
  bool return_later = false;
  std::vector<ReceiveDescriptor*> held;

  size_t refuse = 0;  // how many of each indication the system does not take
  size_t indicate_receive(ReceiveDescriptor* const* p, size_t n) override {
    indication_sizes.push_back(n);
    for (size_t i = 0; i < n; ++i) {
      received.emplace_back(p[i]->data, p[i]->data + p[i]->length);
      if (return_later)
        held.push_back(p[i]);
      else
        adapter->return_packet(p[i]);
    }
    return n - std::min(refuse, n);
  }
  void indicate_status(uint32_t s) override { statuses.push_back(s); }
  void send_complete(OutPacket* p, uint32_t s) override { completed_packets.push_back({p, s}); }
  void read_complete(ReadRequest* r) override { completed_reads.push_back(*r); }
  void set_timer(unsigned) override { timer_set = true; }
  bool cancel_timer() override {
    bool was = timer_set;
    timer_set = false;
    return was;
  }
};

const char* kGuid = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
const char* kGuid2 = "{0A1B2C3D-0000-1111-2222-333344445555}";

std::vector<uint8_t> frame(size_t len, uint8_t src_last = 0x01,
                           const MacAddress& dst = {0x12, 0x01, 0x4d, 0x36, 0xe9, 0x72}) {
  // Frames shorter than a header are cut from a whole one.
  std::vector<uint8_t> f(std::max<size_t>(len, 14), 0xAB);
  std::copy(dst.begin(), dst.end(), f.begin());
  uint8_t src[6] = {0x02, 0, 0, 0, 0, src_last};
  std::copy(src, src + 6, f.begin() + 6);
  f[12] = 0x08;
  f[13] = 0x00;
  f.resize(len);
  return f;
}

struct Fixture : ::testing::Test {
  MemKeys service, config;
  TestHost host;
  MiniportDriver driver{service};
  std::unique_ptr<AdapterContext> a;
  std::vector<std::unique_ptr<OutPacket>> packets;
  std::vector<std::vector<uint8_t>> frames;

  void SetUp() override { config.set_string("NetCfgInstanceId", kGuid); }
  void init() {
    uint32_t st = 0;
    a = driver.initialize(config, host, &st);
    ASSERT_EQ(st, NDIS_STATUS_SUCCESS);
    ASSERT_TRUE(a);
    host.adapter = a.get();
  }
  OutPacket* send(std::vector<uint8_t> f) {
    frames.push_back(std::move(f));
    packets.push_back(std::make_unique<OutPacket>());
    OutPacket* p = packets.back().get();
    p->data = frames.back().data();
    p->length = uint32_t(frames.back().size());
    a->send_packets(&p, 1);
    return p;
  }
  uint32_t ioctl(uint32_t code, const std::vector<uint8_t>& in) {
    return a->device_control(code, in.data(), in.size());
  }
  uint64_t counter(uint32_t oid) {
    uint8_t b[8] = {};
    uint32_t w, n;
    EXPECT_EQ(a->query_information(oid, b, 8, &w, &n), NDIS_STATUS_SUCCESS);
    return load_le64(b);
  }
};

std::vector<uint8_t> batch(const std::vector<std::vector<uint8_t>>& fs, int count = -1) {
  std::vector<uint8_t> b(4 + fs.size() * 2 + 70000);
  FrameBatchWriter w(b.data(), b.size());
  for (auto& f : fs) w.append(f.data(), f.size());
  size_t n = w.finish();
  b.resize(n);
  if (count >= 0) b[0] = uint8_t(count);
  return b;
}

}  // namespace

TEST(FrameBatchTest, WriterAndReaderRoundTripAndBounds) {
  uint8_t buf[4 + 2 + 20 + 2 + 14];
  FrameBatchWriter w(buf, sizeof buf);
  std::vector<uint8_t> f1(20, 1), f2(14, 2), f3(1, 3);
  EXPECT_TRUE(w.append(f1.data(), f1.size()));
  EXPECT_TRUE(w.append(f2.data(), f2.size()));
  EXPECT_FALSE(w.append(f3.data(), f3.size()));  // no room left: nothing written past the end
  EXPECT_EQ(w.finish(true), sizeof buf);
  EXPECT_EQ(buf[0], 2);
  EXPECT_EQ(frame_batch_payload_length(buf), sizeof buf - 4);

  FrameBatchReader r(buf, sizeof buf);
  FrameView v;
  ASSERT_TRUE(r.next(v));
  EXPECT_EQ(v.length, 20u);
  ASSERT_TRUE(r.next(v));
  EXPECT_EQ(v.length, 14u);
  EXPECT_EQ(v.data[0], 2);
  EXPECT_FALSE(r.next(v));
  EXPECT_EQ(r.error(), FrameBatchError::none);

  // One byte short: the last record runs past the end.
  EXPECT_EQ(frame_batch_check(buf, sizeof buf - 1), FrameBatchError::record_past_end);
  // A count claiming more records than there are.
  buf[0] = 3;
  EXPECT_EQ(frame_batch_check(buf, sizeof buf), FrameBatchError::record_past_end);
  EXPECT_EQ(frame_batch_check(buf, 3), FrameBatchError::short_header);
  uint8_t lone_len[5] = {1, 0, 0, 0, 0};  // half a length field
  EXPECT_EQ(frame_batch_check(lone_len, 5), FrameBatchError::record_past_end);
}

TEST(DeviceNamesTest, BraceAndLengthRules) {
  EXPECT_EQ(*vln_device_name(kGuid), std::string("\\Device\\") + kGuid + ".vln");
  EXPECT_EQ(*vln_link_name(std::string("x") + kGuid), std::string("\\DosDevices\\Global\\") + kGuid + ".vln");
  EXPECT_FALSE(vln_device_names_valid("4D36E972-E325"));
  // The link name is the longer one: prefix 19 + GUID + 4 must stay below 80.
  std::string g = "{" + std::string(55, 'A') + "}";  // 57 chars: 19 + 57 + 4 = 80, no room for NUL
  EXPECT_FALSE(vln_link_name(g));
  EXPECT_TRUE(vln_link_name(g.substr(0, 56)));
  EXPECT_EQ(vln_open_path(kGuid), std::string("\\\\.\\Global\\") + kGuid + ".vln");
}

TEST(MacTextTest, ParseAndGenerate) {
  MacAddress m;
  EXPECT_EQ(parse_mac_text("12-01-4D-36-e9-72", m), 6u);
  EXPECT_EQ(m, (MacAddress{0x12, 0x01, 0x4d, 0x36, 0xe9, 0x72}));
  EXPECT_EQ(parse_mac_text("aa:bb.cc x dd", m), 3u);
  EXPECT_EQ(m, (MacAddress{0xaa, 0xbb, 0xcc, 0, 0, 0}));
  EXPECT_EQ(generated_address(kGuid), (MacAddress{0x12, 0x01, 0x4d, 0x36, 0xe9, 0x72}));
  EXPECT_EQ(generated_address("{4D3-6E9}"), (MacAddress{0x12, 0x01, 0x4d, 0x36, 0xe9, 0}));
  EXPECT_EQ(format_pool_mac({0x12, 0x01, 0x4d, 0x36, 0xe9, 0x72}), "12-01-4d-36-e9-72");
}

TEST_F(Fixture, ParametersAndDefaults) {
  config.set_string("MTU", "9000");
  config.set_integer("LinkSpeed", 2);
  config.set_string("ReceiveLength", "abc");  // not a number: default
  config.set_integer("DelayedSend", 0x100);   // low byte only: off
  init();
  EXPECT_EQ(a->mtu(), 9000u);
  EXPECT_EQ(a->link_speed(), 10000000u);
  EXPECT_EQ(a->receive_length(), 128u);
  EXPECT_FALSE(a->delayed_send());
  EXPECT_FALSE(a->media_connected());
  ASSERT_EQ(host.statuses, std::vector<uint32_t>{NDIS_STATUS_MEDIA_DISCONNECT});
}

TEST_F(Fixture, LinkSpeedOutOfRangeAndBadMtuKeepDefaults) {
  config.set_integer("LinkSpeed", 5);
  config.set_integer("MTU", 0);
  init();
  EXPECT_EQ(a->link_speed(), 1000000u);
  EXPECT_EQ(a->mtu(), 1500u);
}

TEST_F(Fixture, InstanceIdRequiredAndNeedsBrace) {
  uint32_t st = 0;
  config.values.clear();
  EXPECT_FALSE(driver.initialize(config, host, &st));
  EXPECT_EQ(st, NDIS_STATUS_RESOURCES);
  config.set_string("NetCfgInstanceId", "no-brace");
  EXPECT_FALSE(driver.initialize(config, host, &st));
  EXPECT_EQ(st, NDIS_STATUS_RESOURCES);
  // A failed start takes no pool entry.
  EXPECT_TRUE(service.values.empty());
}

TEST_F(Fixture, MacPoolAcrossAdaptersHaltAndReuse) {
  init();
  EXPECT_EQ(service.get_integer("VLN_CNT"), 1u);
  EXPECT_EQ(service.get_string("VLN_MAC_000"), "12-01-4d-36-e9-72");
  EXPECT_EQ(service.get_integer("VLN_USE_000"), 1u);
  EXPECT_EQ(config.get_integer("VLN_MACINDEX"), 0u);
  EXPECT_EQ(a->current_address(), a->permanent_address());

  MemKeys config2;
  config2.set_string("NetCfgInstanceId", kGuid2);
  TestHost host2;
  uint32_t st;
  auto b = driver.initialize(config2, host2, &st);
  ASSERT_TRUE(b);
  EXPECT_EQ(service.get_integer("VLN_CNT"), 2u);
  EXPECT_EQ(b->pool_index(), 1u);
  EXPECT_EQ(b->current_address(), (MacAddress{0x12, 0x01, 0x0a, 0x1b, 0x2c, 0x3d}));
  EXPECT_EQ(service.get_string("VLN_MAC_001"), "12-01-0a-1b-2c-3d");

  driver.halt(*a);
  a.reset();
  EXPECT_EQ(service.get_integer("VLN_USE_000"), 0u);

  // A new adapter without an index reuses entry 0 and its address.
  MemKeys config3;
  config3.set_string("NetCfgInstanceId", "{FFFFFFFF-0000-0000-0000-000000000000}");
  TestHost host3;
  auto c = driver.initialize(config3, host3, &st);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->pool_index(), 0u);
  EXPECT_EQ(c->current_address(), (MacAddress{0x12, 0x01, 0x4d, 0x36, 0xe9, 0x72}));
  EXPECT_EQ(service.get_integer("VLN_CNT"), 2u);

  // A fixed index is taken even while marked used.
  MemKeys config4;
  config4.set_string("NetCfgInstanceId", kGuid2);
  config4.set_integer("VLN_MACINDEX", 1);
  TestHost host4;
  auto d = driver.initialize(config4, host4, &st);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->pool_index(), 1u);
  EXPECT_EQ(d->current_address(), b->current_address());
}

TEST_F(Fixture, MacIndexBeyondPoolIsSettledAndNotHandedOutAgain) {
  config.set_integer("VLN_MACINDEX", 3);
  init();
  EXPECT_EQ(service.get_string("VLN_MAC_003"), "12-01-4d-36-e9-72");
  EXPECT_EQ(service.get_integer("VLN_CNT"), 4u);
  // Entries 0..2 have no address yet: the next adapter takes entry 0 and
  // settles an address of its own there, instead of 00-00-00-00-00-00.
  MemKeys config2;
  config2.set_string("NetCfgInstanceId", kGuid2);
  TestHost h2;
  uint32_t st;
  auto b = driver.initialize(config2, h2, &st);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->pool_index(), 0u);
  EXPECT_EQ(service.get_string("VLN_MAC_000"), "12-01-0a-1b-2c-3d");
}

TEST_F(Fixture, NetworkAddressOverrideChangesCurrentOnly) {
  config.set_string("NetworkAddress", "02AABBCCDDEE");
  init();
  EXPECT_EQ(a->current_address(), (MacAddress{0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee}));
  EXPECT_EQ(a->permanent_address(), (MacAddress{0x12, 0x01, 0x4d, 0x36, 0xe9, 0x72}));
}

TEST_F(Fixture, ReadCapacityExactAndOneShortKeepsFrame) {
  init();
  ASSERT_EQ(a->device_create(), STATUS_SUCCESS);
  auto f = frame(60);
  send(f);
  std::vector<uint8_t> buf(200);
  ReadRequest r{1, buf.data(), uint32_t(4 + 2 + 60 - 1)};
  EXPECT_EQ(a->device_read(&r), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(a->queued_packets(), 1u);
  EXPECT_EQ(a->counters().xmit_error, 0u);
  ReadRequest r2{2, buf.data(), uint32_t(4 + 2 + 60)};
  EXPECT_EQ(a->device_read(&r2), STATUS_SUCCESS);
  ASSERT_EQ(host.completed_reads.size(), 2u);
  EXPECT_EQ(host.completed_reads[1].information, 66u);
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(load_be16(buf.data() + 1), 0);  // the driver leaves the payload length 0
  EXPECT_EQ(load_be16(buf.data() + 4), 60);
  EXPECT_TRUE(std::equal(f.begin(), f.end(), buf.begin() + 6));
  ASSERT_EQ(host.completed_packets.size(), 1u);
  EXPECT_EQ(host.completed_packets[0].second, NDIS_STATUS_SUCCESS);
  EXPECT_EQ(counter(OID_GEN_XMIT_OK), 1u);
}

TEST_F(Fixture, ReadTakesAtMost64InOrderAndPendingReadCompletesOnSend) {
  init();
  a->device_create();
  for (int i = 0; i < 100; ++i) {
    auto f = frame(14);
    f[13] = uint8_t(i);
    send(f);
  }
  std::vector<uint8_t> buf(100 * 16 + 4);
  ReadRequest r{7, buf.data(), uint32_t(buf.size())};
  EXPECT_EQ(a->device_read(&r), STATUS_SUCCESS);
  EXPECT_EQ(buf[0], 64);
  EXPECT_EQ(host.completed_reads.back().information, 4u + 64 * 16);
  FrameBatchReader rd(buf.data(), host.completed_reads.back().information);
  FrameView v;
  int i = 0;
  while (rd.next(v)) EXPECT_EQ(v.data[13], i++);
  EXPECT_EQ(i, 64);
  EXPECT_EQ(a->queued_packets(), 36u);
  // The rest, then a read that waits for the next frame.
  EXPECT_EQ(a->device_read(&r), STATUS_SUCCESS);
  EXPECT_EQ(buf[0], 36);
  EXPECT_EQ(a->device_read(&r), STATUS_PENDING);
  ReadRequest second{8, buf.data(), 100};
  EXPECT_EQ(a->device_read(&second), STATUS_UNSUCCESSFUL);
  size_t before = host.completed_reads.size();
  send(frame(20));
  ASSERT_EQ(host.completed_reads.size(), before + 1);
  EXPECT_EQ(host.completed_reads.back().tag, 7u);
  EXPECT_EQ(host.completed_reads.back().information, 26u);
}

TEST_F(Fixture, PendingReadTooSmallForArrivingFrameKeepsIt) {
  init();
  a->device_create();
  std::vector<uint8_t> buf(2000);
  ReadRequest r{1, buf.data(), 20};
  EXPECT_EQ(a->device_read(&r), STATUS_PENDING);
  send(frame(60));
  EXPECT_EQ(host.completed_reads.back().status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(a->queued_packets(), 1u);
  ReadRequest r2{2, buf.data(), 2000};
  EXPECT_EQ(a->device_read(&r2), STATUS_SUCCESS);
}

TEST_F(Fixture, CancelAndDelayedSend) {
  config.set_integer("DelayedSend", 1);
  init();
  a->device_create();
  std::vector<uint8_t> buf(2000);
  ReadRequest r{5, buf.data(), 2000};
  EXPECT_EQ(a->device_read(&r), STATUS_PENDING);
  EXPECT_TRUE(a->device_cancel(&r));
  EXPECT_EQ(host.completed_reads.back().status, STATUS_CANCELLED);
  EXPECT_FALSE(a->device_cancel(&r));  // nothing pending any more
  EXPECT_EQ(a->device_read(&r), STATUS_PENDING);
  send(frame(30));
  EXPECT_EQ(host.completed_reads.size(), 1u);  // waits for the timer
  EXPECT_TRUE(host.timer_set);
  a->timer_fired();
  ASSERT_EQ(host.completed_reads.size(), 2u);
  EXPECT_EQ(host.completed_reads.back().status, STATUS_SUCCESS);
  EXPECT_EQ(host.completed_reads.back().information, 36u);
}

TEST_F(Fixture, OutgoingFilterRules) {
  init();
  a->device_create();
  auto mac = [](uint8_t last) { return std::vector<uint8_t>{0x02, 0, 0, 0, 0, last}; };
  // Deny list alone.
  EXPECT_EQ(ioctl(VLN_IOCTL_SET_MAC_DENY, mac(1)), STATUS_SUCCESS);
  send(frame(20, 1));
  send(frame(20, 2));
  EXPECT_EQ(a->queued_packets(), 1u);
  EXPECT_EQ(a->counters().xmit_error, 1u);
  EXPECT_EQ(host.completed_packets.back().second, NDIS_STATUS_SUCCESS);  // dropped but "sent"
  // Allow list set too: only it decides (1 is denied but allowed).
  auto allow = mac(1);
  auto m3 = mac(3);
  allow.insert(allow.end(), m3.begin(), m3.end());
  EXPECT_EQ(ioctl(VLN_IOCTL_SET_MAC_ALLOW, allow), STATUS_SUCCESS);
  send(frame(20, 1));
  send(frame(20, 2));
  EXPECT_EQ(a->queued_packets(), 2u);
  // Forward filter: only the adapter's own address passes.
  EXPECT_EQ(ioctl(VLN_IOCTL_SET_FORWARD_FILTER, {1, 0, 0, 0}), STATUS_SUCCESS);
  send(frame(20, 1));
  auto own = frame(20);
  std::copy(a->current_address().begin(), a->current_address().end(), own.begin() + 6);
  send(own);
  EXPECT_EQ(a->queued_packets(), 3u);
  // Too short to have a source address.
  send(frame(13));
  EXPECT_EQ(a->counters().xmit_error, 4u);
  // Reopening resets every filter.
  a->device_close();
  a->device_create();
  EXPECT_EQ(a->forward_filter(), 0u);
  EXPECT_EQ(a->allow_list().count, 0u);
  EXPECT_EQ(a->deny_list().count, 0u);
}

TEST_F(Fixture, ControlCodeLengthRules) {
  init();
  a->device_create();
  std::vector<uint8_t> full(192);
  for (size_t i = 0; i < full.size(); ++i) full[i] = uint8_t(i);
  EXPECT_EQ(ioctl(VLN_IOCTL_SET_MAC_ALLOW, full), STATUS_SUCCESS);
  EXPECT_EQ(a->allow_list().count, 32u);
  EXPECT_EQ(ioctl(VLN_IOCTL_SET_MAC_ALLOW, std::vector<uint8_t>(198)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ioctl(VLN_IOCTL_SET_MAC_ALLOW, std::vector<uint8_t>(7)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(a->allow_list().count, 32u);
  EXPECT_EQ(a->allow_list().entries[31][5], 191);
  EXPECT_EQ(ioctl(VLN_IOCTL_SET_MAC_DENY, {}), STATUS_SUCCESS);
  EXPECT_EQ(ioctl(VLN_IOCTL_SET_MEDIA_STATUS, {1, 0, 0}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ioctl(VLN_IOCTL_SET_FORWARD_FILTER, {1, 0, 0, 0, 0}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ioctl(0x00220014, {0, 0, 0, 0}), STATUS_INVALID_PARAMETER);
  // Media: only byte 0 counts; the same state again indicates nothing.
  host.statuses.clear();
  EXPECT_EQ(ioctl(VLN_IOCTL_SET_MEDIA_STATUS, {0, 1, 1, 1}), STATUS_SUCCESS);
  EXPECT_TRUE(host.statuses.empty());
  EXPECT_EQ(ioctl(VLN_IOCTL_SET_MEDIA_STATUS, {2, 0, 0, 0}), STATUS_SUCCESS);
  EXPECT_EQ(ioctl(VLN_IOCTL_SET_MEDIA_STATUS, {1, 0, 0, 0}), STATUS_SUCCESS);
  EXPECT_EQ(host.statuses, std::vector<uint32_t>{NDIS_STATUS_MEDIA_CONNECT});
}

TEST_F(Fixture, WriteRecordsAndStatusRules) {
  init();
  a->device_create();
  uint32_t f = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST;
  uint32_t rd, nd;
  ASSERT_EQ(a->set_information(OID_GEN_CURRENT_PACKET_FILTER, &f, 4, &rd, &nd), NDIS_STATUS_SUCCESS);
  uint32_t info = 99;
  auto empty = batch({});
  EXPECT_EQ(a->device_write(empty.data(), empty.size(), &info), STATUS_SUCCESS);
  EXPECT_EQ(info, 4u);
  EXPECT_TRUE(host.indication_sizes.empty());

  // A 13-byte record in the middle is skipped and counted.
  auto b = batch({frame(60), frame(13), frame(61)});
  EXPECT_EQ(a->device_write(b.data(), b.size(), &info), STATUS_SUCCESS);
  EXPECT_EQ(info, b.size());
  ASSERT_EQ(host.indication_sizes, std::vector<size_t>{2});
  EXPECT_EQ(host.received[0].size(), 60u);
  EXPECT_EQ(host.received[1].size(), 61u);
  EXPECT_EQ(counter(OID_GEN_RCV_ERROR), 1u);
  EXPECT_EQ(counter(OID_GEN_RCV_OK), 2u);

  // Longer than MTU + 14.
  auto big = batch({frame(1515), frame(1514)});
  EXPECT_EQ(a->device_write(big.data(), big.size(), &info), STATUS_SUCCESS);
  EXPECT_EQ(host.received.back().size(), 1514u);
  EXPECT_EQ(counter(OID_GEN_RCV_ERROR), 2u);

  // Frames the system refused are errors, not receptions.
  host.refuse = 1;
  auto two = batch({frame(60), frame(60)});
  EXPECT_EQ(a->device_write(two.data(), two.size(), &info), STATUS_SUCCESS);
  EXPECT_EQ(counter(OID_GEN_RCV_OK), 4u);
  EXPECT_EQ(counter(OID_GEN_RCV_ERROR), 3u);
  host.refuse = 0;

  // The interface's MTU raised under the adapter: the largest frame follows.
  a->follow_interface(a->current_address(), 1600);
  auto jumbo = batch({frame(1614), frame(1615)});
  EXPECT_EQ(a->device_write(jumbo.data(), jumbo.size(), &info), STATUS_SUCCESS);
  EXPECT_EQ(host.received.back().size(), 1614u);
  EXPECT_EQ(counter(OID_GEN_RCV_ERROR), 4u);
  a->follow_interface(a->current_address(), 1500);

  // The last record claims more than remains: nothing delivered, one error.
  host.indication_sizes.clear();
  auto cut = batch({frame(60), frame(60)});
  cut.pop_back();
  EXPECT_EQ(a->device_write(cut.data(), cut.size(), &info), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(info, 0u);
  EXPECT_TRUE(host.indication_sizes.empty());
  EXPECT_EQ(counter(OID_GEN_RCV_ERROR), 5u);
  EXPECT_EQ(a->descriptors_in_use(), 0u);

  uint8_t three[3] = {};
  EXPECT_EQ(a->device_write(three, 3, &info), STATUS_BUFFER_TOO_SMALL);
  std::vector<std::vector<uint8_t>> many(129, frame(14));
  auto b129 = batch(many);
  EXPECT_EQ(a->device_write(b129.data(), b129.size(), &info), STATUS_INVALID_BUFFER_SIZE);
  many.pop_back();
  auto b128 = batch(many);
  EXPECT_EQ(a->device_write(b128.data(), b128.size(), &info), STATUS_SUCCESS);
  EXPECT_EQ(host.indication_sizes, std::vector<size_t>{128});
}

TEST_F(Fixture, ReceiveFilterAndDescriptors) {
  config.set_integer("ReceiveLength", 2);
  init();
  a->device_create();
  auto write = [&](std::vector<uint8_t> f) {
    auto b = batch({f});
    uint32_t info;
    EXPECT_EQ(a->device_write(b.data(), b.size(), &info), STATUS_SUCCESS);
  };
  MacAddress other{0x02, 9, 9, 9, 9, 9}, bcast{0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, mc{0x01, 0x00, 0x5e, 0, 0, 1};
  // Packet filter 0 at start: nothing passes.
  write(frame(20));
  EXPECT_TRUE(host.received.empty());
  uint32_t f = NDIS_PACKET_TYPE_DIRECTED, rd, nd;
  a->set_information(OID_GEN_CURRENT_PACKET_FILTER, &f, 4, &rd, &nd);
  write(frame(20, 1, other));
  write(frame(20, 1, bcast));
  write(frame(20, 1, mc));
  EXPECT_TRUE(host.received.empty());
  write(frame(20));
  EXPECT_EQ(host.received.size(), 1u);
  f = NDIS_PACKET_TYPE_MULTICAST;
  a->set_information(OID_GEN_CURRENT_PACKET_FILTER, &f, 4, &rd, &nd);
  write(frame(20, 1, mc));
  EXPECT_EQ(host.received.size(), 1u);
  ASSERT_EQ(a->set_information(OID_802_3_MULTICAST_LIST, mc.data(), 6, &rd, &nd), NDIS_STATUS_SUCCESS);
  write(frame(20, 1, mc));
  EXPECT_EQ(host.received.size(), 2u);
  f = NDIS_PACKET_TYPE_PROMISCUOUS;
  a->set_information(OID_GEN_CURRENT_PACKET_FILTER, &f, 4, &rd, &nd);
  // Two descriptors: the host holds them, so the third frame has none.
  host.return_later = true;
  auto b = batch({frame(20, 1, other), frame(20, 1, other), frame(20, 1, other)});
  uint32_t info;
  EXPECT_EQ(a->device_write(b.data(), b.size(), &info), STATUS_SUCCESS);
  EXPECT_EQ(host.indication_sizes.back(), 2u);
  EXPECT_EQ(counter(OID_GEN_RCV_NO_BUFFER), 1u);
  for (auto* d : host.held) a->return_packet(d);
  EXPECT_EQ(a->descriptors_in_use(), 0u);
}

TEST_F(Fixture, InformationRequests) {
  init();
  uint8_t b[256];
  uint32_t w, n;
  EXPECT_EQ(a->query_information(OID_GEN_SUPPORTED_LIST, b, 256, &w, &n), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(w, 160u);
  EXPECT_EQ(load_le32(b), OID_GEN_SUPPORTED_LIST);
  EXPECT_EQ(load_le32(b + 156), OID_PNP_SET_POWER);
  EXPECT_EQ(a->query_information(OID_GEN_SUPPORTED_LIST, b, 159, &w, &n), NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(n, 160u);
  EXPECT_EQ(a->query_information(OID_GEN_VENDOR_DESCRIPTION, b, 256, &w, &n), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b)), "Velarn Virtual Ethernet Adapter");
  EXPECT_EQ(w, 32u);
  EXPECT_EQ(a->query_information(OID_GEN_DRIVER_VERSION, b, 2, &w, &n), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(b[0] | b[1] << 8, 0x0500);
  EXPECT_EQ(a->query_information(OID_GEN_MAXIMUM_TOTAL_SIZE, b, 4, &w, &n), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(load_le32(b), 1514u);
  EXPECT_EQ(a->query_information(OID_GEN_MEDIA_CONNECT_STATUS, b, 4, &w, &n), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(load_le32(b), 1u);
  EXPECT_EQ(a->query_information(OID_802_3_CURRENT_ADDRESS, b, 6, &w, &n), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(w, 6u);
  EXPECT_EQ(a->query_information(OID_PNP_CAPABILITIES, b, 16, &w, &n), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(a->query_information(OID_PNP_SET_POWER, b, 4, &w, &n), NDIS_STATUS_INVALID_OID);
  EXPECT_EQ(a->query_information(0x00020205, b, 4, &w, &n), NDIS_STATUS_NOT_SUPPORTED);
  EXPECT_EQ(a->query_information(OID_TCP_TASK_OFFLOAD, b, 4, &w, &n), NDIS_STATUS_NOT_SUPPORTED);
  EXPECT_EQ(a->query_information(0x12345678, b, 4, &w, &n), NDIS_STATUS_INVALID_OID);

  // Counters: low half into exactly 4 bytes, 8 needed otherwise.
  a->device_create();
  send(frame(20));
  std::vector<uint8_t> rb(100);
  ReadRequest r{1, rb.data(), 100};
  a->device_read(&r);
  std::memset(b, 0xEE, 8);
  EXPECT_EQ(a->query_information(OID_GEN_XMIT_OK, b, 4, &w, &n), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(w, 4u);
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(load_le32(b), 1u);
  EXPECT_EQ(b[4], 0xEE);
  EXPECT_EQ(a->query_information(OID_GEN_XMIT_OK, b, 6, &w, &n), NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(n, 8u);
  EXPECT_EQ(a->query_information(OID_GEN_XMIT_OK, b, 8, &w, &n), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(load_le64(b), 1u);
}

TEST_F(Fixture, SetRequests) {
  init();
  std::vector<uint8_t> list(33 * 6, 0x01);
  uint32_t rd, nd;
  EXPECT_EQ(a->set_information(OID_802_3_MULTICAST_LIST, list.data(), 198, &rd, &nd), NDIS_STATUS_MULTICAST_FULL);
  EXPECT_EQ(nd, 192u);
  EXPECT_EQ(a->set_information(OID_802_3_MULTICAST_LIST, list.data(), 7, &rd, &nd), NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(nd, 6u);
  EXPECT_EQ(a->set_information(OID_802_3_MULTICAST_LIST, list.data(), 192, &rd, &nd), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(rd, 192u);
  EXPECT_EQ(a->multicast_list().count, 32u);
  uint8_t q[256];
  uint32_t w, n;
  EXPECT_EQ(a->query_information(OID_802_3_MULTICAST_LIST, q, 256, &w, &n), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(w, 192u);
  uint32_t f = 0x0B;
  EXPECT_EQ(a->set_information(OID_GEN_CURRENT_PACKET_FILTER, &f, 3, &rd, &nd), NDIS_STATUS_INVALID_LENGTH);
  EXPECT_EQ(nd, 4u);
  EXPECT_EQ(a->packet_filter(), 0u);
  EXPECT_EQ(a->set_information(OID_GEN_CURRENT_LOOKAHEAD, &f, 4, &rd, &nd), NDIS_STATUS_SUCCESS);
  EXPECT_EQ(a->set_information(OID_GEN_MACHINE_NAME, &f, 4, &rd, &nd), NDIS_STATUS_NOT_SUPPORTED);
  EXPECT_EQ(a->set_information(OID_GEN_LINK_SPEED, &f, 4, &rd, &nd), NDIS_STATUS_INVALID_OID);
}

TEST_F(Fixture, OpenCloseAndHalt) {
  init();
  EXPECT_EQ(a->device_create(), STATUS_SUCCESS);
  EXPECT_EQ(a->device_create(), STATUS_UNSUCCESSFUL);
  ioctl(VLN_IOCTL_SET_MEDIA_STATUS, {1, 0, 0, 0});
  send(frame(20));
  send(frame(20));
  std::vector<uint8_t> buf(10);
  ReadRequest small{3, buf.data(), 10};
  EXPECT_EQ(a->device_read(&small), STATUS_BUFFER_TOO_SMALL);
  host.statuses.clear();
  host.completed_packets.clear();
  EXPECT_EQ(a->device_close(), STATUS_SUCCESS);
  ASSERT_EQ(host.completed_packets.size(), 2u);
  EXPECT_EQ(host.completed_packets[0].second, NDIS_STATUS_NO_CABLE);
  EXPECT_EQ(host.statuses, std::vector<uint32_t>{NDIS_STATUS_MEDIA_DISCONNECT});
  // Reopening leaves the media down.
  EXPECT_EQ(a->device_create(), STATUS_SUCCESS);
  EXPECT_FALSE(a->media_connected());

  // Halt cancels the pending read; the completion sees the adapter halting.
  ReadRequest r{9, buf.data(), 10};
  EXPECT_EQ(a->device_read(&r), STATUS_PENDING);
  driver.halt(*a);
  ASSERT_FALSE(host.completed_reads.empty());
  EXPECT_EQ(host.completed_reads.back().tag, 9u);
  EXPECT_EQ(host.completed_reads.back().status, STATUS_CANCELLED);
  EXPECT_EQ(a->device_read(&r), STATUS_DELETE_PENDING);
  uint32_t info;
  EXPECT_EQ(a->device_write(buf.data(), 4, &info), STATUS_DELETE_PENDING);
  EXPECT_EQ(a->device_create(), STATUS_DELETE_PENDING);
  EXPECT_EQ(service.get_integer("VLN_USE_000"), 0u);
}

// The data path a client runs itself must decide as the core does. Each case
// goes through the core (write request, or frames sent then a read) and
// through FastPath with the state the core published, and both must give the
// same status, bytes, frames and counts.
namespace {

struct MemoryIo : FrameIo {
  std::vector<std::vector<uint8_t>> incoming, written;
  size_t next = 0;
  long read_frame(uint8_t* out, size_t cap) override {
    if (next == incoming.size()) return kNone;
    auto& f = incoming[next++];
    if (f.size() > cap) return kDropped;
    std::copy(f.begin(), f.end(), out);
    return long(f.size());
  }
  size_t waiting_length() const override { return 0; }
  bool write_frame(const uint8_t* f, size_t n) override {
    written.emplace_back(f, f + n);
    return true;
  }
};

struct FastFixture : Fixture {
  alignas(64) uint8_t memory[SHARED_BLOCK_SIZE];
  SharedAdapterBlock* block = reinterpret_cast<SharedAdapterBlock*>(memory);
  MemoryIo io;
  std::unique_ptr<FastPath> fast;
  void start() {
    init();
    a->device_create();
    uint32_t f = NDIS_PACKET_TYPE_DIRECTED | NDIS_PACKET_TYPE_BROADCAST | NDIS_PACKET_TYPE_MULTICAST, r, n;
    a->set_information(OID_GEN_CURRENT_PACKET_FILTER, &f, 4, &r, &n);
    uint8_t group[6] = {0x01, 0x00, 0x5e, 0x00, 0x00, 0x01};
    a->set_information(OID_802_3_MULTICAST_LIST, group, 6, &r, &n);
    shared_block_init(block, false);
    shared_block_publish(*block, a->filter());
    fast = std::make_unique<FastPath>(*block, io);
  }
};

}  // namespace

TEST_F(FastFixture, WritesDecideAsTheCore) {
  start();
  const MacAddress other{0x12, 0x01, 0x4d, 0x36, 0xe9, 0x73}, group{0x01, 0x00, 0x5e, 0x00, 0x00, 0x01},
      stranger{0x01, 0x00, 0x5e, 0x00, 0x00, 0x02}, all{0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  std::vector<std::vector<uint8_t>> many(129, frame(60));
  auto cut = batch({frame(60), frame(80)});
  cut.resize(cut.size() - 3);
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"own, broadcast, group", batch({frame(60), frame(14, 1, all), frame(64, 1, group)})},
      {"not ours: other address, other group", batch({frame(60, 1, other), frame(60, 1, stranger)})},
      {"too short and too long", batch({frame(13), frame(1515), frame(1514)})},
      {"a record past the end", cut},
      {"more records than a write takes", batch(many)},
      {"a header alone", std::vector<uint8_t>{0, 0, 0, 0}},
      {"less than a header", std::vector<uint8_t>{1, 0}},
  };
  for (auto& c : cases) {
    uint64_t ok = counter(OID_GEN_RCV_OK), err = counter(OID_GEN_RCV_ERROR);
    size_t before = host.received.size();
    uint32_t core_info = 0, fast_info = 0;
    uint32_t core_st = a->device_write(c.bytes.data(), c.bytes.size(), &core_info);
    io.written.clear();
    uint32_t fast_st = fast->write_batch(c.bytes.data(), c.bytes.size(), &fast_info);
    EXPECT_EQ(fast_st, core_st) << c.what;
    EXPECT_EQ(fast_info, core_info) << c.what;
    EXPECT_EQ(io.written, std::vector<std::vector<uint8_t>>(host.received.begin() + long(before), host.received.end()))
        << c.what;
    AdapterCounters shared = shared_block_counters(*block);
    EXPECT_EQ(shared.rcv_ok, counter(OID_GEN_RCV_OK) - ok) << c.what;
    EXPECT_EQ(shared.rcv_error, counter(OID_GEN_RCV_ERROR) - err) << c.what;
    shared_block_init(block, false);  // counters back to zero for the next case
    shared_block_publish(*block, a->filter());
  }
}

TEST_F(FastFixture, ReadsBuildTheCoresBatchesAndFollowPublishedRules) {
  start();
  auto both = [&](const std::vector<std::vector<uint8_t>>& frames, size_t capacity) {
    io.incoming = frames;
    io.next = 0;
    for (auto& f : frames) send(f);
    std::vector<std::vector<uint8_t>> core_batches, fast_batches;
    for (int i = 0; i < 10; ++i) {
      std::vector<uint8_t> b(capacity);
      ReadRequest r{uint32_t(i), b.data(), uint32_t(capacity)};
      if (a->device_read(&r) != STATUS_SUCCESS) {
        if (a->read_pending()) a->device_cancel(&r);
        break;
      }
      b.resize(host.completed_reads.back().information);
      core_batches.push_back(b);
    }
    for (int i = 0; i < 10; ++i) {
      std::vector<uint8_t> b(capacity);
      long n = fast->read_batch(b.data(), b.size());
      if (n <= 0) break;
      b.resize(size_t(n));
      fast_batches.push_back(b);
    }
    EXPECT_EQ(fast_batches, core_batches);
  };
  // At most 64 frames a batch, whatever room is left.
  both(std::vector<std::vector<uint8_t>>(70, frame(60)), 65536);
  EXPECT_EQ(shared_block_counters(*block).xmit_ok, 70u);
  // Only frames from the allowed source once the allow list is published.
  uint8_t allowed[6] = {0x02, 0, 0, 0, 0, 0x07};
  ASSERT_EQ(ioctl(VLN_IOCTL_SET_MAC_ALLOW, {allowed, allowed + 6}), STATUS_SUCCESS);
  shared_block_publish(*block, a->filter());
  both({frame(60, 0x07), frame(60, 0x08), frame(1514, 0x07), frame(61, 0x09)}, 65536);
  EXPECT_EQ(shared_block_counters(*block).xmit_error, 2u);
}
