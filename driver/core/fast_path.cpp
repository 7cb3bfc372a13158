#include "driver/core/fast_path.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "adapter/status.h"

namespace velarn::vlncard {

void shared_block_init(SharedAdapterBlock* block, bool vnet) {
  std::memset(static_cast<void*>(block), 0, sizeof *block);
  new (&block->sequence) std::atomic<uint32_t>(0);
  new (&block->filter) FilterState();
  for (auto* c : {&block->rcv_ok, &block->xmit_ok, &block->rcv_error, &block->xmit_error})
    new (c) std::atomic<uint64_t>(0);
  block->vnet = vnet ? 1 : 0;
  block->version = SHARED_BLOCK_VERSION;
  block->magic = SHARED_BLOCK_MAGIC;
}

void shared_block_publish(SharedAdapterBlock& block, const FilterState& filter) {
  uint32_t s = block.sequence.load(std::memory_order_relaxed);
  block.sequence.store(s + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  std::memcpy(static_cast<void*>(&block.filter), &filter, sizeof filter);
  block.sequence.store(s + 2, std::memory_order_release);
}

AdapterCounters shared_block_counters(const SharedAdapterBlock& block) {
  AdapterCounters c;
  c.rcv_ok = block.rcv_ok.load(std::memory_order_relaxed);
  c.xmit_ok = block.xmit_ok.load(std::memory_order_relaxed);
  c.rcv_error = block.rcv_error.load(std::memory_order_relaxed);
  c.xmit_error = block.xmit_error.load(std::memory_order_relaxed);
  return c;
}

bool shared_block_valid(const SharedAdapterBlock& block) {
  return block.magic == SHARED_BLOCK_MAGIC && block.version == SHARED_BLOCK_VERSION;
}

void FastPath::refresh(View& v) {
  // The driver rewrites the filter only on requests and link events: almost
  // always the sequence is the one already seen and nothing is copied. A
  // driver that died half-way leaves the sequence odd; the filter seen last
  // then stays in force rather than the caller waiting for ever.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    uint32_t s = block_.sequence.load(std::memory_order_acquire);
    if (s == v.seen) return;
    if (s & 1) {
      std::this_thread::yield();
      continue;
    }
    FilterState copy;
    std::memcpy(static_cast<void*>(&copy), &block_.filter, sizeof copy);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (block_.sequence.load(std::memory_order_relaxed) != s) continue;
    v.filter = copy;
    v.seen = s;
    return;
  }
}

long FastPath::read_batch(uint8_t* out, size_t cap) {
  if (cap < FRAME_BATCH_HEADER + FRAME_RECORD_HEADER + FRAME_MIN_LENGTH) return 0;
  refresh(read_view_);
  const FilterState& f = read_view_.filter;
  size_t off = FRAME_BATCH_HEADER;
  unsigned n = 0;
  uint64_t refused = 0;
  bool gone = false;
  // Frames are read straight into their records: no copy per frame.
  while (n < FRAME_BATCH_MAX_READ_FRAMES && off + FRAME_RECORD_HEADER + FRAME_MIN_LENGTH <= cap) {
    size_t room = std::min(cap - off - FRAME_RECORD_HEADER, FRAME_MAX_RECORD_LENGTH);
    if (n > 0) {
      // What is still the system's may be as long as the largest frame.
      size_t waiting = io_.waiting_length();
      if (waiting ? waiting > room : room < f.max_frame) break;
    }
    uint8_t* frame = out + off + FRAME_RECORD_HEADER;
    long len = io_.read_frame(frame, room);
    if (len == FrameIo::kNone) break;
    if (len == FrameIo::kGone) {
      gone = true;
      break;
    }
    if (len == FrameIo::kDropped || size_t(len) > f.max_frame || !outgoing_accepts(f, frame, size_t(len))) {
      ++refused;
      continue;
    }
    store_be16(out + off, uint16_t(len));
    off += FRAME_RECORD_HEADER + size_t(len);
    ++n;
  }
  if (refused) block_.xmit_error.fetch_add(refused, std::memory_order_relaxed);
  if (n == 0) return gone ? FrameIo::kGone : 0;
  block_.xmit_ok.fetch_add(n, std::memory_order_relaxed);
  std::memset(out, 0, FRAME_BATCH_HEADER);
  out[0] = uint8_t(n);
  return long(off);
}

uint32_t FastPath::write_batch(const uint8_t* batch, size_t length, uint32_t* information) {
  *information = 0;
  refresh(write_view_);
  const FilterState& f = write_view_.filter;
  // The whole batch is checked before any frame of it goes out, as the
  // driver's write request does: a damaged batch delivers nothing.
  FrameView frames[FRAME_BATCH_MAX_WRITE_FRAMES];
  size_t n = 0;
  uint64_t errors = 0;
  uint32_t status = STATUS_SUCCESS;
  if (!batch && length) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else if (length < FRAME_BATCH_HEADER) {
    status = STATUS_BUFFER_TOO_SMALL;
  } else if (frame_batch_count(batch) > FRAME_BATCH_MAX_WRITE_FRAMES) {
    status = STATUS_INVALID_BUFFER_SIZE;
  } else {
    FrameBatchReader reader(batch, length);
    FrameView v;
    while (reader.next(v)) {
      if (v.length < FRAME_MIN_LENGTH || v.length > f.max_frame) {
        ++errors;
        continue;
      }
      if (receive_accepts(f, v.data)) frames[n++] = v;
    }
    if (reader.error() != FrameBatchError::none) status = STATUS_BUFFER_TOO_SMALL;
  }
  if (status != STATUS_SUCCESS) {
    block_.rcv_error.fetch_add(errors + 1, std::memory_order_relaxed);
    return status;
  }
  uint64_t took = 0;
  for (size_t i = 0; i < n; ++i)
    if (io_.write_frame(frames[i].data, frames[i].length)) ++took;
  if (took) block_.rcv_ok.fetch_add(took, std::memory_order_relaxed);
  errors += n - took;
  if (errors) block_.rcv_error.fetch_add(errors, std::memory_order_relaxed);
  *information = uint32_t(std::min<size_t>(length, 0xFFFFFFFFu));
  return STATUS_SUCCESS;
}

}  // namespace velarn::vlncard
