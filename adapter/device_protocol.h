// The message protocol of an adapter's control device socket. Every
// integer is little-endian; messages carry no terminating zero byte.
//
//   request:  u32 kind, u32 tag, payload
//   response: u32 kind, u32 tag, u32 status, u32 information, data
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "adapter/frame_batch.h"

namespace velarn {

enum DeviceRequestKind : uint32_t {
  DEVICE_CREATE = 0,             // sent by the host on connect, tag 0
  DEVICE_READ = 1,               // u32 capacity
  DEVICE_WRITE = 2,              // the FrameBatch bytes
  DEVICE_CONTROL = 3,            // u32 code, input bytes
  DEVICE_CANCEL = 4,             // the tag names the read to cancel
  DEVICE_QUERY_INFORMATION = 5,  // u32 oid, u32 buffer length
  DEVICE_SET_INFORMATION = 6,    // u32 oid, value
  // The client takes the data path over (driver/core/fast_path.h): the
  // answer carries the interface and the shared block as two descriptors,
  // information the block's size.
  DEVICE_ATTACH = 7,
};

inline constexpr size_t DEVICE_REQUEST_HEADER = 8;
inline constexpr size_t DEVICE_RESPONSE_HEADER = 16;

// Least payload a request of this kind needs; SIZE_MAX for kinds a client
// may not send (create and unknown kinds).
inline size_t device_request_min_payload(uint32_t kind) {
  switch (kind) {
    case DEVICE_READ: return 4;
    case DEVICE_WRITE: return 0;  // a short batch is the write's own failure
    case DEVICE_CONTROL: return 4;
    case DEVICE_CANCEL: return 0;
    case DEVICE_QUERY_INFORMATION: return 8;
    case DEVICE_SET_INFORMATION: return 4;
    case DEVICE_ATTACH: return 0;
    default: return SIZE_MAX;
  }
}

struct DeviceRequest {
  uint32_t kind = 0;
  uint32_t tag = 0;
  const uint8_t* payload = nullptr;
  size_t payload_length = 0;
};

struct DeviceResponse {
  uint32_t kind = 0;
  uint32_t tag = 0;
  uint32_t status = 0;
  uint32_t information = 0;
  const uint8_t* data = nullptr;
  size_t data_length = 0;
};

// False when the message is shorter than a request header.
inline bool decode_device_request(const uint8_t* msg, size_t len, DeviceRequest& out) {
  if (len < DEVICE_REQUEST_HEADER) return false;
  out.kind = load_le32(msg);
  out.tag = load_le32(msg + 4);
  out.payload = msg + DEVICE_REQUEST_HEADER;
  out.payload_length = len - DEVICE_REQUEST_HEADER;
  return true;
}

// False when the message is shorter than a response header.
inline bool decode_device_response(const uint8_t* msg, size_t len, DeviceResponse& out) {
  if (len < DEVICE_RESPONSE_HEADER) return false;
  out.kind = load_le32(msg);
  out.tag = load_le32(msg + 4);
  out.status = load_le32(msg + 8);
  out.information = load_le32(msg + 12);
  out.data = msg + DEVICE_RESPONSE_HEADER;
  out.data_length = len - DEVICE_RESPONSE_HEADER;
  return true;
}

inline void encode_device_request_header(uint8_t* out, uint32_t kind, uint32_t tag) {
  store_le32(out, kind);
  store_le32(out + 4, tag);
}

inline void encode_device_response_header(uint8_t* out, uint32_t kind, uint32_t tag, uint32_t status,
                                          uint32_t information) {
  store_le32(out, kind);
  store_le32(out + 4, tag);
  store_le32(out + 8, status);
  store_le32(out + 12, information);
}

// Whole request messages, for clients that are not on a per-frame path
// (a writer of frames encodes the header in front of its batch instead).
inline std::vector<uint8_t> device_request(uint32_t kind, uint32_t tag, const void* payload = nullptr,
                                           size_t payload_length = 0) {
  std::vector<uint8_t> m(DEVICE_REQUEST_HEADER + payload_length);
  encode_device_request_header(m.data(), kind, tag);
  if (payload_length) std::memcpy(m.data() + DEVICE_REQUEST_HEADER, payload, payload_length);
  return m;
}
inline std::vector<uint8_t> device_read_request(uint32_t tag, uint32_t capacity) {
  uint8_t p[4];
  store_le32(p, capacity);
  return device_request(DEVICE_READ, tag, p, 4);
}
inline std::vector<uint8_t> device_write_request(uint32_t tag, const uint8_t* batch, size_t len) {
  return device_request(DEVICE_WRITE, tag, batch, len);
}
inline std::vector<uint8_t> device_control_request(uint32_t tag, uint32_t code, const void* input = nullptr,
                                                   size_t input_length = 0) {
  std::vector<uint8_t> m(DEVICE_REQUEST_HEADER + 4 + input_length);
  encode_device_request_header(m.data(), DEVICE_CONTROL, tag);
  store_le32(m.data() + DEVICE_REQUEST_HEADER, code);
  if (input_length) std::memcpy(m.data() + DEVICE_REQUEST_HEADER + 4, input, input_length);
  return m;
}
inline std::vector<uint8_t> device_cancel_request(uint32_t tag) { return device_request(DEVICE_CANCEL, tag); }
inline std::vector<uint8_t> device_query_request(uint32_t tag, uint32_t oid, uint32_t buffer_length) {
  uint8_t p[8];
  store_le32(p, oid);
  store_le32(p + 4, buffer_length);
  return device_request(DEVICE_QUERY_INFORMATION, tag, p, 8);
}
inline std::vector<uint8_t> device_set_request(uint32_t tag, uint32_t oid, const void* value = nullptr,
                                               size_t value_length = 0) {
  std::vector<uint8_t> m(DEVICE_REQUEST_HEADER + 4 + value_length);
  encode_device_request_header(m.data(), DEVICE_SET_INFORMATION, tag);
  store_le32(m.data() + DEVICE_REQUEST_HEADER, oid);
  if (value_length) std::memcpy(m.data() + DEVICE_REQUEST_HEADER + 4, value, value_length);
  return m;
}

}  // namespace velarn
