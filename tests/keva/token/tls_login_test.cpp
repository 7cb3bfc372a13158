// Logins with the key on the token against real TLS servers: the whole
// session start with keva-server requiring a client certificate (TLS 1.2 and
// TLS 1.3), and handshakes with openssl s_server for the signature forms that
// keva-server's defaults never ask for.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstring>
#include <vector>

#include "keva12.h"
#include "msgbuf.h"
#include "peers.h"
#include "remote.h"
#include "ssl.h"
#include "tokensign_fixture.h"

namespace {

class TokenLogin : public TokenFixture {
 protected:
  void SetUp() override {
    TokenFixture::SetUp();
    if (HasFatalFailure()) return;
    static bool once = [] {
      msgbuf_init(nullptr);
      return true;
    }();
    (void)once;
    ssl_global_init(pool);
    make_identity("server", "127.0.0.1");
    make_identity("user", "token-user");
    import("user", "01");
  }

  std::string server_cert_pem() { return read_file(dir + "/server.crt"); }
};

TEST_F(TokenLogin, WholeSessionStartWithKevaServer) {
  write_file(dir + "/users", "cert-cn:token-user\n");
  struct Case {
    const char* name;
    std::vector<std::string> bounds;
    int version;
  } cases[] = {
      {"TLS 1.2", {"--tls-max", "1.2"}, TLS1_2_VERSION},
      {"TLS 1.3", {"--tls-min", "1.3"}, TLS1_3_VERSION},
  };
  std::string more = "<reconnect>1</reconnect><trust>" + server_cert_pem() + "</trust>";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"--cert",          dir + "/server.crt",     "--key",   dir + "/server.key", "--ca",
                                     dir + "/user.crt", "--require-client-cert", "--users", dir + "/users"};
    args.insert(args.end(), c.bounds.begin(), c.bounds.end());
    KevaServer server(args);
    ASSERT_GT(server.port(), 0) << server.output();

    SessionProfile* p =
        parse(token_profile(kSoftHsm, kPin, "<port>" + std::to_string(server.port()) + "</port>" + more));
    ASSERT_NE(p, nullptr);
    TokenSession* ts = setup(p);
    ASSERT_NE(ts, nullptr);

    apr_pool_t* attempt;
    apr_pool_create(&attempt, session_pool);
    ASSERT_EQ(0, token_fetch_certificate(ts, attempt));
    CapturedLog log;
    RemoteLink* link = remote_link_create(attempt, p, nullptr);
    ASSERT_NE(link, nullptr);
    ASSERT_EQ(0, remote_open(link));
    EXPECT_EQ(SESSION_CONNECTED, link->state);
    EXPECT_EQ(c.version, SSL_version(link->connection->ssl));
    EXPECT_TRUE(log.has("token sign.."));
    // The token is used during the handshake only: the attempt's own user
    // is the one left.
    EXPECT_EQ(1, ts->open_count);

    remote_close(link);
    auto* rb = static_cast<TunnelBuffer*>(apr_pcalloc(attempt, sizeof(TunnelBuffer)));
    while (tunnel_read(link->connection, rb) == TUNNEL_OK) rb->held = 0;
    apr_pool_destroy(attempt);
    EXPECT_EQ(0, ts->open_count);
    EXPECT_EQ(nullptr, p->auth.certificate);
    EXPECT_EQ(0, terminations);
  }
}

TEST_F(TokenLogin, StopDuringTheHandshakeFailsTheSignature) {
  write_file(dir + "/users", "cert-cn:token-user\n");
  KevaServer server({"--cert", dir + "/server.crt", "--key", dir + "/server.key", "--ca", dir + "/user.crt",
                     "--require-client-cert", "--users", dir + "/users"});
  ASSERT_GT(server.port(), 0) << server.output();
  SessionProfile* p = parse(
      token_profile(kSoftHsm, kPin, "<port>" + std::to_string(server.port()) + "</port><reconnect>1</reconnect>"));
  ASSERT_NE(p, nullptr);
  TokenSession* ts = setup(p);
  ASSERT_NE(ts, nullptr);
  apr_pool_t* attempt;
  apr_pool_create(&attempt, session_pool);
  ASSERT_EQ(0, token_fetch_certificate(ts, attempt));
  token_set_stop(ts, 1);
  CapturedLog log;
  RemoteLink* link = remote_link_create(attempt, p, nullptr);
  EXPECT_EQ(-1, remote_open(link));
  // The failed signature ends the attempt for good, and says no more than it
  // has to: no TLS error lines follow it.
  EXPECT_EQ(0, link->reconnect_allowed);
  EXPECT_FALSE(log.has("token sign.."));
  for (auto& e : log.entries()) EXPECT_EQ(std::string::npos, e.message.find("ssl error"));
  apr_pool_destroy(attempt);
}

// A plain TLS client with the token key, against openssl s_server in its
// echo-reversed mode: only a server that accepted the client's signature
// answers the line.
class TokenHandshake : public TokenLogin {
 protected:
  std::string exchange(int port, int version, SessionProfile* p) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_security_level(ctx, 0);
    SSL_CTX_set_min_proto_version(ctx, version);
    SSL_CTX_set_max_proto_version(ctx, version);
    if (version < TLS1_2_VERSION) SSL_CTX_set_cipher_list(ctx, "DEFAULT@SECLEVEL=0");
    std::string reply;
    if (SSL_CTX_use_PrivateKey(ctx, p->auth.private_key) == 1 &&
        SSL_CTX_use_certificate(ctx, p->auth.certificate) == 1) {
      int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(static_cast<uint16_t>(port));
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      timeval tv = {10, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        char buf[64];
        if (SSL_connect(ssl) == 1 && SSL_version(ssl) == version && SSL_write(ssl, "token\n", 6) == 6) {
          int n = SSL_read(ssl, buf, sizeof buf);
          if (n > 0) reply.assign(buf, static_cast<size_t>(n));
        }
        SSL_free(ssl);
      }
      close(fd);
    }
    SSL_CTX_free(ctx);
    return reply;
  }
};

TEST_F(TokenHandshake, PkcsOneAndLegacySignaturesWithOpensslServer) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    int version;
  } cases[] = {
      // TLS 1.2 with the server asking for PKCS #1 v1.5 only: DigestInfo form.
      {"TLS 1.2 RSA+SHA256", {"-tls1_2", "-client_sigalgs", "RSA+SHA256"}, TLS1_2_VERSION},
      {"TLS 1.2 RSA+SHA512", {"-tls1_2", "-client_sigalgs", "RSA+SHA512"}, TLS1_2_VERSION},
      // TLS 1.2 left to choose: RSA-PSS.
      {"TLS 1.2 default", {"-tls1_2"}, TLS1_2_VERSION},
      // TLS 1.0: the joined MD5 and SHA-1 digests, signed as they are.
      {"TLS 1.0", {"-tls1", "-cipher", "DEFAULT@SECLEVEL=0"}, TLS1_VERSION},
      {"TLS 1.3", {"-tls1_3"}, TLS1_3_VERSION},
  };
  SessionProfile* p = parse(token_profile(kSoftHsm, kPin));
  ASSERT_NE(p, nullptr);
  TokenSession* ts = setup(p);
  ASSERT_NE(ts, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"-cert", dir + "/server.crt", "-key", dir + "/server.key", "-naccept",
                                     "1",     "-Verify",           "1",    "-CAfile",           dir + "/user.crt"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    SServer server(args);
    ASSERT_GT(server.port(), 0) << server.output();
    apr_pool_t* attempt;
    apr_pool_create(&attempt, session_pool);
    ASSERT_EQ(0, token_fetch_certificate(ts, attempt));
    EXPECT_EQ("nekot\n", exchange(server.port(), c.version, p));
    apr_pool_destroy(attempt);
  }
}

}  // namespace
