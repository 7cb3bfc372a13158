// The adapter's interface in the service's own hands, once the driver has
// handed its data path over (DeviceHandle::attach): frames read from and
// written to the interface directly, a wait that a stop ends at once, and the
// driver's shared block mapped into this process.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/system_types.h"

namespace velarn {

class InterfacePort {
 public:
  // What read_frame gives besides a length.
  static constexpr long kNone = 0;      // nothing waits
  static constexpr long kGone = -1;     // the interface failed or is gone
  static constexpr long kDropped = -2;  // one frame taken and dropped

  // Takes the interface and the block (closed with the port, or at once on
  // failure); nullptr (errno) when the block cannot be mapped. driver is the
  // connection to the driver (DeviceHandle::connection), watched, not taken:
  // when the driver goes away, so does the data path it handed over.
  static std::unique_ptr<InterfacePort> adopt(NativeHandle interface, NativeHandle block, size_t block_size,
                                              NativeHandle driver);
  ~InterfacePort();
  InterfacePort(const InterfacePort&) = delete;
  InterfacePort& operator=(const InterfacePort&) = delete;

  void* block() const { return block_; }
  // Each frame on the interface carries a virtio-net header (the driver's
  // segmentation offload): TCP super frames are cut here as the driver does.
  void set_vnet(bool on) { vnet_ = on; }

  enum WaitResult { kReady, kTimeout, kWoken, kFailed };
  // Until a frame waits, timeout_ms pass, or wake() is called; kFailed
  // (ECONNRESET) once the driver has closed the connection.
  WaitResult wait(int timeout_ms);
  // From any thread; stays signalled until clear_wake().
  void wake();
  void clear_wake();

  // The next frame into out (cap bytes): its length or a code above.
  long read_frame(uint8_t* out, size_t cap);
  // Length of the next piece of a super frame being cut, 0 when none.
  size_t waiting_length() const;
  // false when the interface did not take the frame.
  bool write_frame(const uint8_t* frame, size_t length);

 private:
  struct Cutter;
  InterfacePort(NativeHandle interface, NativeHandle wake, void* block, size_t block_size, NativeHandle driver);

  NativeHandle fd_;
  NativeHandle driver_;
  NativeHandle wake_;
  void* block_;
  size_t block_size_;
  bool vnet_ = false;
  std::unique_ptr<Cutter> cutter_;
};

}  // namespace velarn
