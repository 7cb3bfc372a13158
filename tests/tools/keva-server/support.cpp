#include "support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "files.h"

namespace kst {

namespace {
const std::string& temp_dir() {
  static TempDir dir("keva-server-test");
  return dir.path();
}

void run(const std::string& cmd) {
  if (shell(cmd + " >/dev/null 2>&1") != 0) throw std::runtime_error("command failed: " + cmd);
}
}  // namespace

const Pki& Pki::get() {
  static Pki pki = [] {
    Pki p;
    p.dir = temp_dir();
    const std::string d = p.dir;
    // EC keys: quick to make, so every test program can have fresh ones.
    const std::string key = "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -batch ";
    run(key + "-x509 -days 2 -subj /CN=test-ca -keyout " + d + "/ca.key -out " + d + "/ca.pem");
    auto signed_cert = [&](const std::string& name, const std::string& cn) {
      run(key + "-subj /CN=" + cn + " -keyout " + d + "/" + name + ".key -out " + d + "/" + name + ".csr");
      run("openssl x509 -req -days 2 -in " + d + "/" + name + ".csr -CA " + d + "/ca.pem -CAkey " + d +
          "/ca.key -CAcreateserial -out " + d + "/" + name + ".pem");
    };
    signed_cert("server", "localhost");
    signed_cert("client", "alice-cert");
    run(key + "-x509 -days 2 -subj /CN=mallory -keyout " + d + "/rogue.key -out " + d + "/rogue.pem");
    return p;
  }();
  return pki;
}

std::string write_temp_file(const std::string& name, const std::string& text) {
  std::string path = temp_dir() + "/" + name;
  write_file(path, text);
  return path;
}

bool ServerProcess::start(const std::vector<std::string>& args, bool with_tls_files) {
  std::vector<std::string> argv = {KEVA_SERVER_PATH, "--listen", "127.0.0.1", "--port", "0"};
  if (with_tls_files) {
    const Pki& pki = Pki::get();
    argv.insert(argv.end(), {"--cert", pki.server_cert(), "--key", pki.server_key()});
  }
  argv.insert(argv.end(), args.begin(), args.end());
  if (!WatchedProcess::start(argv)) return false;
  port = port_after("listening on 127.0.0.1:");
  return port > 0;
}

// ---- TestClient ----

std::string msg(uint8_t code, const std::string& payload) {
  std::string m(4, '\0');
  m[0] = static_cast<char>(code);
  m[1] = static_cast<char>(payload.size() >> 8);
  m[2] = static_cast<char>(payload.size());
  return m + payload;
}

TestClient::~TestClient() {
  if (ssl_) SSL_free(ssl_);
  if (ctx_) SSL_CTX_free(ctx_);
  if (fd_ >= 0) close(fd_);
}

void TestClient::set_timeout(int ms) {
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

bool TestClient::connect(int port) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  set_timeout(5000);
  return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool TestClient::greet(std::string* answer) {
  if (::send(fd_, "KEVA/1.2 CONNECT", 16, MSG_NOSIGNAL) != 16) return false;
  char buf[4096];
  ssize_t n = recv(fd_, buf, sizeof buf, 0);
  if (n <= 0) return false;
  if (answer) *answer = std::string(buf, static_cast<size_t>(n));
  return n >= 11 && memcmp(buf, "KEVA/1.2 OK", 11) == 0;
}

bool TestClient::tls(const std::string& cert, const std::string& key) {
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (!cert.empty() && (SSL_CTX_use_certificate_file(ctx_, cert.c_str(), SSL_FILETYPE_PEM) != 1 ||
                        SSL_CTX_use_PrivateKey_file(ctx_, key.c_str(), SSL_FILETYPE_PEM) != 1))
    return false;
  ssl_ = SSL_new(ctx_);
  SSL_set_fd(ssl_, fd_);
  if (SSL_connect(ssl_) != 1) return false;
  // With TLS 1.3 a refused client certificate only shows on the first read;
  // the callers see it there.
  return true;
}

bool TestClient::send(const std::string& bytes) {
  return SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
}

bool TestClient::read_exact(uint8_t* buf, size_t len) {
  size_t got = 0;
  while (got < len) {
    int r = SSL_read(ssl_, buf + got, static_cast<int>(len - got));
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

bool TestClient::read(Message& m, int timeout_ms) {
  set_timeout(timeout_ms);
  uint8_t h[4];
  if (!read_exact(h, 4)) return false;
  size_t len = static_cast<size_t>(h[1] << 8 | h[2]);
  m.code = h[0];
  m.payload.assign(len, '\0');
  return read_exact(reinterpret_cast<uint8_t*>(m.payload.data()), len);
}

int TestClient::read_some(uint8_t* buf, int len, int timeout_ms) {
  set_timeout(timeout_ms);
  int r = SSL_read(ssl_, buf, len);
  return r > 0 ? r : (SSL_get_error(ssl_, r) == SSL_ERROR_ZERO_RETURN ? 0 : -1);
}

bool TestClient::closed_by_peer(int timeout_ms) {
  set_timeout(timeout_ms);
  char buf[4096];
  for (;;) {
    if (ssl_) {
      ERR_clear_error();
      int r = SSL_read(ssl_, buf, sizeof buf);
      if (r > 0) continue;
      int err = SSL_get_error(ssl_, r);
      if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return false;  // timeout
      return true;
    }
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n > 0) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    return true;
  }
}

int TestClient::login_password(int port, const std::string& user, const std::string& password) {
  if (!connect(port) || !greet() || !tls()) return -1;
  if (!send(msg(0x90, "office") + msg(0x91, user) + msg(0x92, password) + msg(0x94, "\x01"))) return -1;
  Message m;
  if (!read(m)) return -1;
  if (m.code == 0x00) return 0;
  if (m.code == 0xFF && m.payload.size() == 1) return 0x100 | static_cast<uint8_t>(m.payload[0]);
  return -1;
}

bool TestClient::to_tunnel(std::vector<Message>* info) {
  if (!send(msg(0xA0, "Velarn Client 1.4.5.248") + msg(0xA1, "test system") + msg(0x00))) return false;
  for (;;) {
    Message m;
    if (!read(m)) return false;
    if (m.code == 0x00) break;
    if (info) info->push_back(m);
  }
  Message t;
  if (!read(t) || t.code != 0xC0) return false;
  return send(msg(0x00));
}

std::string frame(const uint8_t dst[6], const uint8_t src[6], size_t len, uint8_t fill) {
  std::string f(len, static_cast<char>(fill));
  memcpy(f.data(), dst, 6);
  memcpy(f.data() + 6, src, 6);
  f[12] = '\x88';
  f[13] = '\xb5';  // local experimental ethertype
  return f;
}

std::string batch(const std::vector<std::string>& frames) {
  std::string payload;
  for (auto& f : frames) {
    payload += static_cast<char>(f.size() >> 8);
    payload += static_cast<char>(f.size());
    payload += f;
  }
  return msg(static_cast<uint8_t>(frames.size()), payload);
}

}  // namespace kst
