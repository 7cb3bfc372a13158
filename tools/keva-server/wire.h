#pragma once
// Message layout of the tunnel protocol: a 4-byte header (code, big-endian
// payload length, reserved byte) followed by the payload.
#include <cstddef>
#include <cstdint>
#include <string>

#include "adapter/frame_batch.h"

namespace ks {

// Message codes. In the tunnel phase a code below 0x80 is a frame batch whose
// code is its frame count, 0 (a batch of none) is a keepalive, and 0x80 and
// above are control messages.
enum : uint8_t {
  MSG_OK = 0x00,
  MSG_ZONE = 0x90,
  MSG_USER = 0x91,
  MSG_PASSWORD = 0x92,
  MSG_AUTH = 0x94,
  MSG_VERSION = 0xA0,
  MSG_DESCRIPTION = 0xA1,
  MSG_CAPABILITY = 0xA2,
  MSG_MAC_ADDR = 0xA3,
  MSG_KEEPALIVE = 0xA4,
  MSG_TUNNEL = 0xC0,
  MSG_CONFIG = 0xC1,
  MSG_ERR = 0xFF,
};

// Sizes come from the adapter's frame-batch header, so that server and client
// cannot drift apart on the layout.
constexpr size_t HEADER_SIZE = velarn::FRAME_BATCH_HEADER;
constexpr size_t MAX_PAYLOAD = 65535;  // the length field's limit
constexpr size_t MAX_RECORD = HEADER_SIZE + MAX_PAYLOAD;
constexpr int MAX_BATCH_FRAMES = 127;                    // the codes a batch may use
constexpr size_t ETH_HEADER = velarn::FRAME_MIN_LENGTH;  // shorter frames are not forwarded

inline uint16_t get_be16(const uint8_t* p) { return velarn::load_be16(p); }
inline void put_be16(uint8_t* p, size_t v) { velarn::store_be16(p, static_cast<uint16_t>(v)); }
inline void put_header(uint8_t* p, uint8_t code, size_t len) {
  p[0] = code;
  put_be16(p + 1, len);
  p[3] = 0;
}

// Appends one message to a byte string (login phases only; not used per frame).
inline void append_message(std::string& out, uint8_t code, const void* payload, size_t len) {
  uint8_t h[HEADER_SIZE];
  put_header(h, code, len);
  out.append(reinterpret_cast<const char*>(h), HEADER_SIZE);
  out.append(static_cast<const char*>(payload), len);
}

// For log lines only.
inline const char* message_name(uint8_t code) {
  switch (code) {
    case MSG_OK: return "OK";
    case MSG_ZONE: return "ZONE";
    case MSG_USER: return "USER";
    case MSG_PASSWORD: return "PASSWORD";
    case MSG_AUTH: return "AUTH";
    case MSG_VERSION: return "VERSION";
    case MSG_DESCRIPTION: return "DESCRIPTION";
    case MSG_CAPABILITY: return "CAPABILITY";
    case MSG_MAC_ADDR: return "MAC_ADDR";
    case MSG_KEEPALIVE: return "KEEPALIVE";
    case MSG_TUNNEL: return "TUNNEL";
    case MSG_CONFIG: return "CONFIG";
    case MSG_ERR: return "ERR";
    default: return "unknown";
  }
}

// Where each frame of a batch lies inside its payload. Filled by walk_batch
// without copying the frames.
struct BatchView {
  const uint8_t* record = nullptr;  // header included
  size_t record_len = 0;
  int count = 0;
  uint32_t offset[MAX_BATCH_FRAMES];  // of each frame's length field, from the record start
  uint16_t length[MAX_BATCH_FRAMES];  // frame length
};

// Checks that a batch record holds exactly `code` frames that fill its payload.
// Returns false (and says why) for anything else, so that a peer's bad batch
// can be dropped without reading past it.
inline bool walk_batch(const uint8_t* rec, size_t rec_len, BatchView& v, const char** why) {
  if (rec_len < HEADER_SIZE || get_be16(rec + 1) != rec_len - HEADER_SIZE) {
    *why = "record length mismatch";
    return false;
  }
  velarn::FrameBatchReader reader(rec, rec_len);
  if (reader.count() < 1 || reader.count() > MAX_BATCH_FRAMES) {
    *why = "frame count out of range";
    return false;
  }
  velarn::FrameView f;
  int n = 0;
  while (reader.next(f)) {
    v.offset[n] = static_cast<uint32_t>(f.data - rec - velarn::FRAME_RECORD_HEADER);
    v.length[n] = static_cast<uint16_t>(f.length);
    ++n;
  }
  if (reader.error() != velarn::FrameBatchError::none) {
    *why = "frame runs past the batch";
    return false;
  }
  if (reader.offset() != rec_len) {
    *why = "bytes left after the last frame";
    return false;
  }
  v.record = rec;
  v.record_len = rec_len;
  v.count = n;
  return true;
}

}  // namespace ks
