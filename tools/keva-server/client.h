#pragma once
// One thread per client: greeting, TLS, login, information exchange, TUNNEL,
// then the tunnel loop. The thread alone touches the TLS session; other ports
// hand it frames through its output buffer and wake it through a pipe. While
// it is the only client in its tunnel it also reads the server's TAP, so that
// frames from the device need no other thread on their way to the client.
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server.h"
#include "switch.h"

namespace ks {

class Client : public Port {
 public:
  // Takes over the accepted socket fd (closed with the client).
  Client(Server& srv, int fd, int id, std::string peer);
  // Joins the thread: it ends on its own when the client leaves or the
  // server stops, so destroying a running client waits for that.
  ~Client() override;
  void start();
  // True once the thread has left the switch and let go of everything shared;
  // the client may then be destroyed without waiting.
  bool finished() const { return done_.load(); }
  void join();

  // Copies the selected frames into the output buffer (any thread, under the
  // switch's shared lock); drops the batch when the buffer is full.
  void deliver(const BatchView& b, const bool* sel, int nsel) override;
  const char* port_name() const override { return name_.c_str(); }
  void wake() override;

 private:
  // How a blocking step ended; only ok goes on, and stopping is not logged.
  enum class Io { ok, timeout, closed, failed, stopping };

  void run();
  void session();
  bool gate(Phase p);
  void discard_until_closed();

  bool wait_fd(short events, int timeout_ms);
  Io plain_read(uint8_t* buf, size_t want, size_t& got);
  bool plain_send(const char* data, size_t len);
  bool tls_accept();
  Io tls_read_exact(uint8_t* buf, size_t len);
  bool tls_send(const uint8_t* data, size_t len);
  bool send_group(const std::string& data, const char* what);
  bool read_message(uint8_t& code, size_t& len, const char* phase);
  void trace(const char* dir, const uint8_t* data, size_t len);
  void report_io(Io io, const char* what);
  void report_ssl(const char* call, int err);

  bool login();
  bool exchange_info();
  bool start_tunnel();
  void tunnel();
  bool tunnel_read();
  bool tunnel_write();
  void handle_record(const uint8_t* rec, size_t len);
  size_t next_cut(size_t pos, size_t len) const;

  Server& srv_;
  const Options& opt_;
  int fd_;
  int id_;
  std::string peer_, name_;
  SSL* ssl_ = nullptr;
  std::thread thread_;
  std::atomic<bool> done_{false};
  bool counted_ = false;        // holds one of srv.logged_in: given back at the end
  bool silent_tunnel_ = false;  // --silent tunnel: read and drop, send nothing
  bool reads_tap_ = false;      // joined the TAP's readers: may be asked to read it
  std::string user_;

  std::vector<uint8_t> rx_;  // 4 + 65535: any record fits whole
  size_t held_ = 0;          // bytes in rx_ not yet handled (a partial record between reads)

  // Output to this client: other threads append to pending_ under out_mu_;
  // the client thread swaps it with sending_ and writes sending_ out.
  struct OutBuf {
    std::unique_ptr<uint8_t[]> data;
    size_t size = 0;
  };
  // Both are allocated once when the tunnel starts (no allocation per frame)
  // and only swapped afterwards; pending_ without data means no tunnel yet.
  std::mutex out_mu_;
  OutBuf pending_, sending_;
  // How much of sending_ TLS has taken; the end of the current write, which
  // --split may put short of the buffer's end.
  size_t send_off_ = 0, cut_end_ = 0;
  int wake_[2] = {-1, -1};
  // Set by the first delivery after the client thread took the buffer, so that
  // a burst costs one pipe write rather than one per batch.
  std::atomic<bool> woken_{false};

  std::chrono::steady_clock::time_point last_rx_;  // for --idle-timeout
  bool drop_pending_ = false;                      // --drop tunnel:MS, due at drop_at_
  std::chrono::steady_clock::time_point drop_at_;
  uint64_t batches_in_ = 0, batches_out_ = 0, dropped_ = 0, bad_ = 0;
  uint64_t writes_ = 0, key_updates_ = 0;
};

}  // namespace ks
