// The adapter's data path run in its caller's own threads.
//
// A control-device client that owns the handle may take the data path over
// (DEVICE_ATTACH): it is handed the interface itself and a small block of
// memory shared with the driver. From then on its reading thread takes the
// frames the system sends straight from the interface and its writing thread
// puts received frames straight into it, with no other process woken on the
// way. The frames still pass the driver's own rules: the block carries the
// filter state the driver keeps current (addresses, lists, packet filter,
// largest frame) and the counters the caller adds to, which the driver's
// information requests report. Everything else (requests, media state, link
// events) stays with the driver.
#pragma once
#include <cstddef>
#include <cstdint>

#include "adapter/frame_batch.h"
#include "adapter/shared_block.h"
#include "driver/core/miniport.h"

namespace velarn::vlncard {

using velarn::SharedAdapterBlock;

// The driver's side: a fresh block, a new filter state, and what the caller
// counted.
void shared_block_init(SharedAdapterBlock* block, bool vnet);
void shared_block_publish(SharedAdapterBlock& block, const FilterState& filter);
AdapterCounters shared_block_counters(const SharedAdapterBlock& block);
// The caller's side: false when the memory is not such a block.
bool shared_block_valid(const SharedAdapterBlock& block);

// How the caller reaches the interface.
class FrameIo {
 public:
  virtual ~FrameIo() = default;
  static constexpr long kNone = 0;      // nothing waits
  static constexpr long kGone = -1;     // the interface is gone (or failed)
  static constexpr long kDropped = -2;  // one frame taken and dropped (unusable)
  // The next frame the system sent, into out (cap bytes): its length, or one
  // of the codes above.
  virtual long read_frame(uint8_t* out, size_t cap) = 0;
  // Length of a frame already taken from the interface and waiting to be
  // read (a cut-up super frame), 0 when the next one is still the system's.
  virtual size_t waiting_length() const = 0;
  // Hands one frame to the system; false when it did not take it.
  virtual bool write_frame(const uint8_t* frame, size_t length) = 0;
};

// The two directions of the data path. Each is for one thread (the caller
// reads in one and writes in another); both may run at once.
class FastPath {
 public:
  FastPath(SharedAdapterBlock& block, FrameIo& io) : block_(block), io_(io) {}

  // A FrameBatch of the frames the system sent, built in out (cap bytes), at
  // most FRAME_BATCH_MAX_READ_FRAMES: its length, 0 when none passed,
  // FrameIo::kGone when the interface failed.
  long read_batch(uint8_t* out, size_t cap);
  // The frames of one batch to the system, checked as the driver's write
  // request checks them: a control-device status, *information the bytes
  // taken.
  uint32_t write_batch(const uint8_t* batch, size_t length, uint32_t* information);

 private:
  struct View {
    FilterState filter;
    uint32_t seen = 1;  // odd: never a settled sequence, so the first use reads
  };
  void refresh(View& v);

  SharedAdapterBlock& block_;
  FrameIo& io_;
  View read_view_, write_view_;
};

}  // namespace velarn::vlncard
