// The block of memory an adapter's driver shares with the control-device
// client that took its data path over (DEVICE_ATTACH, device_protocol.h).
//
// The driver writes the filter state whenever a request or a link event
// changes it; the client reads it before each batch and applies the driver's
// own rules with it (driver/core/fast_path.h), and adds what it moved to the
// counters, which the driver's information requests report. One page, mapped
// read-write by both; plain data and lock-free atomics only, in the byte
// order and layout of the machine both run on.
#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "adapter/adapter.h"
#include "adapter/frame_batch.h"

namespace velarn {

using MacAddress = std::array<uint8_t, VLN_MAC_LENGTH>;

struct MacList {
  std::array<MacAddress, VLN_MAC_LIST_MAX> entries{};
  uint32_t count = 0;
  bool contains(const uint8_t* mac) const {
    for (uint32_t i = 0; i < count; ++i)
      if (std::memcmp(entries[i].data(), mac, VLN_MAC_LENGTH) == 0) return true;
    return false;
  }
  // length a multiple of 6, at most VLN_MAC_LIST_BYTES
  void assign(const uint8_t* bytes, size_t length) {
    count = uint32_t(length / VLN_MAC_LENGTH);
    for (uint32_t i = 0; i < count; ++i) std::memcpy(entries[i].data(), bytes + i * VLN_MAC_LENGTH, VLN_MAC_LENGTH);
  }
};

// What decides which frames pass, in one piece: the adapter's own threads and
// a client running the data path apply the same rules to the same state.
struct FilterState {
  MacAddress current{};                                    // the adapter's address (directed frames)
  uint32_t packet_filter = 0;                              // NDIS_PACKET_TYPE_* the system asked for
  uint32_t forward_filter = 0;                             // VLN_FORWARD_* the client asked for
  uint32_t max_frame = 1500 + uint32_t(FRAME_MIN_LENGTH);  // MTU + header
  MacList allow, deny, multicast;
};

inline constexpr uint32_t SHARED_BLOCK_MAGIC = 0x464e4c56;  // "VLNF"
inline constexpr uint32_t SHARED_BLOCK_VERSION = 1;
inline constexpr size_t SHARED_BLOCK_SIZE = 4096;

struct SharedAdapterBlock {
  uint32_t magic;    // SHARED_BLOCK_MAGIC once the driver has set it up
  uint32_t version;  // SHARED_BLOCK_VERSION
  // Non-zero when each frame on the interface carries a virtio-net header
  // (the driver's segmentation offload): the client cuts super frames too.
  uint32_t vnet;
  // Odd while the driver rewrites the filter; a reader that sees it change
  // while copying copies again.
  std::atomic<uint32_t> sequence;
  FilterState filter;
  // Frames the client moved and refused, in the information requests' terms.
  std::atomic<uint64_t> rcv_ok, xmit_ok, rcv_error, xmit_error;
};
static_assert(sizeof(SharedAdapterBlock) <= SHARED_BLOCK_SIZE);
static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free,
              "the block is shared between processes: its atomics must not hide a lock");

}  // namespace velarn
