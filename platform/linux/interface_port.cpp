#include "platform/interface_port.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstring>

#include "platform/linux/offload.h"

namespace velarn {

// A TCP super frame read whole and being cut into frames.
struct InterfacePort::Cutter {
  uint8_t frame[offload::MAX_SUPER_FRAME];
  offload::Segmenter segmenter;
  bool active = false;
};

std::unique_ptr<InterfacePort> InterfacePort::adopt(NativeHandle interface, NativeHandle block, size_t block_size,
                                                    NativeHandle driver) {
  struct stat st {};
  void* map = MAP_FAILED;
  int wake = -1;
  if (::fstat(block, &st) == 0) {
    if (block_size > 0 && size_t(st.st_size) >= block_size)
      map = ::mmap(nullptr, block_size, PROT_READ | PROT_WRITE, MAP_SHARED, block, 0);
    else
      errno = EINVAL;  // smaller than announced: a mapping would fault
    if (map != MAP_FAILED) wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  int err = errno;
  ::close(block);  // the mapping keeps the memory
  if (map == MAP_FAILED || wake < 0) {
    if (map != MAP_FAILED) ::munmap(map, block_size);
    ::close(interface);
    errno = err;
    return nullptr;
  }
  return std::unique_ptr<InterfacePort>(new InterfacePort(interface, wake, map, block_size, driver));
}

InterfacePort::InterfacePort(NativeHandle interface, NativeHandle wake, void* block, size_t block_size,
                             NativeHandle driver)
    : fd_(interface),
      driver_(driver),
      wake_(wake),
      block_(block),
      block_size_(block_size),
      cutter_(std::make_unique<Cutter>()) {}

InterfacePort::~InterfacePort() {
  ::munmap(block_, block_size_);
  ::close(fd_);
  ::close(wake_);
}

InterfacePort::WaitResult InterfacePort::wait(int timeout_ms) {
  if (cutter_->active) return kReady;
  // Only the driver's hang-up is of interest on its connection: the driver
  // sends nothing unasked.
  struct pollfd fds[3] = {{wake_, POLLIN, 0}, {fd_, POLLIN, 0}, {driver_, POLLRDHUP, 0}};
  int r;
  do {
    r = ::poll(fds, driver_ >= 0 ? 3 : 2, timeout_ms);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return kFailed;
  if (fds[0].revents) return kWoken;
  if (driver_ >= 0 && fds[2].revents & (POLLRDHUP | POLLHUP | POLLERR)) {
    errno = ECONNRESET;
    return kFailed;
  }
  if (r == 0) return kTimeout;
  return kReady;  // readable, or an error the next read reports
}

void InterfacePort::wake() {
  uint64_t one = 1;
  if (::write(wake_, &one, sizeof one) < 0) {
  }
}

void InterfacePort::clear_wake() {
  uint64_t v;
  while (::read(wake_, &v, sizeof v) > 0) {
  }
}

size_t InterfacePort::waiting_length() const { return cutter_->active ? cutter_->segmenter.next_length() : 0; }

long InterfacePort::read_frame(uint8_t* out, size_t cap) {
  Cutter& c = *cutter_;
  if (c.active) {
    size_t len = c.segmenter.next(out, cap);
    if (c.segmenter.done()) c.active = false;
    return len ? long(len) : kDropped;
  }
  ssize_t r;
  offload::VnetHeader vh;
  if (vnet_) {
    // A plain frame lands in out itself; a super frame runs on into the
    // cutter's buffer, after the part that out holds.
    uint8_t head[offload::VNET_HEADER];
    size_t first = cap < sizeof c.frame ? cap : sizeof c.frame;
    struct iovec iov[3] = {{head, sizeof head}, {out, first}, {c.frame + first, sizeof c.frame - first}};
    r = ::readv(fd_, iov, 3);
    if (r >= 0) {
      if (size_t(r) < sizeof head) return kDropped;
      r -= ssize_t(sizeof head);
      vh = offload::parse_vnet_header(head);
    }
  } else {
    r = ::read(fd_, out, cap);
  }
  if (r < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kNone : kGone;
  if (r == 0) return kGone;
  if (vnet_ && (vh.gso_type != offload::VNET_GSO_NONE || size_t(r) > cap)) {
    size_t first = cap < size_t(r) ? cap : size_t(r);
    std::memcpy(c.frame, out, first);
    if (!c.segmenter.start(c.frame, size_t(r), vh)) return kDropped;
    c.active = true;
    return read_frame(out, cap);
  }
  if (vnet_ && (vh.flags & offload::VNET_F_NEEDS_CSUM) &&
      !offload::complete_checksum(out, size_t(r), vh.csum_start, vh.csum_offset))
    return kDropped;
  return long(r);
}

bool InterfacePort::write_frame(const uint8_t* frame, size_t length) {
  ssize_t n;
  if (vnet_) {
    // An empty virtio header: the frame is complete as it stands.
    static const uint8_t no_offload[offload::VNET_HEADER] = {};
    struct iovec iov[2] = {{const_cast<uint8_t*>(no_offload), sizeof no_offload},
                           {const_cast<uint8_t*>(frame), length}};
    n = ::writev(fd_, iov, 2);
  } else {
    n = ::write(fd_, frame, length);
  }
  return n >= 0;
}

}  // namespace velarn
