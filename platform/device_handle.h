// The service's handle on an adapter's control device: open, synchronous
// device controls, one overlapped read that survives time-outs and fills the
// buffer it was started with, and writes from another thread at the same
// time.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/system_types.h"

namespace velarn {

class DeviceHandle {
 public:
  ~DeviceHandle();
  DeviceHandle(const DeviceHandle&) = delete;
  DeviceHandle& operator=(const DeviceHandle&) = delete;

  // Opens "\\.\Global\NAME" (mapped under the root). On failure returns
  // nullptr with *status the driver's answer (or 0 and errno when the device
  // could not be reached at all).
  static std::unique_ptr<DeviceHandle> open(const std::string& windows_path, uint32_t* status);

  // A device control, synchronous. The driver's status.
  uint32_t control(uint32_t code, const void* input, size_t length);

  // Starts the one read into buf (capacity bytes), which must stay valid
  // until the read completes. false on failure (errno).
  bool start_read(uint8_t* buf, size_t capacity);
  bool read_pending() const { return read_pending_.load(); }
  enum WaitResult { kCompleted, kTimeout, kWoken, kFailed };
  // Waits up to timeout_ms for the pending read, or until wake() is called.
  // A completed read stays pending until finish_read(): a caller that may
  // not take it now (an abort) finds it again at its next wait.
  WaitResult wait_read(int timeout_ms);
  void finish_read() { read_pending_ = false; }
  // The completed read: the driver's status and the bytes it placed in buf.
  uint32_t read_status() const { return read_status_; }
  size_t read_bytes() const { return read_bytes_; }
  // Wakes a wait_read at once (from any thread); stays signalled until
  // clear_wake().
  void wake();
  void clear_wake();

  // Writes one batch, waiting for the driver's answer. false when the
  // device cannot be reached (errno); else *status and *written.
  bool write(const uint8_t* batch, size_t length, uint32_t* status, uint32_t* written);

  // Asks the driver for the data path itself (DEVICE_ATTACH). true with
  // *status STATUS_SUCCESS and the interface and the driver's shared block
  // in *interface and *block, the caller's to close, *block_size its size;
  // true with another *status when the driver keeps the data path; false
  // when the device cannot be reached (errno).
  bool attach(NativeHandle* interface, NativeHandle* block, size_t* block_size, uint32_t* status);
  // The connection itself, for a wait that must end when the driver goes.
  NativeHandle connection() const;

 private:
  // The system's objects: the connection, and the events a wait watches.
  struct System;
  explicit DeviceHandle(std::unique_ptr<System> system);
  // Receives one message and routes it; called with recv_mutex_ held.
  // Returns the kind received, or -1 on failure / -2 when nothing is there.
  int receive_one(bool block);

  std::unique_ptr<System> sys_;
  std::mutex send_mutex_;
  std::mutex recv_mutex_;
  uint32_t next_tag_ = 1;

  // The read in flight.
  std::atomic<bool> read_pending_{false};
  uint8_t* read_buf_ = nullptr;
  size_t read_cap_ = 0;
  uint32_t read_tag_ = 0;
  std::atomic<bool> read_done_{false};
  uint32_t read_status_ = 0;
  size_t read_bytes_ = 0;

  // Answers for the synchronous callers (writes, controls).
  bool sync_done_ = false;
  uint32_t sync_tag_ = 0;
  uint32_t sync_status_ = 0;
  uint32_t sync_info_ = 0;
  // Descriptors that came with the synchronous answer (an attach's).
  NativeHandle sync_handles_[2] = {kNoHandle, kNoHandle};
  int sync_handle_count_ = 0;
};

}  // namespace velarn
