// Tunnel phase of keva-server: keepalives, the learning switch between
// clients, bad batches and split or silent tunnels.
#include <gtest/gtest.h>

#include <memory>

#include "support.h"

using namespace kst;

namespace {

const uint8_t MAC_A[6] = {0x02, 0, 0, 0, 0, 0x0a};
const uint8_t MAC_B[6] = {0x02, 0, 0, 0, 0, 0x0b};
const uint8_t MAC_C[6] = {0x02, 0, 0, 0, 0, 0x0c};
const uint8_t BROADCAST[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

std::unique_ptr<TestClient> tunnel_client(ServerProcess& srv, const std::string& user) {
  auto c = std::make_unique<TestClient>();
  if (c->login_password(srv.port, user, "pw") != 0 || !c->to_tunnel()) return nullptr;
  if (!srv.wait_for(user + ": tunnel up")) return nullptr;
  return c;
}

// Reads one tunnel record, skipping nothing: the server sends only what it forwards.
std::string read_record(TestClient& c, int timeout_ms = 3000) {
  Message m;
  if (!c.read(m, timeout_ms)) return "";
  return msg(m.code, m.payload);
}

}  // namespace

TEST(KevaServerTunnel, KeepaliveIsAnsweredAndBadBatchesAreDropped) {
  ServerProcess srv;
  ASSERT_TRUE(srv.start({}));
  auto c = tunnel_client(srv, "solo");
  ASSERT_TRUE(c);
  ASSERT_TRUE(c->send(msg(0x00)));
  EXPECT_EQ(read_record(*c), msg(0x00));
  // Count 3 with one frame inside; a frame running past its batch; a control record.
  std::string f = frame(BROADCAST, MAC_A, 60, 1);
  std::string short_batch = batch({f});
  short_batch[0] = 3;
  std::string overrun = batch({f});
  overrun[5] = 100;  // the frame claims 100 bytes, 60 are there
  ASSERT_TRUE(c->send(short_batch + overrun + msg(0xC1, "xyz")));
  EXPECT_TRUE(srv.wait_for("bad frame batch dropped: frame runs past the batch"));
  EXPECT_TRUE(srv.wait_for("control message CONFIG(0xc1) 3 bytes skipped"));
  // Still alive afterwards.
  ASSERT_TRUE(c->send(msg(0x00)));
  EXPECT_EQ(read_record(*c), msg(0x00));
  EXPECT_EQ(srv.stop(), 0);
  EXPECT_NE(srv.output().find("bad 2"), std::string::npos);
}

TEST(KevaServerTunnel, LearningSwitchFloodsThenForwardsUnicast) {
  ServerProcess srv;
  ASSERT_TRUE(srv.start({}));
  auto a = tunnel_client(srv, "a");
  auto b = tunnel_client(srv, "b");
  auto c = tunnel_client(srv, "c");
  ASSERT_TRUE(a && b && c);

  // A broadcast from A reaches B and C unchanged (and teaches the switch A).
  std::string bc = batch({frame(BROADCAST, MAC_A, 60, 0x11)});
  ASSERT_TRUE(a->send(bc));
  EXPECT_EQ(read_record(*b), bc);
  EXPECT_EQ(read_record(*c), bc);

  // B answers A: only A gets it, C learns nothing of it.
  std::string to_a = batch({frame(MAC_A, MAC_B, 1514, 0x22)});
  ASSERT_TRUE(b->send(to_a));
  EXPECT_EQ(read_record(*a), to_a);
  // C announces itself with a frame to an unknown address: flooded to A and B.
  std::string unknown = batch({frame(MAC_B, MAC_C, 64, 0x33)});
  unknown[6] = 0x0d;  // destination 02:..:0d, never seen
  ASSERT_TRUE(c->send(unknown));
  EXPECT_EQ(read_record(*a), unknown);
  EXPECT_EQ(read_record(*b), unknown);

  // One batch from A with a frame for B, one for C and one broadcast: B and C
  // each get a batch of their own frame plus the broadcast, in order.
  std::string fb = frame(MAC_B, MAC_A, 100, 0x44), fc = frame(MAC_C, MAC_A, 70, 0x55),
              fx = frame(BROADCAST, MAC_A, 60, 0x66);
  ASSERT_TRUE(a->send(batch({fb, fc, fx})));
  EXPECT_EQ(read_record(*b), batch({fb, fx}));
  EXPECT_EQ(read_record(*c), batch({fc, fx}));

  // Nothing else was queued for anyone: the next keepalive answer comes first.
  for (auto* t : {a.get(), b.get(), c.get()}) {
    ASSERT_TRUE(t->send(msg(0x00)));
    EXPECT_EQ(read_record(*t), msg(0x00));
  }

  // When B leaves, frames for it flood again.
  b.reset();
  ASSERT_TRUE(srv.wait_for(" b: closed"));
  std::string late = batch({frame(MAC_B, MAC_A, 60, 0x77)});
  ASSERT_TRUE(a->send(late));
  EXPECT_EQ(read_record(*c), late);
  EXPECT_EQ(srv.stop(), 0);
}

TEST(KevaServerTunnel, SplitSilentAndDroppedTunnels) {
  {
    ServerProcess srv;
    ASSERT_TRUE(srv.start({"--split", "2,7"}));
    auto a = tunnel_client(srv, "a");
    auto b = tunnel_client(srv, "b");
    ASSERT_TRUE(a && b);
    std::string bc = batch({frame(BROADCAST, MAC_A, 60, 1), frame(BROADCAST, MAC_A, 60, 2)});
    ASSERT_TRUE(a->send(bc));
    uint8_t buf[256];
    std::string got;
    std::vector<int> pieces;
    while (got.size() < bc.size()) {
      int n = b->read_some(buf, sizeof buf);
      ASSERT_GT(n, 0);
      pieces.push_back(n);
      got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
    }
    EXPECT_EQ(got, bc);
    EXPECT_EQ(pieces, (std::vector<int>{2, 5, static_cast<int>(bc.size()) - 7}));
    EXPECT_EQ(srv.stop(), 0);
  }
  {
    ServerProcess srv;
    ASSERT_TRUE(srv.start({"--silent", "tunnel"}));
    auto a = tunnel_client(srv, "a");
    ASSERT_TRUE(a);
    ASSERT_TRUE(a->send(msg(0x00)));
    Message m;
    EXPECT_FALSE(a->read(m, 1000));
    EXPECT_EQ(srv.stop(), 0);
  }
  {
    ServerProcess srv;  // the tunnel works until the drop is due
    ASSERT_TRUE(srv.start({"--drop", "tunnel:700"}));
    auto a = tunnel_client(srv, "a");
    ASSERT_TRUE(a);
    ASSERT_TRUE(a->send(msg(0x00)));
    EXPECT_EQ(read_record(*a), msg(0x00));
    EXPECT_TRUE(a->closed_by_peer(3000));
    EXPECT_TRUE(srv.wait_for("dropping the connection at tunnel"));
    EXPECT_EQ(srv.stop(), 0);
  }
}

TEST(KevaServerTunnel, StopsWithExitZeroWhileClientsAreConnected) {
  ServerProcess srv;
  ASSERT_TRUE(srv.start({}));
  auto a = tunnel_client(srv, "a");
  ASSERT_TRUE(a);
  TestClient half;  // stuck in the greeting
  ASSERT_TRUE(half.connect(srv.port));
  EXPECT_EQ(srv.stop(), 0);
  EXPECT_TRUE(a->closed_by_peer(2000));
}
