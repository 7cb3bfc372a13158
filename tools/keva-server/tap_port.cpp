#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "log.hpp"
#include "tap.hpp"
#include "wire.hpp"

namespace ks {

namespace {
// A batch stops growing once less than this is left, so that no frame read
// from the device is cut short (TAP reads truncate to the buffer given).
constexpr size_t FRAME_ROOM = 2 + 16384;
constexpr int TAP_BATCH_FRAMES = 64;
}  // namespace

TapPort::TapPort(Server& srv, int fd, std::string name)
    : srv_(srv), fd_(fd), name_(std::move(name)) {
    batch_.resize(MAX_RECORD);
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
    for (int i = 0; i < b.count; ++i) {
        if (!sel[i]) continue;
        if (write(fd_, b.record + b.offset[i] + 2, b.length[i]) < 0 && write_errors_++ == 0)
            logf(LOG_EVENT, "%s: write: %s", name_.c_str(), strerror(errno));
    }
}

void TapPort::run() {
    logf(LOG_EVENT, "%s: bridged into the switch", name_.c_str());
    BatchView view;
    for (;;) {
        pollfd p[2] = {{fd_, POLLIN, 0}, {srv_.stop_fd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) {
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
            ssize_t r = read(fd_, batch_.data() + pos + 2, batch_.size() - pos - 2);
            if (r < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    // Polling again would only spin on the same error.
                    logf(LOG_ERROR, "%s: read: %s; no more frames from it", name_.c_str(),
                         strerror(errno));
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
