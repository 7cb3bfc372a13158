// The protocol's byte-level pieces, checked on the wire bytes they must give.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "keva12.h"
#include "profile.h"

namespace {

std::string bytes(const MessageBuffer& b) { return std::string(reinterpret_cast<const char*>(b.data), b.used); }

std::string hex(const std::string& s) {
  std::string out;
  char t[4];
  for (unsigned char c : s) {
    std::snprintf(t, sizeof t, "%02X ", c);
    out += t;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

struct Batch {
  MessageBuffer buf{};
};

TEST(Keva12Bytes, LoginBatchesPerMethod) {
  {
    Batch b;
    ASSERT_EQ(0, keva12_login_batch(&b.buf, AUTH_X509, "office", nullptr, nullptr));
    EXPECT_EQ("90 00 06 00 6F 66 66 69 63 65 94 00 01 00 02", hex(bytes(b.buf)));
  }
  {
    Batch b;  // a token login shows its certificate in TLS, like x509
    ASSERT_EQ(0, keva12_login_batch(&b.buf, AUTH_TOKEN, "office", nullptr, nullptr));
    EXPECT_EQ("90 00 06 00 6F 66 66 69 63 65 94 00 01 00 02", hex(bytes(b.buf)));
  }
  {
    Batch b;
    ASSERT_EQ(0, keva12_login_batch(&b.buf, AUTH_PASSWORD, "z", "al", "pw"));
    EXPECT_EQ("90 00 01 00 7A 91 00 02 00 61 6C 92 00 02 00 70 77 94 00 01 00 01", hex(bytes(b.buf)));
  }
  {
    Batch b;  // no ZONE for a ticket, the ticket travels as PASSWORD
    ASSERT_EQ(0, keva12_login_batch(&b.buf, AUTH_TICKET, nullptr, nullptr, "T1"));
    EXPECT_EQ("92 00 02 00 54 31 94 00 01 00 03", hex(bytes(b.buf)));
  }
}

TEST(Keva12Bytes, MessagePutRefusesWhatDoesNotFit) {
  Batch b;
  std::string big(65535, 'x');
  ASSERT_EQ(0, message_put(&b.buf, KEVA_VERSION, big.data(), 65000));
  uint32_t used = b.buf.used;
  EXPECT_EQ(-1, message_put(&b.buf, KEVA_VERSION, big.data(), MESSAGE_BUFFER_SIZE - used - 3));
  EXPECT_EQ(used, b.buf.used);
  EXPECT_EQ(0, message_put(&b.buf, KEVA_VERSION, big.data(), MESSAGE_BUFFER_SIZE - used - 4));
  EXPECT_EQ(static_cast<uint32_t>(MESSAGE_BUFFER_SIZE), b.buf.used);
  EXPECT_EQ(-1, message_put(&b.buf, KEVA_OK, nullptr, 0));
}

TEST(Keva12Bytes, LoginAnswers) {
  const char* reason;
  int fatal;
  const unsigned char none[1] = {0};
  EXPECT_EQ(0, keva12_login_answer(KEVA_OK, none, 0, &reason, &fatal));

  struct Case {
    int code;
    std::vector<unsigned char> payload;
    const char* reason;
    int fatal;
  } cases[] = {
      {KEVA_ERR, {0}, "authentication failure", 1}, {KEVA_ERR, {2}, "user already connected", 0},
      {KEVA_ERR, {3}, "too many connections", 0},   {KEVA_ERR, {4}, "user disabled", 1},
      {KEVA_ERR, {1}, "protocol error", 0},         {KEVA_ERR, {}, "protocol error", 0},
      {KEVA_TUNNEL, {}, "protocol error", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    EXPECT_EQ(-1, keva12_login_answer(c.code, c.payload.data(), c.payload.size(), &reason, &fatal));
    EXPECT_STREQ(c.reason, reason);
    EXPECT_EQ(c.fatal, fatal);
  }
}

TEST(Keva12Bytes, ServerInfoBounds) {
  ServerInfo info{};
  std::string v80(80, 'v'), v81(81, 'v');
  auto apply = [&](int code, const std::string& p) {
    return keva12_server_info_apply(&info, code, reinterpret_cast<const unsigned char*>(p.data()), p.size());
  };
  EXPECT_EQ(0, apply(KEVA_VERSION, v80));
  EXPECT_EQ(v80, info.version);
  EXPECT_EQ(-1, apply(KEVA_VERSION, v81));
  EXPECT_EQ(-1, apply(KEVA_DESCRIPTION, ""));
  EXPECT_EQ(0, apply(KEVA_DESCRIPTION, "sys"));
  EXPECT_STREQ("sys", info.system);
  EXPECT_EQ(0, apply(0xB0, std::string(300, 'q')));  // unknown codes are skipped
  EXPECT_EQ(0, apply(KEVA_CAPABILITY, "\x01\x02"));
  EXPECT_EQ(0, info.capability_zero);
  EXPECT_EQ(0, apply(KEVA_CAPABILITY, std::string("\x01\x00", 2)));
  EXPECT_EQ(1, info.capability_zero);
  EXPECT_EQ(-1, apply(KEVA_CAPABILITY, std::string(256, '\x01')));
  EXPECT_EQ(-1, apply(KEVA_MAC_ADDR, "12345"));
  EXPECT_EQ(0, apply(KEVA_MAC_ADDR, "\x02\x11\x22\x33\x44\x55"));
  EXPECT_EQ(1, info.mac_present);
  EXPECT_EQ(0x55, info.mac[5]);
  EXPECT_EQ(-1, apply(KEVA_KEEPALIVE, std::string("\x00", 1)));
  EXPECT_EQ(-1, apply(KEVA_KEEPALIVE, "\x3d"));  // 61
  EXPECT_EQ(-1, apply(KEVA_KEEPALIVE, "\x0a\x0a"));
  EXPECT_EQ(0, info.keepalive_present);
  EXPECT_EQ(0, apply(KEVA_KEEPALIVE, "\x3c"));  // 60
  EXPECT_EQ(60, info.keepalive);
  EXPECT_EQ(1, apply(KEVA_OK, ""));
}

TEST(Keva12Bytes, TraceDescriptions) {
  char out[KEVA12_DESCRIPTION_MAX + 1];
  auto describe = [&](int code, const std::string& p) {
    keva12_describe(out, code, reinterpret_cast<const unsigned char*>(p.data()), p.size());
    return std::string(out);
  };
  EXPECT_EQ("OK 0", describe(KEVA_OK, ""));
  EXPECT_EQ("ZONE 6 = \"office\"", describe(KEVA_ZONE, "office"));
  EXPECT_EQ("AUTH 1 = \"\\x02\"", describe(KEVA_AUTH, "\x02"));
  EXPECT_EQ("unknown(176) 2 = \"a\\x00\"", describe(0xB0, std::string("a\0", 2)));

  // Exactly 60 characters still closes the quote; one more is cut with "...".
  std::string fits(60 - std::strlen("VERSION 45 = \"\""), 'a');
  ASSERT_EQ(45u, fits.size());
  std::string d = describe(KEVA_VERSION, fits);
  EXPECT_EQ(60u, d.size());
  EXPECT_EQ('"', d.back());
  d = describe(KEVA_VERSION, fits + "b");
  EXPECT_EQ("VERSION 46 = \"" + std::string(43, 'a') + "...", d);
  EXPECT_EQ(60u, d.size());
  // An escape is never split by the cut.
  d = describe(KEVA_VERSION, std::string(42, 'a') + "\x01zzzz");
  EXPECT_EQ("VERSION 47 = \"" + std::string(42, 'a') + "...", d);
  d = describe(KEVA_VERSION, std::string(39, 'a') + "\x01zzzz");
  EXPECT_EQ("VERSION 44 = \"" + std::string(39, 'a') + "\\x01...", d);
  EXPECT_LE(describe(KEVA_PASSWORD, std::string(65535, '\xff')).size(), 60u);
}

// --- The tunnel reader's record walker --------------------------------------

struct Delivered {
  std::vector<std::string> records;
  int fail_at = -1;
};

int deliver(void* ctx, unsigned char* rec, size_t len) {
  auto* d = static_cast<Delivered*>(ctx);
  if (static_cast<int>(d->records.size()) == d->fail_at) return -1;
  d->records.emplace_back(reinterpret_cast<char*>(rec), len);
  return 0;
}

std::string record(int code, const std::string& payload) {
  std::string r;
  r += static_cast<char>(code);
  r += static_cast<char>(payload.size() >> 8);
  r += static_cast<char>(payload.size() & 0xff);
  r += '\0';
  return r + payload;
}

// One 60-byte frame in its batch: 2 bytes of frame length, then the frame.
std::string frame60() {
  std::string f(60, '\0');
  for (int i = 0; i < 60; i++) f[i] = static_cast<char>(i);
  return std::string("\x00\x3c", 2) + f;
}

struct Walker {
  TunnelBuffer rb{};
  Delivered d;
  void feed(const std::string& s) {
    std::memcpy(rb.data + rb.held, s.data(), s.size());
    rb.held += s.size();
  }
  int walk() { return tunnel_walk(rb.data, &rb.held, deliver, &d); }
};

TEST(TunnelWalk, FrameBatchIsHandedOnWithHeaderBytesZeroed) {
  Walker w;
  std::string rec = record(1, frame60());
  EXPECT_EQ("01 00 3E 00", hex(rec.substr(0, 4)));
  w.feed(rec);
  ASSERT_EQ(TUNNEL_WALK_OK, w.walk());
  ASSERT_EQ(1u, w.d.records.size());
  EXPECT_EQ(std::string("\x01\x00\x00\x00", 4) + frame60(), w.d.records[0]);
  EXPECT_EQ(0u, w.rb.held);
}

TEST(TunnelWalk, SplitTwoInOneAndSkippedRecords) {
  Walker w;
  std::string a = record(1, frame60()), b = record(2, frame60() + frame60());
  std::string keep = record(0, ""), ctl = record(0x80, "xyz"), ctl2 = record(0xFF, "");
  std::string all = keep + a + ctl + b + ctl2;
  // Fed in awkward pieces: inside a header, inside a payload, at a boundary.
  size_t cuts[] = {2, 5, 40, keep.size() + a.size(), all.size() - 1, all.size()};
  size_t from = 0;
  for (size_t cut : cuts) {
    w.feed(all.substr(from, cut - from));
    from = cut;
    ASSERT_EQ(TUNNEL_WALK_OK, w.walk());
    // What is kept is always the start of a record not yet complete.
    EXPECT_EQ(0, std::memcmp(w.rb.data, all.data() + from - w.rb.held, w.rb.held));
  }
  ASSERT_EQ(2u, w.d.records.size());
  EXPECT_EQ(1, w.d.records[0][0]);
  EXPECT_EQ(a.size(), w.d.records[0].size());
  EXPECT_EQ(2, w.d.records[1][0]);
  EXPECT_EQ(b.substr(4), w.d.records[1].substr(4));
  EXPECT_EQ(0u, w.rb.held);
}

TEST(TunnelWalk, LargestRecordFitsExactly) {
  Walker w;
  std::string rec = record(1, std::string(TUNNEL_MAX_PAYLOAD, 'p'));
  ASSERT_EQ(static_cast<size_t>(TUNNEL_BUFFER_SIZE), rec.size());
  w.feed(rec.substr(0, 1000));
  ASSERT_EQ(TUNNEL_WALK_OK, w.walk());
  w.feed(rec.substr(1000));
  ASSERT_EQ(TUNNEL_WALK_OK, w.walk());
  ASSERT_EQ(1u, w.d.records.size());
  EXPECT_EQ(rec.size(), w.d.records[0].size());
}

TEST(TunnelWalk, OversizedRecordIsAnErrorNotAStall) {
  Walker w;
  w.feed(record(1, frame60()));
  w.feed(std::string("\x01\xff\xfd\x00", 4) + "partial");  // 65533 bytes of payload
  EXPECT_EQ(TUNNEL_WALK_OVERSIZED, w.walk());
  EXPECT_EQ(1u, w.d.records.size());  // what came before was still delivered
  EXPECT_EQ(11u, w.rb.held);
}

TEST(TunnelWalk, FailedDeliveryStops) {
  Walker w;
  w.d.fail_at = 1;
  w.feed(record(1, frame60()) + record(1, frame60()) + record(1, frame60()));
  EXPECT_EQ(TUNNEL_WALK_DELIVER_FAILED, w.walk());
  EXPECT_EQ(1u, w.d.records.size());
}

}  // namespace
