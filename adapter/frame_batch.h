// FrameBatch: the unit in which Ethernet frames travel between the adapter
// driver, the service and the server.
//
//   offset 0  u8     frame count n
//   offset 1  u16be  payload length (batch size - 4); 0 from the driver
//   offset 3  u8     reserved, 0
//   offset 4  n records: u16be length L, then L bytes of frame
//
// The writer and the reader work in place on caller memory and never
// allocate, so they can sit on per-frame paths.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velarn {

inline constexpr size_t FRAME_BATCH_HEADER = 4;
inline constexpr size_t FRAME_RECORD_HEADER = 2;
inline constexpr unsigned FRAME_BATCH_MAX_READ_FRAMES = 64;    // a driver read returns at most
inline constexpr unsigned FRAME_BATCH_MAX_WRITE_FRAMES = 128;  // a driver write accepts at most
inline constexpr size_t FRAME_MIN_LENGTH = 14;                 // an Ethernet header
inline constexpr size_t FRAME_MAX_RECORD_LENGTH = 0xFFFF;

inline uint16_t load_be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline void store_be16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v >> 8);
  p[1] = uint8_t(v);
}
inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void store_le32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}
inline uint64_t load_le64(const uint8_t* p) { return uint64_t(load_le32(p)) | uint64_t(load_le32(p + 4)) << 32; }

// The size a batch of frames with these lengths occupies.
constexpr size_t frame_record_size(size_t frame_length) { return FRAME_RECORD_HEADER + frame_length; }

struct FrameView {
  const uint8_t* data = nullptr;
  size_t length = 0;
};

// Header fields of a batch of at least FRAME_BATCH_HEADER bytes.
inline unsigned frame_batch_count(const uint8_t* batch) { return batch[0]; }
inline uint16_t frame_batch_payload_length(const uint8_t* batch) { return load_be16(batch + 1); }
inline void frame_batch_set_payload_length(uint8_t* batch, uint16_t v) { store_be16(batch + 1, v); }

// Builds a batch in caller memory. Appending never writes past capacity;
// finish() fills in the count (and, when asked, the payload length).
class FrameBatchWriter {
 public:
  FrameBatchWriter(uint8_t* buffer, size_t capacity) : buf_(buffer), cap_(capacity) {
    if (cap_ >= FRAME_BATCH_HEADER) {
      std::memset(buf_, 0, FRAME_BATCH_HEADER);
      size_ = FRAME_BATCH_HEADER;
    }
  }
  // False when the buffer cannot even hold the header.
  bool usable() const { return size_ != 0; }
  bool fits(size_t frame_length) const {
    return usable() && count_ < 255 && frame_length <= FRAME_MAX_RECORD_LENGTH &&
           frame_record_size(frame_length) <= cap_ - size_;
  }
  // Reserves a record of frame_length bytes and returns where its frame
  // goes (the caller fills it), or nullptr when it does not fit.
  uint8_t* reserve(size_t frame_length) {
    if (!fits(frame_length)) return nullptr;
    uint8_t* rec = buf_ + size_;
    store_be16(rec, uint16_t(frame_length));
    size_ += frame_record_size(frame_length);
    ++count_;
    return rec + FRAME_RECORD_HEADER;
  }
  bool append(const void* frame, size_t frame_length) {
    uint8_t* p = reserve(frame_length);
    if (!p) return false;
    if (frame_length) std::memcpy(p, frame, frame_length);
    return true;
  }
  unsigned count() const { return count_; }
  size_t size() const { return size_; }
  // Writes the count byte and, with with_payload_length, the payload length
  // (left 0 when it does not fit 16 bits); returns the batch size.
  size_t finish(bool with_payload_length = false) {
    if (!usable()) return 0;
    buf_[0] = uint8_t(count_);
    size_t payload = size_ - FRAME_BATCH_HEADER;
    frame_batch_set_payload_length(buf_, with_payload_length && payload <= 0xFFFF ? uint16_t(payload) : 0);
    buf_[3] = 0;
    return size_;
  }

 private:
  uint8_t* buf_;
  size_t cap_;
  size_t size_ = 0;
  unsigned count_ = 0;
};

enum class FrameBatchError {
  none,
  short_header,     // fewer than 4 bytes
  record_past_end,  // a record's length field or frame lies beyond the batch
};

// Walks the records of a batch of len bytes, as many as its count byte
// says, never reading outside [data, data + len). Trailing bytes after the
// last record are not examined. The payload-length field is not trusted.
class FrameBatchReader {
 public:
  FrameBatchReader(const uint8_t* data, size_t len) : data_(data), len_(len) {
    if (len_ < FRAME_BATCH_HEADER) {
      err_ = FrameBatchError::short_header;
      return;
    }
    count_ = data_[0];
    off_ = FRAME_BATCH_HEADER;
  }
  // The declared frame count (0 when the header is short).
  unsigned count() const { return count_; }
  // The next record; false at the end or on an error (see error()).
  bool next(FrameView& frame) {
    if (err_ != FrameBatchError::none || index_ >= count_) return false;
    if (len_ - off_ < FRAME_RECORD_HEADER) return fail();
    size_t l = load_be16(data_ + off_);
    if (len_ - off_ - FRAME_RECORD_HEADER < l) return fail();
    frame.data = data_ + off_ + FRAME_RECORD_HEADER;
    frame.length = l;
    off_ += FRAME_RECORD_HEADER + l;
    ++index_;
    return true;
  }
  FrameBatchError error() const { return err_; }
  // Records taken so far.
  unsigned index() const { return index_; }
  // Bytes taken so far, header included.
  size_t offset() const { return off_; }

 private:
  bool fail() {
    err_ = FrameBatchError::record_past_end;
    return false;
  }
  const uint8_t* data_;
  size_t len_;
  size_t off_ = 0;
  unsigned count_ = 0;
  unsigned index_ = 0;
  FrameBatchError err_ = FrameBatchError::none;
};

// Checks that every declared record lies within the batch; on success
// *used (when given) is the size the records take, header included.
inline FrameBatchError frame_batch_check(const uint8_t* data, size_t len, size_t* used = nullptr) {
  FrameBatchReader r(data, len);
  FrameView f;
  while (r.next(f)) {
  }
  if (r.error() == FrameBatchError::none && used) *used = r.offset();
  return r.error();
}

}  // namespace velarn
