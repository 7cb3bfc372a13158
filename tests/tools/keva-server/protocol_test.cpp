// Login phases of keva-server as a client sees them: greeting, TLS, the four
// login methods, the information block, TUNNEL and the misbehaviour switches.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <memory>
#include <tuple>

#include "support.h"

using namespace kst;

namespace {

const char USERS[] =
    "# test users\n"
    "alice:wonderland\n"
    "bob:builder:with:colons\n"
    "cert-cn:alice-cert\n"
    "ticket:T-12345\n"
    "disabled:carol\n"
    "carol:secret\n";

std::string users_file() { return write_temp_file("users", USERS); }

}  // namespace

TEST(KevaServerGreeting, AnswersGreetingAndCompletesTls) {
  ServerProcess srv;
  ASSERT_TRUE(srv.start({}));
  TestClient c;
  ASSERT_TRUE(c.connect(srv.port));
  std::string answer;
  ASSERT_TRUE(c.greet(&answer));
  EXPECT_EQ(answer, "KEVA/1.2 OK");
  ASSERT_TRUE(c.tls());
  EXPECT_TRUE(srv.wait_for("TLS up"));
  EXPECT_EQ(srv.stop(), 0);
}

TEST(KevaServerGreeting, WrongGreetingIsClosedAndCustomGreetingSent) {
  ServerProcess srv;
  ASSERT_TRUE(srv.start({"--greeting", "KEVA/1.2 OK and more"}));
  TestClient bad;
  ASSERT_TRUE(bad.connect(srv.port));
  ASSERT_EQ(::send(bad.fd(), "KEVA/1.1 CONNECT", 16, MSG_NOSIGNAL), 16);
  EXPECT_TRUE(bad.closed_by_peer());
  TestClient c;
  ASSERT_TRUE(c.connect(srv.port));
  std::string answer;
  ASSERT_TRUE(c.greet(&answer));
  EXPECT_EQ(answer, "KEVA/1.2 OK and more");
  EXPECT_EQ(srv.stop(), 0);
}

TEST(KevaServerGreeting, NonProtocolGreetingGetsNoAnswer) {
  ServerProcess srv;
  ASSERT_TRUE(srv.start({}));
  TestClient c;
  ASSERT_TRUE(c.connect(srv.port));
  ASSERT_TRUE(c.tls() == false);  // a TLS hello where the greeting belongs
  EXPECT_TRUE(srv.wait_for("greeting: not"));
  EXPECT_EQ(srv.stop(), 0);
}

TEST(KevaServerLogin, PasswordLoginAgainstUsersFile) {
  ServerProcess srv;
  ASSERT_TRUE(srv.start({"--users", users_file()}));
  {
    TestClient c;
    EXPECT_EQ(c.login_password(srv.port, "alice", "wonderland"), 0);
    EXPECT_TRUE(srv.wait_for("login accepted: password login zone \"office\""));
  }
  {
    TestClient c;  // the password may itself contain colons
    EXPECT_EQ(c.login_password(srv.port, "bob", "builder:with:colons"), 0);
  }
  {
    TestClient c;
    EXPECT_EQ(c.login_password(srv.port, "alice", "Wonderland"), 0x100);
    EXPECT_TRUE(c.closed_by_peer());
  }
  {
    TestClient c;
    EXPECT_EQ(c.login_password(srv.port, "nobody", "x"), 0x100);
  }
  {
    TestClient c;  // a disabled user is refused even with the right password
    EXPECT_EQ(c.login_password(srv.port, "carol", "secret"), 0x104);
  }
  EXPECT_EQ(srv.stop(), 0);
}

TEST(KevaServerLogin, TicketLoginWithoutZone) {
  ServerProcess srv;
  ASSERT_TRUE(srv.start({"--users", users_file()}));
  for (auto [ticket, expected] : {std::pair<std::string, int>{"T-12345", 0}, {"T-99999", 0x100}}) {
    TestClient c;
    ASSERT_TRUE(c.connect(srv.port) && c.greet() && c.tls());
    ASSERT_TRUE(c.send(msg(0x92, ticket) + msg(0x94, "\x03")));
    Message m;
    ASSERT_TRUE(c.read(m));
    EXPECT_EQ(m.code == 0 ? 0 : 0x100 | static_cast<uint8_t>(m.payload[0]), expected) << ticket;
  }
  EXPECT_EQ(srv.stop(), 0);
}

TEST(KevaServerLogin, CertificateLoginNeedsVerifiedListedCertificate) {
  const Pki& pki = Pki::get();
  ServerProcess srv;
  ASSERT_TRUE(srv.start({"--users", users_file(), "--ca", pki.ca()}));
  {
    TestClient c;
    ASSERT_TRUE(c.connect(srv.port) && c.greet() && c.tls(pki.client_cert(), pki.client_key()));
    ASSERT_TRUE(c.send(msg(0x90, "office") + msg(0x94, "\x02")));
    Message m;
    ASSERT_TRUE(c.read(m));
    EXPECT_EQ(m.code, 0x00);
    EXPECT_TRUE(srv.wait_for("alice-cert: login accepted: certificate login"));
  }
  {
    TestClient c;  // no certificate shown in the handshake
    ASSERT_TRUE(c.connect(srv.port) && c.greet() && c.tls());
    ASSERT_TRUE(c.send(msg(0x90, "office") + msg(0x94, "\x02")));
    Message m;
    ASSERT_TRUE(c.read(m));
    EXPECT_EQ(m.code, 0xFF);
    EXPECT_EQ(m.payload, std::string(1, '\0'));
    EXPECT_TRUE(srv.wait_for("no client certificate"));
  }
  {
    TestClient c;  // a certificate the CA did not sign fails the handshake itself
    ASSERT_TRUE(c.connect(srv.port) && c.greet());
    bool up = c.tls(pki.rogue_cert(), pki.rogue_key());
    Message m;
    EXPECT_FALSE(up && c.send(msg(0x94, "\x02")) && c.read(m));
  }
  EXPECT_EQ(srv.stop(), 0);
}

TEST(KevaServerLogin, RefusalOnCommandAndTooManyConnections) {
  for (int reason : {0, 2, 4, 9}) {
    ServerProcess srv;
    ASSERT_TRUE(srv.start({"--refuse", std::to_string(reason)}));
    TestClient c;
    EXPECT_EQ(c.login_password(srv.port, "anyone", "anything"), 0x100 | reason);
    EXPECT_EQ(srv.stop(), 0);
  }
  ServerProcess srv;
  ASSERT_TRUE(srv.start({"--max-clients", "1"}));  // no users file: any credentials
  auto first = std::make_unique<TestClient>();
  TestClient second, third;
  ASSERT_EQ(first->login_password(srv.port, "a", "b"), 0);
  EXPECT_EQ(second.login_password(srv.port, "c", "d"), 0x103);
  first.reset();
  // Once the first client has gone its place is free again.
  ASSERT_TRUE(srv.wait_for(" a: closed"));
  EXPECT_EQ(third.login_password(srv.port, "e", "f"), 0);
  EXPECT_EQ(srv.stop(), 0);
}

TEST(KevaServerInfo, InformationBlockThenTunnel) {
  ServerProcess srv;
  ASSERT_TRUE(srv.start({"--mac", "02:00:5e:10:20:30", "--keepalive", "20", "--capability", "0100ff", "--version-text",
                         "ref 9", "--description", "test box"}));
  TestClient c;
  ASSERT_EQ(c.login_password(srv.port, "u", "p"), 0);
  std::vector<Message> info;
  ASSERT_TRUE(c.to_tunnel(&info));
  ASSERT_EQ(info.size(), 5u);
  EXPECT_EQ(info[0].code, 0xA0);
  EXPECT_EQ(info[0].payload, "ref 9");
  EXPECT_EQ(info[1].code, 0xA1);
  EXPECT_EQ(info[1].payload, "test box");
  EXPECT_EQ(info[2].code, 0xA2);
  EXPECT_EQ(info[2].payload, std::string("\x01\x00\xff", 3));
  EXPECT_EQ(info[3].code, 0xA3);
  EXPECT_EQ(info[3].payload, std::string("\x02\x00\x5e\x10\x20\x30", 6));
  EXPECT_EQ(info[4].code, 0xA4);
  EXPECT_EQ(info[4].payload, std::string(1, '\x14'));
  EXPECT_TRUE(srv.wait_for("client version: Velarn Client 1.4.5.248"));
  EXPECT_TRUE(srv.wait_for("client system: test system"));
  EXPECT_TRUE(srv.wait_for("tunnel up"));
  EXPECT_EQ(srv.stop(), 0);
}

TEST(KevaServerInfo, BadLengthsExtraBytesAndPreTunnelRecords) {
  ServerProcess srv;
  ASSERT_TRUE(srv.start({"--bad-info", "version", "--info-extra", "b0000100ff", "--pre-tunnel",
                         "c1000000"
                         "01000000"}));
  TestClient c;
  ASSERT_EQ(c.login_password(srv.port, "u", "p"), 0);
  ASSERT_TRUE(c.send(msg(0x00)));
  Message m;
  ASSERT_TRUE(c.read(m));
  EXPECT_EQ(m.code, 0xA0);
  EXPECT_EQ(m.payload.size(), 81u);
  ASSERT_TRUE(c.read(m));
  EXPECT_EQ(m.code, 0xA1);
  ASSERT_TRUE(c.read(m));
  EXPECT_EQ(m.code, 0xB0);
  EXPECT_EQ(m.payload, std::string(1, '\xff'));
  ASSERT_TRUE(c.read(m));
  EXPECT_EQ(m.code, 0x00);
  ASSERT_TRUE(c.read(m));
  EXPECT_EQ(m.code, 0xC1);
  ASSERT_TRUE(c.read(m));
  EXPECT_EQ(m.code, 0x01);
  ASSERT_TRUE(c.read(m));
  EXPECT_EQ(m.code, 0xC0);
  // The client's ERR to the unexpected batch is noted and the wait goes on.
  ASSERT_TRUE(c.send(msg(0xFF, "\xf0") + msg(0x00)));
  EXPECT_TRUE(srv.wait_for("client answered ERR 0xf0"));
  EXPECT_TRUE(srv.wait_for("tunnel up"));
  EXPECT_EQ(srv.stop(), 0);

  for (auto [field, code, len] :
       {std::tuple{"description", 0xA1, 81}, {"capability", 0xA2, 0}, {"mac", 0xA3, 5}, {"keepalive", 0xA4, 2}}) {
    ServerProcess s;
    ASSERT_TRUE(s.start({"--bad-info", field}));
    TestClient k;
    ASSERT_EQ(k.login_password(s.port, "u", "p"), 0);
    std::vector<Message> info;
    ASSERT_TRUE(k.to_tunnel(&info));
    bool found = false;
    for (auto& i : info)
      if (i.code == code) found = static_cast<int>(i.payload.size()) == len;
    EXPECT_TRUE(found) << field;
  }
}

TEST(KevaServerMisbehaviour, SilentAndDroppedPhases) {
  {
    ServerProcess srv;
    ASSERT_TRUE(srv.start({"--silent", "login"}));
    TestClient c;
    ASSERT_TRUE(c.connect(srv.port) && c.greet() && c.tls());
    ASSERT_TRUE(c.send(msg(0x91, "u") + msg(0x92, "p") + msg(0x94, "\x01")));
    Message m;
    EXPECT_FALSE(c.read(m, 1500));  // no answer, but the connection stays
    EXPECT_TRUE(srv.wait_for("silent from login on"));
    EXPECT_EQ(srv.stop(), 0);  // a silent client thread must not hold up the exit
  }
  {
    ServerProcess srv;
    ASSERT_TRUE(srv.start({"--silent", "greeting"}));
    TestClient c;
    ASSERT_TRUE(c.connect(srv.port));
    c.set_timeout(1000);
    EXPECT_FALSE(c.greet());
    EXPECT_EQ(srv.stop(), 0);
  }
  {
    ServerProcess srv;
    ASSERT_TRUE(srv.start({"--drop", "info"}));
    TestClient c;
    ASSERT_EQ(c.login_password(srv.port, "u", "p"), 0);
    ASSERT_TRUE(c.send(msg(0x00)));
    EXPECT_TRUE(c.closed_by_peer());
    EXPECT_TRUE(srv.wait_for("dropping the connection at info"));
    EXPECT_EQ(srv.stop(), 0);
  }
  {
    ServerProcess srv;
    ASSERT_TRUE(srv.start({"--drop", "tls:200"}));
    TestClient c;
    ASSERT_TRUE(c.connect(srv.port) && c.greet());
    EXPECT_TRUE(c.closed_by_peer());
    EXPECT_EQ(srv.stop(), 0);
  }
}

TEST(KevaServerMisbehaviour, SplitWritesStillCarryWholeMessages) {
  ServerProcess srv;
  ASSERT_TRUE(srv.start({"--split", "bytes", "--mac", "02:00:00:00:00:01"}));
  TestClient c;
  ASSERT_TRUE(c.connect(srv.port) && c.greet() && c.tls());
  ASSERT_TRUE(c.send(msg(0x91, "u") + msg(0x92, "p") + msg(0x94, "\x01")));
  uint8_t buf[16];
  EXPECT_EQ(c.read_some(buf, sizeof buf), 1);  // each byte is a TLS record of its own
  EXPECT_EQ(buf[0], 0x00);
  EXPECT_EQ(c.read_some(buf, sizeof buf), 1);
  uint8_t rest[2];
  ASSERT_EQ(c.read_some(rest, 1), 1);
  ASSERT_EQ(c.read_some(rest + 1, 1), 1);
  std::vector<Message> info;
  ASSERT_TRUE(c.to_tunnel(&info));
  ASSERT_EQ(info.size(), 3u);
  EXPECT_EQ(info[2].payload, std::string("\x02\0\0\0\0\x01", 6));
  EXPECT_EQ(srv.stop(), 0);
}

TEST(KevaServerOptions, BadCommandLinesAndUsersFilesAreRejected) {
  const Pki& pki = Pki::get();
  {
    ServerProcess srv;
    EXPECT_FALSE(srv.start({"--users", write_temp_file("bad-users", "alice:x\nno colon here\n")}));
    EXPECT_EQ(srv.wait_exit(), 2);
    EXPECT_NE(srv.output().find("bad-users:2: expected KIND:VALUE"), std::string::npos);
  }
  for (std::vector<std::string> args : {std::vector<std::string>{"--mac", "02:00:00:00:00"},
                                        {"--split", "5,3"},
                                        {"--drop", "never"},
                                        {"--keepalive", "256"},
                                        {"--require-client-cert"}}) {
    ServerProcess srv;
    EXPECT_FALSE(srv.start(args));
    EXPECT_EQ(srv.wait_exit(), 2) << args[0];
  }
  {
    ServerProcess srv;  // key of another certificate
    EXPECT_FALSE(srv.start({"--cert", pki.server_cert(), "--key", pki.client_key()}, false));
    EXPECT_EQ(srv.wait_exit(), 1);
    EXPECT_NE(srv.output().find("key values mismatch"), std::string::npos);
  }
}
