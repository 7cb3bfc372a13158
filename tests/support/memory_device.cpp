#include "memory_device.h"

#include <apr_pools.h>

#include <chrono>
#include <new>

#include "adapter/frame_batch.h"

struct MemoryDevice::Handle {
  bool aborted = false;  // under the device's lock
};

MemoryDevice::MemoryDevice() : ops_{create, open, close, reset, read, abort, write, this} {}

bool MemoryDevice::send(const std::string& frame) {
  std::lock_guard<std::mutex> lock(m_);
  if (!holder_ || out_.size() >= kQueueLimit) return false;
  out_.push_back(frame);
  cv_.notify_all();
  return true;
}

size_t MemoryDevice::queued() const {
  std::lock_guard<std::mutex> lock(m_);
  return out_.size();
}

std::vector<std::string> MemoryDevice::received() const {
  std::lock_guard<std::mutex> lock(m_);
  return in_;
}

bool MemoryDevice::media_connected() const {
  std::lock_guard<std::mutex> lock(m_);
  return holder_ != nullptr;
}

int MemoryDevice::opens() const {
  std::lock_guard<std::mutex> lock(m_);
  return opens_;
}

void MemoryDevice::break_device() {
  std::lock_guard<std::mutex> lock(m_);
  broken_ = true;
  cv_.notify_all();
}

void MemoryDevice::refuse_opens(int n) {
  std::lock_guard<std::mutex> lock(m_);
  refuse_ = n;
}

// The handle goes with the session's pool, closing the device first, as the
// adapter's does.
void* MemoryDevice::create(Device* dev) {
  auto* h = new (std::nothrow) Handle();
  if (!h) return nullptr;
  dev->state = h;
  apr_pool_cleanup_register(
      dev->pool, dev,
      [](void* data) -> apr_status_t {
        auto* d = static_cast<Device*>(data);
        close(d);
        delete static_cast<Handle*>(d->state);
        d->state = nullptr;
        return APR_SUCCESS;
      },
      apr_pool_cleanup_null);
  return h;
}

int MemoryDevice::open(Device* dev) {
  MemoryDevice& self = of(dev);
  std::lock_guard<std::mutex> lock(self.m_);
  if (self.refuse_ > 0) {
    --self.refuse_;
    return -1;
  }
  if (self.holder_) return -1;  // one user at a time
  self.holder_ = static_cast<Handle*>(dev->state);
  self.broken_ = false;
  self.out_.clear();  // nothing is sent through an adapter without media
  ++self.opens_;
  return 0;
}

void MemoryDevice::close(Device* dev) {
  MemoryDevice& self = of(dev);
  std::lock_guard<std::mutex> lock(self.m_);
  if (self.holder_ != dev->state) return;
  self.holder_ = nullptr;
  self.cv_.notify_all();
}

int MemoryDevice::reset(Device* dev) {
  MemoryDevice& self = of(dev);
  std::lock_guard<std::mutex> lock(self.m_);
  static_cast<Handle*>(dev->state)->aborted = false;
  return 0;
}

int MemoryDevice::read(Device* dev, unsigned char* buf, size_t* len, int timeout_seconds) {
  MemoryDevice& self = of(dev);
  auto* h = static_cast<Handle*>(dev->state);
  std::unique_lock<std::mutex> lock(self.m_);
  self.cv_.wait_for(lock, std::chrono::seconds(timeout_seconds),
                    [&] { return h->aborted || self.holder_ != h || self.broken_ || !self.out_.empty(); });
  if (h->aborted) return 0;
  if (self.holder_ != h || self.broken_) return -1;
  if (self.out_.empty()) return 0;
  // As many queued frames as one read of the adapter returns, in order.
  velarn::FrameBatchWriter batch(buf, *len);
  while (!self.out_.empty() && batch.count() < velarn::FRAME_BATCH_MAX_READ_FRAMES &&
         batch.append(self.out_.front().data(), self.out_.front().size()))
    self.out_.pop_front();
  if (batch.count() == 0) return -1;  // the caller's buffer cannot hold one frame
  *len = batch.finish(true);
  return 1;
}

void MemoryDevice::abort(Device* dev) {
  MemoryDevice& self = of(dev);
  std::lock_guard<std::mutex> lock(self.m_);
  static_cast<Handle*>(dev->state)->aborted = true;
  self.cv_.notify_all();
}

int MemoryDevice::write(Device* dev, const unsigned char* batch, size_t* len) {
  MemoryDevice& self = of(dev);
  std::lock_guard<std::mutex> lock(self.m_);
  if (self.holder_ != dev->state || self.broken_) return -1;
  velarn::FrameBatchReader reader(batch, *len);
  if (reader.count() > velarn::FRAME_BATCH_MAX_WRITE_FRAMES) return -1;
  // The batch is checked whole before a frame of it is taken.
  size_t used = 0;
  if (velarn::frame_batch_check(batch, *len, &used) != velarn::FrameBatchError::none) return -1;
  velarn::FrameView f;
  while (reader.next(f)) self.in_.emplace_back(reinterpret_cast<const char*>(f.data), f.length);
  *len = used;
  return 1;
}
