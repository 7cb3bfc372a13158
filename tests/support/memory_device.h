// The adapter in memory, behind the session controller's device seam: the
// test plays the system, sending frames out through the adapter (which the
// session reads) and looking at the frames the session wrote to it, and can
// break the device or refuse its opens as a removed adapter would.
#pragma once
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "keva/nic.h"

class MemoryDevice {
 public:
  MemoryDevice();
  MemoryDevice(const MemoryDevice&) = delete;
  MemoryDevice& operator=(const MemoryDevice&) = delete;

  // The table a session is handed; it lives as long as this object.
  const DeviceOps* ops() const { return &ops_; }

  // A frame the system sends through the adapter. False (the frame dropped)
  // when it is not open or its queue is full, as a device's ring would.
  bool send(const std::string& frame);
  size_t queued() const;
  // The frames the session wrote, in order.
  std::vector<std::string> received() const;
  bool media_connected() const;
  int opens() const;
  // Reads fail from now on until the next open, as when the adapter goes.
  void break_device();
  // The next n opens fail.
  void refuse_opens(int n);

  static constexpr size_t kQueueLimit = 512;

 private:
  struct Handle;
  static void* create(Device* dev);
  static int open(Device* dev);
  static void close(Device* dev);
  static int reset(Device* dev);
  static int read(Device* dev, unsigned char* buf, size_t* len, int timeout_seconds);
  static void abort(Device* dev);
  static int write(Device* dev, const unsigned char* batch, size_t* len);
  static MemoryDevice& of(Device* dev) { return *static_cast<MemoryDevice*>(dev->ops->ctx); }

  DeviceOps ops_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  Handle* holder_ = nullptr;  // the handle that has the device open
  std::deque<std::string> out_;
  std::vector<std::string> in_;
  int opens_ = 0;
  int refuse_ = 0;
  bool broken_ = false;
};
