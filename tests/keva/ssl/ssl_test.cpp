// The TLS channel against real openssl s_server peers on loopback.
#include <apr_general.h>
#include <apr_network_io.h>
#include <apr_pools.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "in_process.h"
#include "keva/config.h"
#include "keva/msgbuf.h"
#include "keva/profile.h"
#include "keva/ssl.h"
#include "keva/trace.h"
#include "peers.h"
#include "test_certs.h"

namespace {

// A plain TCP peer that takes the ClientHello and then drops the connection,
// with a FIN or (reset) an RST.
class DroppingPeer {
 public:
  explicit DroppingPeer(bool reset) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 1);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, reset] {
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      char buf[16384];
      (void)!recv(c, buf, sizeof buf, 0);
      if (reset) {
        linger l{1, 0};
        setsockopt(c, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      }
      close(c);
    });
  }
  ~DroppingPeer() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  int port() const { return port_; }

 private:
  int fd_;
  int port_;
  std::thread thread_;
};

class SslTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    apr_initialize();
    apr_pool_create(&root_, nullptr);
    msgbuf_init(root_);
    ssl_global_init(root_);
    tmp_ = new TempDir("ssl-test");
    dir_ = tmp_->path();

    using namespace testcerts;
    Key ca_key, other_ca_key, client_ca_key, server_key, client_key;
    Cert ca("Velarn Test CA", ca_key, nullptr, nullptr, true);
    Cert other_ca("Other CA", other_ca_key, nullptr, nullptr, true);
    Cert client_ca("Client CA", client_ca_key, nullptr, nullptr, true);
    Cert good("localhost", server_key, &ca, &ca_key, false, 2);
    Cert upper("LocalHost", server_key, &ca, &ca_key, false, 3);
    Cert foreign("localhost", server_key, &other_ca, &other_ca_key, false, 4);
    Cert client("client", client_key, &client_ca, &client_ca_key, false, 5);
    ca_pem_ = new std::string(ca.pem());
    client_key_pem_ = new std::string(client_key.pem());
    client_cert_pem_ = new std::string(client.pem());
    write_file(dir_ + "/server.key", server_key.pem());
    write_file(dir_ + "/good.pem", good.pem());
    write_file(dir_ + "/upper.pem", upper.pem());
    write_file(dir_ + "/foreign.pem", foreign.pem());
    write_file(dir_ + "/client-ca.pem", client_ca.pem());
    Key rsa(2048);
    Cert rsa_cert("localhost", rsa, nullptr, nullptr, false, 6);
    write_file(dir_ + "/rsa.key", rsa.pem());
    write_file(dir_ + "/rsa.pem", rsa_cert.pem());
  }
  static void TearDownTestSuite() {
    delete tmp_;
    delete ca_pem_;
    delete client_key_pem_;
    delete client_cert_pem_;
  }
  void SetUp() override { apr_pool_create(&pool_, root_); }
  void TearDown() override { apr_pool_destroy(pool_); }

  std::vector<std::string> server_args(const std::string& cert, const std::string& key = "server.key") {
    return {"-cert", dir_ + "/" + cert, "-key", dir_ + "/" + key};
  }

  SessionProfile* profile(const std::string& extra, const std::string& auth = "") {
    std::string text = "<profile><host>localhost</host><switch>s</switch>" +
                       (auth.empty() ? std::string("<authtype>password</authtype>"
                                                   "<username>u</username><password>p</password>")
                                     : auth) +
                       extra + "</profile>";
    SessionProfile* p = nullptr;
    EXPECT_EQ(profile_parse(pool_, text.data(), text.size(), &p), 0);
    return p;
  }
  std::string trust() { return "<trust>" + *ca_pem_ + "</trust>"; }

  RemoteConnection* connect(int port, const char* host = "localhost") {
    apr_sockaddr_t* sa = nullptr;
    apr_socket_t* sock = nullptr;
    EXPECT_EQ(apr_sockaddr_info_get(&sa, "127.0.0.1", APR_INET, (apr_port_t)port, 0, pool_), 0);
    EXPECT_EQ(apr_socket_create(&sock, APR_INET, SOCK_STREAM, APR_PROTO_TCP, pool_), 0);
    apr_socket_timeout_set(sock, apr_time_from_sec(5));
    EXPECT_EQ(apr_socket_connect(sock, sa), 0);
    RemoteConnection* conn = remote_connection_create(pool_, sock, sa);
    conn->host = host;
    return conn;
  }

  // A line through the reversing server proves the session carries data.
  void echo(RemoteConnection* conn) {
    ASSERT_EQ(ssl_write_wait(conn, "hello\n", 6), 6);
    char buf[64];
    std::string got;
    while (got.find('\n') == std::string::npos) {
      int n = ssl_read_wait(conn, buf, sizeof buf);
      ASSERT_GT(n, 0) << log_.all();
      got.append(buf, (size_t)n);
    }
    EXPECT_EQ(got, "olleh\n");
  }

  static apr_pool_t* root_;
  static TempDir* tmp_;
  static std::string dir_;
  static std::string* ca_pem_;
  static std::string* client_key_pem_;
  static std::string* client_cert_pem_;
  apr_pool_t* pool_ = nullptr;
  CapturedLog log_{CapturedLog::kDebugMode};
};
apr_pool_t* SslTest::root_;
TempDir* SslTest::tmp_;
std::string SslTest::dir_;
std::string* SslTest::ca_pem_;
std::string* SslTest::client_key_pem_;
std::string* SslTest::client_cert_pem_;

TEST_F(SslTest, WithoutTrustAnyServerIsAcceptedAndTheCipherIsNamed) {
  SServer server(server_args("foreign.pem"));
  ASSERT_GT(server.port(), 0) << server.output();
  std::string trace_file = dir_ + "/trace.log";
  trace_reset_for_test(1 << 16, trace_file.c_str());
  RemoteConnection* conn = connect(server.port());
  ASSERT_EQ(keva12_client_ssl(conn, profile("")), 0) << log_.all();
  EXPECT_TRUE(log_.has("server verification disabled"));
  const char* cipher = SSL_get_cipher_name(conn->ssl);
  ASSERT_NE(cipher, nullptr);
  EXPECT_TRUE(log_.has(std::string("using cipher: ") + cipher)) << log_.all();
  // What "DEFAULT:NULL-MD5" comes to under OpenSSL 3 against a default peer.
  EXPECT_STREQ(cipher, "TLS_AES_256_GCM_SHA384");
  EXPECT_EQ(conn->fatal, 0);
  ASSERT_NE(conn->info, nullptr);
  echo(conn);

  trace_dump();
  trace_reset_for_test(-1, nullptr);
  std::string t = read_file(trace_file);
  for (const char* line : {"keva12_client_ssl() {", "creating SSL_CTX", "setting cipher list: DEFAULT:NULL-MD5",
                           "connecting to the server", "SSL_connect() = 1", "SSL_write(6) = 6"})
    EXPECT_NE(t.find(line), std::string::npos) << line << "\n" << t;

  // Orderly close, then the pool clean-up gives the buffers back.
  long before = msgbuf_outstanding();
  conn->pending = msgbuf_take();
  EXPECT_EQ(ssl_shutdown_session(conn), 0);
  EXPECT_EQ(SSL_get_shutdown(conn->ssl), SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
  apr_pool_clear(pool_);
  MessageBuffer* again = msgbuf_take();
  EXPECT_EQ(msgbuf_outstanding(), before > 0 ? before : 1);
  msgbuf_give(again);
}

TEST_F(SslTest, TrustedServerWithMatchingNameIsVerified) {
  SServer server(server_args("good.pem"));
  ASSERT_GT(server.port(), 0);
  RemoteConnection* conn = connect(server.port());
  ASSERT_EQ(keva12_client_ssl(conn, profile(trust())), 0) << log_.all();
  EXPECT_FALSE(log_.contains("server verification disabled"));
  EXPECT_FALSE(log_.contains("ssl verify error"));
  EXPECT_EQ(SSL_get_verify_result(conn->ssl), X509_V_OK);
  echo(conn);
}

TEST_F(SslTest, NameDifferingOnlyInCaseIsAMismatch) {
  SServer server(server_args("upper.pem"));
  ASSERT_GT(server.port(), 0);
  RemoteConnection* conn = connect(server.port());
  EXPECT_EQ(keva12_client_ssl(conn, profile(trust())), -1);
  EXPECT_TRUE(log_.has("ssl verify error: server address mismatch")) << log_.all();
  EXPECT_EQ(conn->fatal, 1);
}

TEST_F(SslTest, ServerOfAnotherAuthorityFailsInTheVerifyCallback) {
  SServer server(server_args("foreign.pem"));
  ASSERT_GT(server.port(), 0);
  RemoteConnection* conn = connect(server.port());
  EXPECT_EQ(keva12_client_ssl(conn, profile(trust())), -1);
  EXPECT_TRUE(log_.has("ssl verify error: unable to get local issuer certificate")) << log_.all();
  // The callback has said why; the handshake failure adds no second line.
  int verify_lines = 0;
  for (const auto& m : log_.messages()) verify_lines += m.rfind("ssl verify error: ", 0) == 0;
  EXPECT_EQ(verify_lines, 1) << log_.all();
  EXPECT_FALSE(log_.contains("ssl error:")) << log_.all();
  EXPECT_EQ(conn->fatal, 1);
}

TEST_F(SslTest, PeerLostDuringTheHandshakeIsNotFatal) {
  {
    DroppingPeer peer(false);
    RemoteConnection* conn = connect(peer.port());
    EXPECT_EQ(keva12_client_ssl(conn, profile("")), -1);
    EXPECT_TRUE(log_.has("disconnected from the peer unexpectedly (EOF)")) << log_.all();
    EXPECT_EQ(conn->fatal, 0);
  }
  {
    CapturedLog log{CapturedLog::kDebugMode};
    DroppingPeer peer(true);
    RemoteConnection* conn = connect(peer.port());
    EXPECT_EQ(keva12_client_ssl(conn, profile("")), -1);
    EXPECT_TRUE(log.has("disconnected from the peer unexpectedly (ECONNRESET)")) << log.all();
    EXPECT_EQ(conn->fatal, 0);
  }
}

TEST_F(SslTest, PeerGoneAfterTheHandshakeIsAnEofOnRead) {
  SServer server(server_args("good.pem"));
  ASSERT_GT(server.port(), 0);
  RemoteConnection* conn = connect(server.port());
  ASSERT_EQ(keva12_client_ssl(conn, profile("")), 0) << log_.all();
  echo(conn);
  server.stop();
  char buf[16];
  EXPECT_EQ(ssl_read_wait(conn, buf, sizeof buf), -1);
  EXPECT_TRUE(log_.has("disconnected from the peer unexpectedly (EOF)")) << log_.all();
  EXPECT_FALSE(log_.contains("ssl error:")) << log_.all();
}

TEST_F(SslTest, SilentPeerTimesOutAfterTenSeconds) {
  SServer server(server_args("good.pem"));
  ASSERT_GT(server.port(), 0);
  RemoteConnection* conn = connect(server.port());
  ASSERT_EQ(keva12_client_ssl(conn, profile("")), 0) << log_.all();
  char buf[16];
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ssl_read_wait(conn, buf, sizeof buf), -1);
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(log_.has("connection timeout")) << log_.all();
  EXPECT_GE(waited, 9.5);
  EXPECT_LT(waited, 13.0);
}

TEST_F(SslTest, X509ProfilePresentsItsClientCertificate) {
  auto args = server_args("good.pem");
  args.insert(args.end(), {"-Verify", "1", "-CAfile", dir_ + "/client-ca.pem"});
  SServer server(args);
  ASSERT_GT(server.port(), 0);
  RemoteConnection* conn = connect(server.port());
  std::string auth = "<authtype>x509</authtype><privatekey>" + *client_key_pem_ + "</privatekey><certificate>" +
                     *client_cert_pem_ + "</certificate>";
  ASSERT_EQ(keva12_client_ssl(conn, profile(trust(), auth)), 0) << log_.all();
  echo(conn);
  // The server saw and accepted the certificate.
  EXPECT_TRUE(server.wait_for("CN = client")) << server.output();
}

TEST_F(SslTest, DefaultCipherListNoLongerOffersTheNullCipher) {
  // A peer that only speaks NULL-MD5 finds nothing in common with the
  // default list: OpenSSL 3's security level drops the unencrypted suite.
  auto args = server_args("rsa.pem", "rsa.key");
  args.insert(args.end(), {"-tls1_2", "-cipher", "NULL-MD5:@SECLEVEL=0"});
  SServer server(args);
  ASSERT_GT(server.port(), 0);
  {
    RemoteConnection* conn = connect(server.port());
    EXPECT_EQ(keva12_client_ssl(conn, profile("")), -1);
    EXPECT_TRUE(log_.contains("ssl error: ")) << log_.all();
    EXPECT_TRUE(log_.contains("handshake failure")) << log_.all();
    EXPECT_EQ(conn->fatal, 1);
  }
  // Not even when a profile asks for it with the level lowered.
  CapturedLog log{CapturedLog::kDebugMode};
  RemoteConnection* conn = connect(server.port());
  EXPECT_EQ(keva12_client_ssl(conn, profile("<ciphers>NULL-MD5:@SECLEVEL=0</ciphers>")), -1);
  EXPECT_FALSE(log.has("using cipher: NULL-MD5")) << log.all();
}

// TLS 1.2 is the floor; an administrator may lower it for an old server, and
// even then no unencrypted suite comes back.
TEST_F(SslTest, OldProtocolOnlyWhenTheSettingsAllowIt) {
  auto args = server_args("good.pem");
  args.insert(args.end(), {"-tls1", "-cipher", "DEFAULT:@SECLEVEL=0"});
  SServer server(args);
  ASSERT_GT(server.port(), 0);
  {
    RemoteConnection* conn = connect(server.port());
    EXPECT_EQ(keva12_client_ssl(conn, profile("")), -1);
  }
  apr_pool_t* pool;
  ASSERT_EQ(APR_SUCCESS, apr_pool_create(&pool, nullptr));
  write_file(dir_ + "/kevad.ini", "[ssl]\nmin_protocol = TLS1.0\n");
  ASSERT_EQ(0, config_load(pool, (dir_ + "/kevad.ini").c_str()));
  {
    CapturedLog log{CapturedLog::kDebugMode};
    RemoteConnection* conn = connect(server.port());
    EXPECT_EQ(keva12_client_ssl(conn, profile("<ciphers>DEFAULT:NULL-MD5:@SECLEVEL=0</ciphers>")), 0) << log.all();
    EXPECT_TRUE(log.contains("the server certificate was not verified")) << log.all();
    EXPECT_FALSE(log.has("using cipher: NULL-MD5")) << log.all();
    if (conn->ssl) {
      EXPECT_EQ(TLS1_VERSION, SSL_version(conn->ssl));
    }
  }
  config_clear();
  apr_pool_destroy(pool);
}

TEST_F(SslTest, BadCipherListFailsBeforeConnecting) {
  SServer server(server_args("good.pem"));
  ASSERT_GT(server.port(), 0);
  RemoteConnection* conn = connect(server.port());
  EXPECT_EQ(keva12_client_ssl(conn, profile("<ciphers>NO-SUCH-CIPHER</ciphers>")), -1);
  EXPECT_TRUE(log_.contains("SSL_CTX_set_cipher_list: ")) << log_.all();
  EXPECT_EQ(conn->ssl, nullptr);
  EXPECT_EQ(conn->fatal, 0);
}

TEST(SslReport, KindsAndSystemErrors) {
  CapturedLog log{CapturedLog::kDebugMode};
  ssl_report_error(SSL_ERROR_WANT_X509_LOOKUP, nullptr, -1);
  EXPECT_TRUE(log.has("unknown ssl error: 4"));
  ERR_clear_error();
  errno = EPIPE;
  ssl_report_error(SSL_ERROR_SYSCALL, nullptr, -1);
  EXPECT_TRUE(log.has("disconnected from the peer unexpectedly (EPIPE)")) << log.all();
  errno = 0;
  ssl_report_error(SSL_ERROR_SYSCALL, nullptr, -1);
  EXPECT_TRUE(log.contains("system error: ")) << log.all();
  ERR_raise_data(ERR_LIB_SSL, SSL_R_BAD_PACKET, "extra %s", "text");
  ssl_report_error(SSL_ERROR_SSL, nullptr, -1);
  EXPECT_TRUE(log.contains("ssl error: error:0A000")) << log.all();
  EXPECT_TRUE(log.contains(": extra text")) << log.all();
  EXPECT_STREQ(ssl_error_kind_name(6), "SSL_ERROR_ZERO_RETURN");
  EXPECT_EQ(ssl_error_kind_name(9), nullptr);
}

}  // namespace
