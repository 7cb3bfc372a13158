// Opening a TAP interface the one way every TAP user here needs it: frames
// without a packet-information header, non-blocking, and with segmentation
// offloads when the kernel grants them (see offload.h).
#pragma once
#include <string>

namespace velarn {

// Creates (or attaches to) TAP interface name and returns its descriptor,
// non-blocking and closed on exec; -1 with *error set. *vnet tells whether
// every frame read or written carries a virtio-net header (offload::
// VNET_HEADER bytes), in which case reads may hand over TCP super frames.
int open_tap(const std::string& name, bool* vnet, std::string* error);

}  // namespace velarn
