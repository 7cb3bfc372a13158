#include "tls_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace testpeer {

namespace {

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  std::string s(data, static_cast<size_t>(n));
  BIO_free(bio);
  return s;
}

std::string recv_until_blank_line(int fd) {
  std::string got;
  char c;
  while (got.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1) got += c;
  return got;
}

}  // namespace

void make_identity(const std::string& cn, std::string* key_pem, std::string* cert_pem) {
  EVP_PKEY* key = EVP_RSA_gen(2048);
  if (!key) throw std::runtime_error("key generation failed");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_sign(cert, key, EVP_sha256());
  BIO* kb = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(kb, key, nullptr, nullptr, 0, nullptr, nullptr);
  BIO* cb = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(cb, cert);
  *key_pem = bio_text(kb);
  *cert_pem = bio_text(cb);
  X509_free(cert);
  EVP_PKEY_free(key);
}

bool read_exact(SSL* ssl, void* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    int k = SSL_read(ssl, static_cast<char*>(buf) + got, static_cast<int>(n - got));
    if (k <= 0) return false;
    got += static_cast<size_t>(k);
  }
  return true;
}

bool read_message(SSL* ssl, Message* m) {
  unsigned char h[4];
  if (!read_exact(ssl, h, 4)) return false;
  size_t len = (static_cast<size_t>(h[1]) << 8) | h[2];
  m->code = h[0];
  m->payload.assign(len, '\0');
  return len == 0 || read_exact(ssl, m->payload.data(), len);
}

bool write_bytes(SSL* ssl, const std::string& bytes) {
  return SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
}

std::string message(int code, const std::string& payload) {
  std::string m;
  m += static_cast<char>(code);
  m += static_cast<char>((payload.size() >> 8) & 0xff);
  m += static_cast<char>(payload.size() & 0xff);
  m += '\0';
  return m + payload;
}

TlsPeer::TlsPeer(Script script, PeerOptions options) : script_(std::move(script)), options_(std::move(options)) {
  static std::string key_pem, cert_pem;
  static std::once_flag once;
  std::call_once(once, [] { make_identity("127.0.0.1", &key_pem, &cert_pem); });
  ctx_ = SSL_CTX_new(TLS_server_method());
  BIO* kb = BIO_new_mem_buf(key_pem.data(), static_cast<int>(key_pem.size()));
  BIO* cb = BIO_new_mem_buf(cert_pem.data(), static_cast<int>(cert_pem.size()));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr);
  X509* cert = PEM_read_bio_X509(cb, nullptr, nullptr, nullptr);
  SSL_CTX_use_certificate(ctx_, cert);
  SSL_CTX_use_PrivateKey(ctx_, key);
  X509_free(cert);
  EVP_PKEY_free(key);
  BIO_free(kb);
  BIO_free(cb);

  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_fd_, 8) != 0)
    throw std::runtime_error("listen failed");
  socklen_t len = sizeof a;
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { run(); });
}

TlsPeer::~TlsPeer() {
  stop_ = true;
  thread_.join();
  close(listen_fd_);
  SSL_CTX_free(ctx_);
}

std::string TlsPeer::proxy_request() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return proxy_request_;
}

std::string TlsPeer::greeting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return greeting_;
}

void TlsPeer::run() {
  while (!stop_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    connections_++;
    serve(fd);
    close(fd);
  }
}

void TlsPeer::serve(int fd) {
  timeval tv{20, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (!options_.proxy_reply.empty()) {
    std::string req = recv_until_blank_line(fd);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      proxy_request_ = req;
    }
    for (size_t i = 0; i < options_.proxy_reply.size(); i++) {
      if (i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      const std::string& s = options_.proxy_reply[i];
      send(fd, s.data(), s.size(), MSG_NOSIGNAL);
    }
    if (options_.proxy_reply[0].rfind("HTTP/1.0 2", 0) != 0) return;
  }
  char g[16];
  size_t got = 0;
  while (got < sizeof g) {
    ssize_t k = recv(fd, g + got, sizeof g - got, 0);
    if (k <= 0) return;
    got += static_cast<size_t>(k);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    greeting_.assign(g, sizeof g);
  }
  if (options_.close_at_greeting) return;
  const std::string& ans = options_.greeting_answer;
  send(fd, ans.data(), ans.size(), MSG_NOSIGNAL);
  if (ans.rfind("KEVA/1.2 OK", 0) != 0) return;
  SSL* ssl = SSL_new(ctx_);
  SSL_set_fd(ssl, fd);
  if (SSL_accept(ssl) == 1) {
    script_(ssl);
    SSL_shutdown(ssl);
  }
  SSL_free(ssl);
}

}  // namespace testpeer
