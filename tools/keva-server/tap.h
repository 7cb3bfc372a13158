#pragma once
// The server's own TAP device as a switch port.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "server.h"
#include "switch.h"

namespace ks {

// Creates TAP device `name` (no packet information header), brings it up and
// returns its non-blocking descriptor, or -1 with `err` set. Linux only.
// *vnet tells whether each frame read or written carries a virtio-net header
// (see driver/linux/offload.h): TCP bursts then come in one read.
int tap_open(const std::string& name, std::string& err, bool* vnet);

class TapPort : public Port {
 public:
  TapPort(Server& srv, int fd, std::string name, bool vnet = false);
  ~TapPort() override;
  bool start();
  void stop();
  void deliver(const BatchView& b, const bool* sel, int nsel) override;
  const char* port_name() const override { return name_.c_str(); }

 private:
  void run();
  Server& srv_;
  int fd_;
  std::string name_;
  std::thread thread_;
  bool vnet_;
  std::vector<uint8_t> batch_;
  std::vector<uint8_t> super_;  // a TCP super frame being cut into the batch
  std::atomic<unsigned long long> write_errors_{0};
};

}  // namespace ks
