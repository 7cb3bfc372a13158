// The server's TAP device as a switch port: who reads it (the port's own
// thread or the sole client's), how frames from it become one batch, and how
// a super frame from a virtio-net TAP is cut into frames first.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

#include "log.h"
#include "tap.h"
#include "wire.h"

namespace ks {

namespace {
// A batch stops growing once less than this is left, so that no frame read
// from the device is cut short (TAP reads truncate to the buffer given).
constexpr size_t FRAME_ROOM = 2 + 16384;
// Bounds one read round, so that the device's reader gets back to its other
// work (a client's TLS writes) between batches.
constexpr int TAP_BATCH_FRAMES = 64;
}  // namespace

TapPort::TapPort(Server& srv, int fd, std::string name, bool vnet)
    : srv_(srv), fd_(fd), name_(std::move(name)), vnet_(vnet) {
  // Sized once: reading allocates nothing per frame.
  batch_.resize(MAX_RECORD);
  if (vnet_) super_.resize(velarn::offload::MAX_SUPER_FRAME);
  clients_.reserve(16);
}

TapPort::~TapPort() {
  stop();
  if (fd_ >= 0) close(fd_);
  for (int f : wake_)
    if (f >= 0) close(f);
}

bool TapPort::start() {
  if (pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0) {
    logf(LOG_ERROR, "%s: pipe: %s", name_.c_str(), strerror(errno));
    return false;
  }
  if (!srv_.sw.attach(this)) return false;
  srv_.tap = this;
  thread_ = std::thread([this] { run(); });
  return true;
}

void TapPort::stop() {
  if (thread_.joinable()) thread_.join();  // the thread ends when the server stops
  if (slot >= 0) srv_.sw.detach(this);
  if (srv_.tap == this) srv_.tap = nullptr;
}

void TapPort::tunnel_joined(Port* client) {
  std::lock_guard<std::mutex> lock(clients_mu_);
  clients_.push_back(client);
  choose_reader();
}

void TapPort::tunnel_left(Port* client) {
  std::lock_guard<std::mutex> lock(clients_mu_);
  clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
  choose_reader();
}

// Only a sole client may read: with two or more, a frame for one of them read
// by the other would still need a hand-over, and the clients' threads would
// contend for the device.
void TapPort::choose_reader() {
  Port* now = clients_.size() == 1 ? clients_.front() : nullptr;
  Port* before = reader_.exchange(now);
  if (before == now) return;
  logf(LOG_DEBUG, "%s: read by %s", name_.c_str(), now ? now->port_name() : "its own thread");
  // Every thread that may be polling the device or should start to is woken
  // to ask fd_for again; read_mu_ keeps two of them from reading at once
  // while they change over.
  if (before) before->wake();
  if (now) now->wake();
  char c = 1;
  (void)!write(wake_[1], &c, 1);
}

// The port's own thread asks as nullptr: it reads while no client does.
int TapPort::fd_for(const Port* client) const {
  return reader_.load(std::memory_order_acquire) == client && !gone_.load() ? fd_ : -1;
}

bool TapPort::serve(short revents) {
  std::lock_guard<std::mutex> lock(read_mu_);
  if (gone_.load()) return false;
  // A device that went away stays gone: nobody polls it again (fd_for), so a
  // hang-up cannot spin every reader.
  if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
    logf(LOG_ERROR, "%s: device gone", name_.c_str());
    gone_ = true;
    return false;
  }
  if (!read_batch()) gone_ = true;
  return !gone_.load();
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

// The port's own thread: reads the device while no sole client does, and
// otherwise only waits to be told the reader changed.
void TapPort::run() {
  pthread_setname_np(pthread_self(), "ks-tap");
  logf(LOG_EVENT, "%s: bridged into the switch", name_.c_str());
  for (;;) {
    int fd = fd_for(nullptr);
    pollfd p[3] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}, {srv_.stop_fd, POLLIN, 0}};
    // A super frame still being cut needs no waiting.
    if (poll(p, 3, fd >= 0 && more() ? 0 : -1) < 0 && errno != EINTR) {
      logf(LOG_ERROR, "%s: poll: %s", name_.c_str(), strerror(errno));
      return;
    }
    if (p[2].revents) return;
    if (p[1].revents) {
      char buf[64];
      while (read(wake_[0], buf, sizeof buf) > 0) {
      }
    }
    if (fd >= 0 && (p[0].revents || more()) && !serve(p[0].revents)) return;
  }
}

// Gathers what the device has queued into one batch and forwards it; false
// when reading failed for good. Frames are read straight into the batch
// (after the room for their length field), so that only the pieces of a
// super frame are ever copied on the way to the switch. Runs under read_mu_.
bool TapPort::read_batch() {
  using namespace velarn::offload;
  size_t pos = HEADER_SIZE;
  int n = 0;
  bool cutting = cutting_.load(std::memory_order_relaxed);
  bool ok = true;
  while (n < TAP_BATCH_FRAMES && batch_.size() - pos >= FRAME_ROOM) {
    uint8_t* frame = batch_.data() + pos + 2;
    size_t room = batch_.size() - pos - 2;
    ssize_t r;
    if (cutting) {
      // Pieces of the super frame before anything new from the device, so
      // that frames keep their order.
      r = static_cast<ssize_t>(seg_.next(frame, room));
      if (seg_.done()) cutting = false;
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
          cutting = seg_.start(super_.data(), static_cast<size_t>(r), h);
          if (!cutting && undone_++ == 0)
            logf(LOG_EVENT, "%s: a frame from the device could not be cut up: dropped", name_.c_str());
          continue;
        }
        // The kernel left the checksum to the device; the far end will not
        // complete it, so it is done here, and a frame it cannot be done
        // for is dropped.
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
        ok = false;
      }
      break;
    }
    if (r == 0) break;
    put_be16(batch_.data() + pos, static_cast<size_t>(r));
    view_.offset[n] = static_cast<uint32_t>(pos);
    view_.length[n] = static_cast<uint16_t>(r);
    pos += 2 + static_cast<size_t>(r);
    ++n;
  }
  // Read without the lock by pollers (more()) only to decide whether to wait;
  // the cut itself stays under read_mu_.
  cutting_.store(cutting, std::memory_order_relaxed);
  if (n) {
    put_header(batch_.data(), static_cast<uint8_t>(n), pos - HEADER_SIZE);
    view_.record = batch_.data();
    view_.record_len = pos;
    view_.count = n;
    srv_.sw.forward(this, view_);
  }
  return ok;
}

}  // namespace ks
