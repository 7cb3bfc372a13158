#pragma once
// The server's own TAP device as a switch port.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/offload.h"
#include "server.h"
#include "switch.h"

namespace ks {

// Creates TAP device `name` (no packet information header), brings it up and
// returns its non-blocking descriptor, or -1 with `err` set. Linux only.
// *vnet tells whether each frame read or written carries a virtio-net header
// (see platform/linux/offload.h): TCP bursts then come in one read.
int tap_open(const std::string& name, std::string& err, bool* vnet);

// Frames from the device are read by one thread at a time. While exactly one
// client is in its tunnel, that client's thread reads them (see serve), so a
// frame goes from the device read to the client's TLS write without waking
// another thread; otherwise the port's own thread reads them and the switch
// hands them to the clients' outputs.
class TapPort : public Port {
 public:
  // Takes over fd (closed with the port).
  TapPort(Server& srv, int fd, std::string name, bool vnet = false);
  ~TapPort() override;
  // Attaches to the switch, publishes itself as srv.tap and starts its
  // thread; false (nothing started) when the pipe or a switch slot is lacking.
  bool start();
  // Waits for the thread (it ends when the server stops or the device fails)
  // and leaves the switch; call it after every client has ended, as clients
  // reach the port through srv.tap.
  void stop();
  // Writes each selected frame to the device at once. A frame the device
  // refuses is dropped, as a switch would; only the first error is logged.
  void deliver(const BatchView& b, const bool* sel, int nsel) override;
  const char* port_name() const override { return name_.c_str(); }

  // A client's tunnel starts or ends: decides which thread reads the device.
  void tunnel_joined(Port* client);
  void tunnel_left(Port* client);
  // The descriptor `client` should poll for reading, or -1 when another
  // thread reads the device.
  int fd_for(const Port* client) const;
  // Whether a frame is still being cut up, so that the reader must come back
  // without waiting for the device.
  bool more() const { return cutting_.load(std::memory_order_relaxed); }
  // Reads what the device has queued and forwards it; `revents` is what poll
  // reported for the descriptor. False once the device is gone.
  bool serve(short revents);

 private:
  void run();
  void choose_reader();
  bool read_batch();
  Server& srv_;
  int fd_;  // non-blocking: neither a read nor a write may hold up a caller
  std::string name_;
  std::thread thread_;
  bool vnet_;
  int wake_[2] = {-1, -1};  // tells the port's thread that the reader changed

  // Clients in their tunnel; the reader is the only one of them, or none.
  std::mutex clients_mu_;
  std::vector<Port*> clients_;
  std::atomic<Port*> reader_{nullptr};
  std::atomic<bool> gone_{false};

  // Reading state: whoever reads the device holds read_mu_, so the batch, the
  // cut-up super frame and the order of frames survive a change of reader.
  std::mutex read_mu_;
  std::vector<uint8_t> batch_;
  std::vector<uint8_t> super_;  // a TCP super frame being cut into the batch
  velarn::offload::Segmenter seg_;
  std::atomic<bool> cutting_{false};  // seg_ holds more pieces: read them before the device
  unsigned long long undone_ = 0;     // super frames that could not be cut (logged once)
  BatchView view_;
  // Several threads deliver at once, each writing its frames on its own.
  std::atomic<unsigned long long> write_errors_{0};
};

}  // namespace ks
