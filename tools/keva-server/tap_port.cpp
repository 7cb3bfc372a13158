#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

#include "driver/linux/offload.h"
#include "log.h"
#include "tap.h"
#include "wire.h"

namespace ks {

namespace {
// A batch stops growing once less than this is left, so that no frame read
// from the device is cut short (TAP reads truncate to the buffer given).
constexpr size_t FRAME_ROOM = 2 + 16384;
constexpr int TAP_BATCH_FRAMES = 64;
}  // namespace

TapPort::TapPort(Server& srv, int fd, std::string name, bool vnet)
    : srv_(srv), fd_(fd), name_(std::move(name)), vnet_(vnet) {
  batch_.resize(MAX_RECORD);
  if (vnet_) super_.resize(velarn::offload::MAX_SUPER_FRAME);
}

TapPort::~TapPort() {
  stop();
  if (fd_ >= 0) close(fd_);
}

bool TapPort::start() {
  if (!srv_.sw.attach(this)) return false;
  thread_ = std::thread([this] { run(); });
  return true;
}

void TapPort::stop() {
  if (thread_.joinable()) thread_.join();  // the thread ends when the server stops
  if (slot >= 0) srv_.sw.detach(this);
}

void TapPort::deliver(const BatchView& b, const bool* sel, int) {
  // An empty virtio header: the frame is complete as it stands.
  static const uint8_t no_offload[velarn::offload::VNET_HEADER] = {};
  for (int i = 0; i < b.count; ++i) {
    if (!sel[i]) continue;
    const uint8_t* f = b.record + b.offset[i] + 2;
    ssize_t r;
    if (vnet_) {
      iovec iov[2] = {{const_cast<uint8_t*>(no_offload), sizeof no_offload}, {const_cast<uint8_t*>(f), b.length[i]}};
      r = writev(fd_, iov, 2);
    } else {
      r = write(fd_, f, b.length[i]);
    }
    if (r < 0 && write_errors_++ == 0) logf(LOG_EVENT, "%s: write: %s", name_.c_str(), strerror(errno));
  }
}

void TapPort::run() {
  using namespace velarn::offload;
  logf(LOG_EVENT, "%s: bridged into the switch", name_.c_str());
  BatchView view;
  Segmenter seg;
  bool cutting = false;
  unsigned long long undone = 0;
  for (;;) {
    pollfd p[2] = {{fd_, POLLIN, 0}, {srv_.stop_fd, POLLIN, 0}};
    // A super frame still being cut needs no waiting.
    if (poll(p, 2, cutting ? 0 : -1) < 0 && errno != EINTR) {
      logf(LOG_ERROR, "%s: poll: %s", name_.c_str(), strerror(errno));
      return;
    }
    if (p[1].revents) return;
    if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
      logf(LOG_ERROR, "%s: device gone", name_.c_str());
      return;
    }
    // Gather what the device has queued into one batch.
    size_t pos = HEADER_SIZE;
    int n = 0;
    while (n < TAP_BATCH_FRAMES && batch_.size() - pos >= FRAME_ROOM) {
      uint8_t* frame = batch_.data() + pos + 2;
      size_t room = batch_.size() - pos - 2;
      ssize_t r;
      if (cutting) {
        r = static_cast<ssize_t>(seg.next(frame, room));
        if (seg.done()) cutting = false;
        if (r == 0) continue;
      } else if (vnet_) {
        uint8_t head[VNET_HEADER];
        // A batch never has room for a whole super frame, so the rest
        // lands in super_ behind the batch's share.
        iovec iov[3] = {{head, sizeof head}, {frame, room}, {super_.data() + room, super_.size() - room}};
        r = readv(fd_, iov, 3);
        if (r >= 0) {
          if (static_cast<size_t>(r) < sizeof head) continue;
          r -= static_cast<ssize_t>(sizeof head);
          VnetHeader h = parse_vnet_header(head);
          if (h.gso_type != VNET_GSO_NONE || static_cast<size_t>(r) > room) {
            // The frame ran on past the batch: put it in one piece.
            memcpy(super_.data(), frame, std::min(room, static_cast<size_t>(r)));
            cutting = seg.start(super_.data(), static_cast<size_t>(r), h);
            if (!cutting && undone++ == 0)
              logf(LOG_EVENT, "%s: a frame from the device could not be cut up: dropped", name_.c_str());
            continue;
          }
          if ((h.flags & VNET_F_NEEDS_CSUM) &&
              !complete_checksum(frame, static_cast<size_t>(r), h.csum_start, h.csum_offset))
            continue;
        }
      } else {
        r = read(fd_, frame, room);
      }
      if (r < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          // Polling again would only spin on the same error.
          logf(LOG_ERROR, "%s: read: %s; no more frames from it", name_.c_str(), strerror(errno));
          return;
        }
        break;
      }
      if (r == 0) break;
      put_be16(batch_.data() + pos, static_cast<size_t>(r));
      view.offset[n] = static_cast<uint32_t>(pos);
      view.length[n] = static_cast<uint16_t>(r);
      pos += 2 + static_cast<size_t>(r);
      ++n;
    }
    if (!n) continue;
    put_header(batch_.data(), static_cast<uint8_t>(n), pos - HEADER_SIZE);
    view.record = batch_.data();
    view.record_len = pos;
    view.count = n;
    srv_.sw.forward(this, view);
  }
}

}  // namespace ks
