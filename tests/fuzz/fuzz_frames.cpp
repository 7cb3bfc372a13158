// libFuzzer target: frame batches and device requests as the driver host and
// the service read them from a peer. Every frame read must lie within the
// batch, and a batch rebuilt from what was read must read back the same.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "adapter/adapter.h"

using namespace velarn;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DeviceRequest req;
  if (decode_device_request(data, size, req)) {
    if (req.payload < data || req.payload + req.payload_length > data + size) std::abort();
    (void)device_request_min_payload(req.kind);
  }
  DeviceResponse resp;
  if (decode_device_response(data, size, resp) && resp.data_length &&
      (resp.data < data || resp.data + resp.data_length > data + size))
    std::abort();

  FrameBatchReader reader(data, size);
  FrameView f;
  std::vector<uint8_t> rebuilt(size + FRAME_BATCH_HEADER);
  FrameBatchWriter writer(rebuilt.data(), rebuilt.size());
  std::vector<std::pair<const uint8_t*, size_t>> frames;
  while (reader.next(f)) {
    if (f.data < data || f.data + f.length > data + size) std::abort();
    frames.emplace_back(f.data, f.length);
    if (!writer.append(f.data, f.length)) std::abort();  // it fitted once, it fits again
  }
  rebuilt.resize(writer.finish());
  FrameBatchReader again(rebuilt.data(), rebuilt.size());
  size_t i = 0;
  while (again.next(f)) {
    if (i >= frames.size() || f.length != frames[i].second || std::memcmp(f.data, frames[i].first, f.length) != 0)
      std::abort();
    ++i;
  }
  if (i != frames.size() || again.error() != FrameBatchError::none) std::abort();
  return 0;
}
