// A scripted server for the client's protocol tests: a real TCP listener on
// loopback and a real TLS session with a certificate made at run time; after
// the greeting and the TLS accept, each connection runs the test's script.
#pragma once
#include <openssl/ssl.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testpeer {

struct Message {
  int code = -1;
  std::string payload;
};

// A fresh key and a self-signed certificate with the given common name, as PEM.
void make_identity(const std::string& cn, std::string* key_pem, std::string* cert_pem);

// Reads exactly n bytes; false on end or failure.
bool read_exact(SSL* ssl, void* buf, size_t n);
bool read_message(SSL* ssl, Message* m);
bool write_bytes(SSL* ssl, const std::string& bytes);
// Header and payload of one message.
std::string message(int code, const std::string& payload = {});

struct PeerOptions {
  // Text answered to the greeting; the TLS phase is skipped unless it begins
  // with "KEVA/1.2 OK".
  std::string greeting_answer = "KEVA/1.2 OK";
  // When set, the peer first behaves as an HTTP proxy: it reads the request
  // up to its blank line, keeps it, and answers with these segments (sent
  // with a pause between them); a reply not starting "HTTP/1.0 2" ends there.
  std::vector<std::string> proxy_reply;
  // Close before answering the greeting.
  bool close_at_greeting = false;
};

class TlsPeer {
 public:
  using Script = std::function<void(SSL*)>;
  explicit TlsPeer(Script script, PeerOptions options = {});
  ~TlsPeer();
  TlsPeer(const TlsPeer&) = delete;
  TlsPeer& operator=(const TlsPeer&) = delete;

  int port() const { return port_; }
  int connections() const { return connections_.load(); }
  std::string proxy_request() const;
  std::string greeting() const;

 private:
  void serve(int fd);
  void run();

  Script script_;
  PeerOptions options_;
  SSL_CTX* ctx_ = nullptr;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::string proxy_request_;
  std::string greeting_;
  std::thread thread_;
};

}  // namespace testpeer
