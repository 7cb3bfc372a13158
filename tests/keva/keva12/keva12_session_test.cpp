// The protocol run over a real TCP connection and real TLS, against a peer
// whose every byte the test scripts.
#include <apr_general.h>
#include <apr_network_io.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "in_process.h"
#include "keva12.h"
#include "log.h"
#include "msgbuf.h"
#include "profile.h"
#include "ssl.h"
#include "tls_peer.h"

using testpeer::Message;
using testpeer::TlsPeer;

namespace {

std::string profile_xml(const std::string& auth) {
  return "<profile version=\"1.0\"><host>127.0.0.1</host>" + auth + "</profile>";
}
const char* kPassword =
    "<authtype>password</authtype><switch>office</switch><username>al</username>"
    "<password>pw</password>";
const char* kTicket = "<authtype>ticket</authtype><ticket>TK-1</ticket>";

// The server side of the information exchange, answering with `answer`.
bool serve_info(SSL* ssl, const std::string& answer, std::vector<Message>* seen = nullptr) {
  Message m;
  do {
    if (!testpeer::read_message(ssl, &m)) return false;
    if (seen) seen->push_back(m);
  } while (m.code != KEVA_OK);
  return testpeer::write_bytes(ssl, answer);
}

class Keva12Session : public ::testing::Test, public PoolFixtureBase {
 protected:
  void SetUp() override {
    static bool once = [] {
      msgbuf_init(nullptr);
      return true;
    }();
    (void)once;
    ssl_global_init(pool);
  }

  SessionProfile* profile(const std::string& auth) {
    std::string xml = profile_xml(auth);
    SessionProfile* p = nullptr;
    EXPECT_EQ(0, profile_parse(pool, xml.data(), xml.size(), &p));
    return p;
  }

  RemoteConnection* connect(int port) {
    apr_sockaddr_t* addr = nullptr;
    apr_socket_t* sock = nullptr;
    EXPECT_EQ(APR_SUCCESS, apr_sockaddr_info_get(&addr, "127.0.0.1", APR_INET, static_cast<apr_port_t>(port), 0, pool));
    EXPECT_EQ(APR_SUCCESS, apr_socket_create(&sock, APR_INET, SOCK_STREAM, APR_PROTO_TCP, pool));
    apr_socket_timeout_set(sock, apr_time_from_sec(10));
    EXPECT_EQ(APR_SUCCESS, apr_socket_connect(sock, addr));
    RemoteConnection* conn = remote_connection_create(pool, sock, addr);
    conn->host = "127.0.0.1";
    return conn;
  }

  CapturedLog log;
};

TEST_F(Keva12Session, PasswordLoginInfoAndTunnel) {
  std::string batch;
  std::vector<Message> client_info, answers;
  TlsPeer peer([&](SSL* ssl) {
    char buf[1024];
    // The whole login batch comes as one write, hence one TLS record.
    int n = SSL_read(ssl, buf, sizeof buf);
    if (n > 0) batch.assign(buf, static_cast<size_t>(n));
    testpeer::write_bytes(ssl, testpeer::message(KEVA_OK));
    serve_info(ssl,
               testpeer::message(KEVA_VERSION, "srv 9") + testpeer::message(0xB0, "skip me") +
                   testpeer::message(KEVA_MAC_ADDR, std::string("\x02\x00\x00\x00\x00\x07", 6)) +
                   testpeer::message(KEVA_KEEPALIVE, "\x0f") +
                   testpeer::message(KEVA_CAPABILITY, std::string("\x05\x00", 2)) + testpeer::message(KEVA_OK),
               &client_info);
    // CONFIG goes unanswered, a frame batch before TUNNEL gets ERR F0.
    testpeer::write_bytes(ssl, testpeer::message(KEVA_CONFIG, "cfg") +
                                   testpeer::message(1, std::string("\x00\x01Z", 3)) + testpeer::message(KEVA_TUNNEL));
    char ans[9];
    if (testpeer::read_exact(ssl, ans, sizeof ans)) answers.push_back({0, std::string(ans, 9)});
  });

  RemoteConnection* conn = connect(peer.port());
  ASSERT_EQ(0, keva12_client_start(conn, profile(kPassword)));
  EXPECT_EQ(KEVA12_GREETING, peer.greeting());
  EXPECT_EQ(std::string("\x90\x00\x06\x00office"
                        "\x91\x00\x02\x00"
                        "al\x92\x00\x02\x00pw\x94\x00\x01\x00\x01",
                        27),
            batch);

  ASSERT_EQ(3u, client_info.size());
  EXPECT_EQ(KEVA_VERSION, client_info[0].code);
  EXPECT_EQ("Velarn Client 1.4.5.248", client_info[0].payload);
  EXPECT_EQ(KEVA_DESCRIPTION, client_info[1].code);
  EXPECT_FALSE(client_info[1].payload.empty());
  EXPECT_LE(client_info[1].payload.size(), 80u);

  ASSERT_NE(nullptr, conn->info);
  EXPECT_STREQ("srv 9", conn->info->version);
  EXPECT_EQ(1, conn->info->mac_present);
  EXPECT_EQ(7, conn->info->mac[5]);
  EXPECT_EQ(15, conn->info->keepalive);
  EXPECT_EQ(1, conn->info->capability_zero);
  EXPECT_TRUE(log.has("server version: srv 9"));

  // The client's wait ended before the peer's last read finished; let it.
  for (int i = 0; i < 100 && answers.empty(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(1u, answers.size());
  EXPECT_EQ(std::string("\xFF\x00\x01\x00\xF0\x00\x00\x00\x00", 9), answers[0].payload);
  apr_socket_close(conn->socket);
}

TEST_F(Keva12Session, UnexpectedMessageAnsweredThenTunnelAcknowledged) {
  std::string answers;
  TlsPeer peer([&](SSL* ssl) {
    testpeer::Message m;
    testpeer::read_message(ssl, &m);  // login: only ZONE-less ticket batch
    testpeer::write_bytes(ssl, testpeer::message(KEVA_OK));
    serve_info(ssl, testpeer::message(KEVA_OK));
    testpeer::write_bytes(
        ssl, testpeer::message(KEVA_CONFIG) + testpeer::message(0x20, "x") + testpeer::message(KEVA_TUNNEL));
    char ans[9];
    if (testpeer::read_exact(ssl, ans, sizeof ans)) answers.assign(ans, sizeof ans);
  });
  RemoteConnection* conn = connect(peer.port());
  ASSERT_EQ(0, keva12_client_start(conn, profile(kTicket)));
  for (int i = 0; i < 100 && answers.empty(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(std::string("\xFF\x00\x01\x00\xF0\x00\x00\x00\x00", 9), answers);
}

TEST_F(Keva12Session, TicketLoginSendsNoZone) {
  std::string batch;
  TlsPeer peer([&](SSL* ssl) {
    char buf[256];
    int n = SSL_read(ssl, buf, sizeof buf);
    if (n > 0) batch.assign(buf, static_cast<size_t>(n));
    testpeer::write_bytes(ssl, testpeer::message(KEVA_ERR, "\x02"));
  });
  RemoteConnection* conn = connect(peer.port());
  EXPECT_EQ(-1, keva12_client_start(conn, profile(kTicket)));
  EXPECT_EQ(std::string("\x92\x00\x04\x00TK-1\x94\x00\x01\x00\x03", 13), batch);
}

TEST_F(Keva12Session, RefusalsAndTheirFatalFlag) {
  struct Case {
    std::string answer;
    const char* message;
    int fatal;
  } cases[] = {
      {testpeer::message(KEVA_ERR, std::string("\x00", 1)), "login error: authentication failure", 1},
      {testpeer::message(KEVA_ERR, "\x02"), "login error: user already connected", 0},
      {testpeer::message(KEVA_ERR, "\x03"), "login error: too many connections", 0},
      {testpeer::message(KEVA_ERR, "\x04"), "login error: user disabled", 1},
      {testpeer::message(KEVA_ERR, "\x07"), "login error: protocol error", 0},
      {testpeer::message(KEVA_TUNNEL), "login error: protocol error", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    CapturedLog seen;
    TlsPeer peer([&](SSL* ssl) {
      Message m;
      do {
        if (!testpeer::read_message(ssl, &m)) return;
      } while (m.code != KEVA_AUTH);
      testpeer::write_bytes(ssl, c.answer);
    });
    RemoteConnection* conn = connect(peer.port());
    EXPECT_EQ(-1, keva12_client_start(conn, profile(kPassword)));
    EXPECT_TRUE(seen.has(c.message));
    EXPECT_EQ(c.fatal, conn->fatal);
    apr_socket_close(conn->socket);
  }
}

TEST_F(Keva12Session, BadInfoLengthIsAProtocolError) {
  TlsPeer peer([&](SSL* ssl) {
    Message m;
    do {
      if (!testpeer::read_message(ssl, &m)) return;
    } while (m.code != KEVA_AUTH);
    testpeer::write_bytes(ssl, testpeer::message(KEVA_OK));
    serve_info(ssl, testpeer::message(KEVA_VERSION, std::string(81, 'v')));
  });
  RemoteConnection* conn = connect(peer.port());
  EXPECT_EQ(-1, keva12_client_start(conn, profile(kPassword)));
  EXPECT_TRUE(log.has("KEVA/1.2 protocol error"));
  EXPECT_EQ(0, conn->fatal);
}

TEST_F(Keva12Session, Greetings) {
  {
    testpeer::PeerOptions o;
    o.greeting_answer = "KEVA/1.2 OK and some more bytes";
    TlsPeer peer([](SSL*) {}, o);
    RemoteConnection* conn = connect(peer.port());
    EXPECT_EQ(0, keva12_client_handshake(conn));
    apr_socket_close(conn->socket);  // the peer now waits for TLS
  }
  {
    testpeer::PeerOptions o;
    o.greeting_answer = "KEVA/1.1 OK";
    TlsPeer peer([](SSL*) {}, o);
    CapturedLog seen;
    EXPECT_EQ(-1, keva12_client_handshake(connect(peer.port())));
    EXPECT_TRUE(seen.has("handshake error: protocol mismatch"));
  }
  {
    testpeer::PeerOptions o;
    o.close_at_greeting = true;
    TlsPeer peer([](SSL*) {}, o);
    CapturedLog seen;
    EXPECT_EQ(-1, keva12_client_handshake(connect(peer.port())));
    EXPECT_TRUE(seen.has("handshake error: I/O error"));
  }
}

// --- Tunnel phase -------------------------------------------------------------

struct Sink {
  std::vector<std::string> records;
};
int sink(void* ctx, unsigned char* rec, size_t len) {
  static_cast<Sink*>(ctx)->records.emplace_back(reinterpret_cast<char*>(rec), len);
  return 0;
}

class Keva12Tunnel : public Keva12Session {
 protected:
  // Runs the session start, then script in the tunnel phase.
  RemoteConnection* start(TlsPeer::Script tunnel_script, std::unique_ptr<TlsPeer>* peer) {
    *peer = std::make_unique<TlsPeer>([tunnel_script](SSL* ssl) {
      Message m;
      do {
        if (!testpeer::read_message(ssl, &m)) return;
      } while (m.code != KEVA_AUTH);
      testpeer::write_bytes(ssl, testpeer::message(KEVA_OK));
      serve_info(ssl, testpeer::message(KEVA_OK));
      testpeer::write_bytes(ssl, testpeer::message(KEVA_TUNNEL));
      if (!testpeer::read_message(ssl, &m) || m.code != KEVA_OK) return;
      tunnel_script(ssl);
    });
    RemoteConnection* conn = connect((*peer)->port());
    EXPECT_EQ(0, keva12_client_start(conn, profile(kPassword)));
    return conn;
  }
};

TEST_F(Keva12Tunnel, RecordsAcrossReadsThenOrderlyClose) {
  std::string frame = std::string("\x00\x3c", 2) + std::string(60, 'F');
  std::atomic<bool> written{false};
  std::unique_ptr<TlsPeer> peer;
  RemoteConnection* conn = start(
      [&](SSL* ssl) {
        std::string rec = testpeer::message(1, frame);
        // Split inside the payload, then a keepalive, a control record and
        // two batches in one write.
        testpeer::write_bytes(ssl, rec.substr(0, 10));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        testpeer::write_bytes(ssl, rec.substr(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        testpeer::write_bytes(ssl, testpeer::message(0) + testpeer::message(0x85, "ctl") + rec + rec);
        written = true;
        // What the client sends: a keepalive and one 60-byte frame.
        char got[4 + 66];
        if (testpeer::read_exact(ssl, got, sizeof got))
          testpeer::write_bytes(ssl, testpeer::message(9, std::string(got, sizeof got)));
      },
      &peer);
  ASSERT_NE(nullptr, conn);
  TunnelBuffer* rb = static_cast<TunnelBuffer*>(apr_pcalloc(pool, sizeof(TunnelBuffer)));
  Sink s;
  while (s.records.size() < 3) {
    ASSERT_EQ(TUNNEL_OK, tunnel_read(conn, rb));
    ASSERT_EQ(TUNNEL_WALK_OK, tunnel_walk(rb->data, &rb->held, sink, &s));
  }
  ASSERT_EQ(3u, s.records.size());
  for (const std::string& r : s.records) EXPECT_EQ(std::string("\x01\x00\x00\x00", 4) + frame, r);

  unsigned char keepalive[4] = {0, 0, 0, 0};
  uint32_t len = 4;
  ASSERT_EQ(TUNNEL_OK, tunnel_write(conn, keepalive, &len));
  EXPECT_EQ(0u, len);
  std::string out = std::string("\x01\x00\x3e\x00", 4) + frame;
  len = static_cast<uint32_t>(out.size());
  ASSERT_EQ(TUNNEL_OK, tunnel_write(conn, reinterpret_cast<unsigned char*>(out.data()), &len));

  // The peer echoes both inside a record of code 9, then closes TLS.
  while (s.records.size() < 4) {
    ASSERT_EQ(TUNNEL_OK, tunnel_read(conn, rb));
    ASSERT_EQ(TUNNEL_WALK_OK, tunnel_walk(rb->data, &rb->held, sink, &s));
  }
  EXPECT_EQ(std::string(4, '\0') + out, s.records[3].substr(4));

  int rc = TUNNEL_OK;
  for (int i = 0; i < 5 && rc == TUNNEL_OK; i++) rc = tunnel_read(conn, rb);
  EXPECT_EQ(TUNNEL_CLOSED, rc);
  EXPECT_NE(0, SSL_get_shutdown(conn->ssl));
}

TEST_F(Keva12Tunnel, OversizedRecordEndsTheConnection) {
  std::unique_ptr<TlsPeer> peer;
  RemoteConnection* conn = start(
      [](SSL* ssl) {
        testpeer::write_bytes(ssl, std::string("\x01\xff\xff\x00", 4) + std::string(100, 'x'));
        char c;
        SSL_read(ssl, &c, 1);  // until the client goes
      },
      &peer);
  ASSERT_NE(nullptr, conn);
  TunnelBuffer* rb = static_cast<TunnelBuffer*>(apr_pcalloc(pool, sizeof(TunnelBuffer)));
  Sink s;
  int walk = TUNNEL_WALK_OK, rc = TUNNEL_OK;
  for (int i = 0; i < 10 && rc == TUNNEL_OK; i++) {
    rc = tunnel_read(conn, rb);
    if (rc == TUNNEL_OK) walk = tunnel_walk(rb->data, &rb->held, sink, &s);
  }
  EXPECT_EQ(TUNNEL_WALK_OVERSIZED, walk);
  EXPECT_EQ(TUNNEL_FAILED, rc);
  EXPECT_TRUE(log.has("KEVA/1.2 protocol error"));
  EXPECT_TRUE(s.records.empty());
  apr_socket_close(conn->socket);
}

}  // namespace
