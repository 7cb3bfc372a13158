#pragma once
// Learning Ethernet switch between the tunnel clients and the optional TAP
// device. Frames are forwarded by reference into each port's output; a batch
// whose frames all go to one port is passed on unchanged.
//
// Learning: a unicast source address is tied to the port it last came from;
// group destinations and unknown ones flood to every other port, and a frame
// to an address behind its own port goes nowhere. There is no ageing by time:
// an address is forgotten only when its port detaches, and moves as soon as
// it is seen on another port. A full table learns nothing new (those frames
// flood) rather than evicting addresses in use.
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "wire.h"

namespace ks {

// One side of the switch: a client's tunnel or the TAP device.
class Port {
 public:
  virtual ~Port() = default;
  // Hands over the frames of `b` whose `sel` entry is true; `nsel` of them,
  // all of them when nsel == b.count. Runs with the switch lock held for
  // reading, so it must not block, and other ports' threads may call it at
  // the same time.
  virtual void deliver(const BatchView& b, const bool* sel, int nsel) = 0;
  virtual const char* port_name() const = 0;
  // Asks the port's thread to look again at what it waits for; must not block.
  virtual void wake() {}
  int slot = -1;  // index in the switch while attached, else -1; the switch's to write
};

class Switch {
 public:
  static constexpr int MAX_PORTS = 256;
  static constexpr size_t MAX_MACS = 16384;

  Switch();
  // False when every slot is taken.
  bool attach(Port* p);
  // Idempotent. Once it returns, no other thread is inside p->deliver and
  // none will enter it, so the port may go away.
  void detach(Port* p);
  // Hands the frames of b to the other ports; b's memory need only live for
  // the call. Any port's thread may call it at any time.
  void forward(Port* from, const BatchView& b);

 private:
  // Fills dest for each frame; false when a source address is new or has
  // moved, so that the caller learns it under the exclusive lock.
  bool lookup(const Port* from, const BatchView& b, int16_t* dest) const;
  void learn(const Port* from, const BatchView& b);

  // Forwarding only reads the table, so the ports' threads forward at the
  // same time (a TAP write can take long: the kernel delivers the frame in
  // it); learning and port changes take the lock exclusively.
  mutable std::shared_mutex mu_;
  Port* ports_[MAX_PORTS] = {};  // a slot is reused once its port detached
  int top_ = 0;                  // one past the highest slot in use
  // MAC -> slot. Every slot in it is attached: detach removes its entries.
  std::unordered_map<uint64_t, int> table_;
};

}  // namespace ks
