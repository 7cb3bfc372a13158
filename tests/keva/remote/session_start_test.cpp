// The whole session start (greeting, TLS, login, information, wait for the
// tunnel) through remote_open against the reference server keva-server.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "files.h"
#include "in_process.h"
#include "keva12.h"
#include "msgbuf.h"
#include "peers.h"
#include "profile.h"
#include "remote.h"
#include "ssl.h"
#include "tls_peer.h"

namespace {

struct Identity {
  std::string key, cert;
};
const Identity& server_identity() {
  static Identity id = [] {
    Identity i;
    testpeer::make_identity("127.0.0.1", &i.key, &i.cert);
    return i;
  }();
  return id;
}
const Identity& client_identity() {
  static Identity id = [] {
    Identity i;
    testpeer::make_identity("client-7", &i.key, &i.cert);
    return i;
  }();
  return id;
}

// keva-server with this suite's identities and users, in a folder of its own.
class Server {
 public:
  explicit Server(const std::vector<std::string>& extra) : process_(options(extra)) {}
  int port() const { return process_.port(); }
  const std::string& dir() const { return dir_.path(); }

 private:
  std::vector<std::string> options(const std::vector<std::string>& extra) {
    const std::string& d = dir_.path();
    write_file(d + "/key.pem", server_identity().key);
    write_file(d + "/cert.pem", server_identity().cert);
    write_file(d + "/ca.pem", client_identity().cert);
    write_file(d + "/users", "al:pw\nticket:TK-1\ncert-cn:client-7\ndisabled:bob\nbob:pw\n");
    std::vector<std::string> args = {"--cert", d + "/cert.pem", "--key",   d + "/key.pem",
                                     "--ca",   d + "/ca.pem",   "--users", d + "/users"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  TempDir dir_{"velarn-kevaserver"};
  KevaServer process_;
};

class SessionStart : public ::testing::Test, public PoolFixtureBase {
 protected:
  void SetUp() override {
    static bool once = [] {
      msgbuf_init(nullptr);
      return true;
    }();
    (void)once;
    ssl_global_init(pool);
  }

  // One attempt at server with the given login elements.
  int open(const Server& server, const std::string& auth) {
    std::string xml = "<profile version=\"1.0\"><host>127.0.0.1</host><port>" + std::to_string(server.port()) +
                      "</port><reconnect>1</reconnect>" + auth + "</profile>";
    SessionProfile* p = nullptr;
    EXPECT_EQ(0, profile_parse(pool, xml.data(), xml.size(), &p));
    if (!p) return -2;
    link = remote_link_create(pool, p, nullptr);
    int rc = remote_open(link);
    if (rc == 0) {
      // Leave the tunnel as the session would.
      remote_close(link);
      TunnelBuffer* rb = static_cast<TunnelBuffer*>(apr_pcalloc(pool, sizeof(TunnelBuffer)));
      while (tunnel_read(link->connection, rb) == TUNNEL_OK) rb->held = 0;
    }
    apr_pool_clear(link->pool);
    return rc;
  }

  RemoteLink* link = nullptr;
  CapturedLog log;
};

std::string password(const std::string& user, const std::string& pw) {
  return "<authtype>password</authtype><switch>office</switch><username>" + user + "</username><password>" + pw +
         "</password>";
}
std::string x509() {
  return "<authtype>x509</authtype><switch>office</switch><privatekey>" + client_identity().key +
         "</privatekey><certificate>" + client_identity().cert + "</certificate>";
}
const char* kTicket = "<authtype>ticket</authtype><ticket>TK-1</ticket>";

TEST_F(SessionStart, EveryLoginMethod) {
  Server server({"--version-text", "ref 2", "--keepalive", "20", "--mac", "02:00:00:00:00:01"});
  ASSERT_GT(server.port(), 0);
  std::string trust = "<trust>" + server_identity().cert + "</trust>";
  struct Case {
    const char* name;
    std::string auth;
  } cases[] = {{"password", password("al", "pw") + trust}, {"ticket", kTicket}, {"x509", x509() + trust}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CapturedLog seen;
    EXPECT_EQ(0, open(server, c.auth));
    EXPECT_TRUE(seen.has("server version: ref 2"));
    EXPECT_EQ(1, link->reconnect_allowed);
    EXPECT_EQ(SESSION_CLOSING, link->state);
  }
}

TEST_F(SessionStart, RefusalsFromTheUsersFile) {
  Server server({});
  ASSERT_GT(server.port(), 0);
  EXPECT_EQ(-1, open(server, password("al", "wrong")));
  EXPECT_TRUE(log.has("login error: authentication failure"));
  EXPECT_EQ(0, link->reconnect_allowed);
  EXPECT_EQ(-1, open(server, password("bob", "pw")));
  EXPECT_TRUE(log.has("login error: user disabled"));
  EXPECT_EQ(0, link->reconnect_allowed);
}

TEST_F(SessionStart, RefusalsThatAllowAnotherTry) {
  for (const char* code : {"2", "3", "9"}) {
    SCOPED_TRACE(code);
    Server server({"--refuse", code});
    ASSERT_GT(server.port(), 0);
    CapturedLog seen;
    EXPECT_EQ(-1, open(server, password("al", "pw")));
    std::string expect = code[0] == '2'   ? "login error: user already connected"
                         : code[0] == '3' ? "login error: too many connections"
                                          : "login error: protocol error";
    EXPECT_TRUE(seen.has(expect));
    EXPECT_EQ(1, link->reconnect_allowed);
  }
}

TEST_F(SessionStart, ServerMisbehaviour) {
  {
    Server server({"--pre-tunnel", "01000000", "--info-extra", "b0000100ff"});
    EXPECT_EQ(0, open(server, kTicket));
  }
  {
    Server server({"--bad-info", "keepalive"});
    CapturedLog seen;
    EXPECT_EQ(-1, open(server, kTicket));
    EXPECT_TRUE(seen.has("KEVA/1.2 protocol error"));
  }
  {
    Server server({"--greeting", "KEVA/1.0 OK"});
    CapturedLog seen;
    EXPECT_EQ(-1, open(server, kTicket));
    EXPECT_TRUE(seen.has("handshake error: protocol mismatch"));
  }
  {
    Server server({"--split", "bytes"});
    EXPECT_EQ(0, open(server, password("al", "pw")));
  }
}

}  // namespace
