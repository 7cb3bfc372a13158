#pragma once
// Test helpers: certificates made with the openssl tool, the server as a child
// process whose standard error is watched, and a minimal protocol client.
#include <openssl/ssl.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "process.h"

namespace kst {

// A CA, a server certificate (CN localhost), a client certificate signed by
// the CA (CN alice-cert) and a self-signed one (CN mallory), in one folder.
struct Pki {
  std::string dir;
  std::string ca() const { return dir + "/ca.pem"; }
  std::string server_cert() const { return dir + "/server.pem"; }
  std::string server_key() const { return dir + "/server.key"; }
  std::string client_cert() const { return dir + "/client.pem"; }
  std::string client_key() const { return dir + "/client.key"; }
  std::string rogue_cert() const { return dir + "/rogue.pem"; }
  std::string rogue_key() const { return dir + "/rogue.key"; }
  static const Pki& get();  // made once per test program
};

std::string write_temp_file(const std::string& name, const std::string& text);

// keva-server on 127.0.0.1 with a free port, the test certificates and the
// given options; start() is true once it reports that it listens.
class ServerProcess : public WatchedProcess {
 public:
  bool start(const std::vector<std::string>& args, bool with_tls_files = true);
  int port = 0;
};

struct Message {
  uint8_t code = 0;
  std::string payload;
};

std::string msg(uint8_t code, const std::string& payload = "");

class TestClient {
 public:
  ~TestClient();
  bool connect(int port);
  bool greet(std::string* answer = nullptr);
  // TLS handshake, with a client certificate when cert is not empty.
  bool tls(const std::string& cert = "", const std::string& key = "");
  bool send(const std::string& bytes);
  // One message; false on timeout, end of data or error.
  bool read(Message& m, int timeout_ms = 5000);
  // One SSL_read as it comes: the number of bytes (0 end, -1 error or timeout).
  int read_some(uint8_t* buf, int len, int timeout_ms = 5000);
  // Greeting, TLS, login; returns the login answer code (-1 on failure).
  int login_password(int port, const std::string& user, const std::string& password);
  // Everything up to the tunnel phase: info read into `info`, TUNNEL answered with OK.
  bool to_tunnel(std::vector<Message>* info = nullptr);
  // True when the server closed the connection (end of data within the time).
  bool closed_by_peer(int timeout_ms = 5000);
  void set_timeout(int ms);
  int fd() const { return fd_; }

 private:
  bool read_exact(uint8_t* buf, size_t len);
  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
};

// Ethernet frame with the given addresses and a recognisable payload.
std::string frame(const uint8_t dst[6], const uint8_t src[6], size_t len, uint8_t fill);
// Tunnel record carrying these frames.
std::string batch(const std::vector<std::string>& frames);

}  // namespace kst
