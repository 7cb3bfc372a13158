#include "platform/device_handle.h"

#include <errno.h>
#include <poll.h>
#include <sys/time.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "adapter/device_protocol.h"
#include "adapter/status.h"
#include "platform/linux/local_socket.h"

namespace velarn {

namespace {

void signal_event(int fd) {
  uint64_t one = 1;
  if (::write(fd, &one, sizeof one) < 0) {
  }
}

void drain_event(int fd) {
  uint64_t v;
  while (::read(fd, &v, sizeof v) > 0) {
  }
}

bool send_all(int fd, const struct iovec* iov, int n, size_t total) {
  struct msghdr mh {};
  mh.msg_iov = const_cast<struct iovec*>(iov);
  mh.msg_iovlen = static_cast<size_t>(n);
  ssize_t r;
  do {
    r = sendmsg(fd, &mh, MSG_NOSIGNAL);
  } while (r < 0 && errno == EINTR);
  return r == static_cast<ssize_t>(total);
}

}  // namespace

struct DeviceHandle::System {
  int fd;
  int read_event;  // signalled when the read's answer has been routed
  int wake_event;
  ~System() {
    close(fd);
    close(read_event);
    close(wake_event);
  }
};

DeviceHandle::DeviceHandle(std::unique_ptr<System> system) : sys_(std::move(system)) {}

DeviceHandle::~DeviceHandle() = default;

std::unique_ptr<DeviceHandle> DeviceHandle::open(const std::string& windows_path, uint32_t* status) {
  *status = 0;
  int fd = seqpacket_connect(windows_path);
  if (fd < 0) return nullptr;
  // The host answers every connection with the result of the open.
  uint8_t msg[DEVICE_RESPONSE_HEADER + 16];
  struct pollfd p = {fd, POLLIN, 0};
  ssize_t n = -1;
  if (poll(&p, 1, 10000) == 1) n = recv(fd, msg, sizeof msg, 0);
  DeviceResponse resp;
  if (n <= 0 || !decode_device_response(msg, static_cast<size_t>(n), resp) || resp.kind != DEVICE_CREATE) {
    close(fd);
    errno = n == 0 ? ECONNRESET : (n < 0 ? ETIMEDOUT : EPROTO);
    return nullptr;
  }
  *status = resp.status;
  if (resp.status != STATUS_SUCCESS) {
    close(fd);
    errno = EBUSY;
    return nullptr;
  }
  // The driver answers writes and controls at once; one that does not within
  // this long is hung, and its caller must not be held for ever.
  struct timeval limit = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  int re = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  int we = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (re < 0 || we < 0) {
    if (re >= 0) close(re);
    if (we >= 0) close(we);
    close(fd);
    return nullptr;
  }
  return std::unique_ptr<DeviceHandle>(new DeviceHandle(std::unique_ptr<System>(new System{fd, re, we})));
}

int DeviceHandle::receive_one(bool block) {
  uint8_t head[DEVICE_RESPONSE_HEADER];
  uint8_t scratch[64];
  struct iovec iov[2];
  iov[0] = {head, sizeof head};
  // A read's batch lands straight in the reader's buffer: no copy per batch.
  if (read_pending_ && !read_done_.load())
    iov[1] = {read_buf_, read_cap_};
  else
    iov[1] = {scratch, sizeof scratch};
  struct msghdr mh {};
  mh.msg_iov = iov;
  mh.msg_iovlen = 2;
  alignas(struct cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))];
  mh.msg_control = control;
  mh.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = recvmsg(sys_->fd, &mh, MSG_CMSG_CLOEXEC | (block ? 0 : MSG_DONTWAIT));
  } while (n < 0 && errno == EINTR);
  // Descriptors only ever come with an attach's answer; any others are
  // closed at once rather than leaked.
  int fds[2] = {-1, -1};
  int fd_count = 0;
  if (n > 0)
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (size_t i = 0; i < count; ++i) {
        int fd;
        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
        if (fd_count < 2)
          fds[fd_count++] = fd;
        else
          close(fd);
      }
    }
  if (n < 0 && block && (errno == EAGAIN || errno == EWOULDBLOCK)) errno = ETIMEDOUT;  // the limit passed
  if (n < 0) return !block && (errno == EAGAIN || errno == EWOULDBLOCK) ? -2 : -1;
  if (n == 0) {
    errno = ECONNRESET;
    return -1;
  }
  if (static_cast<size_t>(n) < DEVICE_RESPONSE_HEADER) {
    for (int i = 0; i < fd_count; ++i) close(fds[i]);
    errno = EPROTO;
    return -1;
  }
  uint32_t kind = load_le32(head), tag = load_le32(head + 4);
  uint32_t st = load_le32(head + 8), info = load_le32(head + 12);
  if (kind == DEVICE_ATTACH && tag == sync_tag_ && !sync_done_) {
    sync_handle_count_ = fd_count;
    for (int i = 0; i < fd_count; ++i) sync_handles_[i] = fds[i];
    fd_count = 0;
  }
  for (int i = 0; i < fd_count; ++i) close(fds[i]);
  size_t data = static_cast<size_t>(n) - DEVICE_RESPONSE_HEADER;
  if (kind == DEVICE_READ && read_pending_ && tag == read_tag_ && !read_done_.load()) {
    read_status_ = st;
    read_bytes_ = st == STATUS_SUCCESS ? std::min(data, read_cap_) : 0;
    read_done_ = true;
    signal_event(sys_->read_event);
  } else if (kind != DEVICE_READ && tag == sync_tag_) {
    sync_status_ = st;
    sync_info_ = info;
    sync_done_ = true;
  }
  return static_cast<int>(kind);
}

uint32_t DeviceHandle::control(uint32_t code, const void* input, size_t length) {
  uint8_t head[DEVICE_REQUEST_HEADER + 4];
  uint32_t tag;
  {
    std::lock_guard<std::mutex> lock(send_mutex_);
    tag = next_tag_++;
  }
  encode_device_request_header(head, DEVICE_CONTROL, tag);
  store_le32(head + DEVICE_REQUEST_HEADER, code);
  struct iovec iov[2] = {{head, sizeof head}, {const_cast<void*>(input), length}};
  std::lock_guard<std::mutex> rl(recv_mutex_);
  sync_tag_ = tag;
  sync_done_ = false;
  {
    std::lock_guard<std::mutex> lock(send_mutex_);
    if (!send_all(sys_->fd, iov, length ? 2 : 1, sizeof head + length)) return STATUS_UNSUCCESSFUL;
  }
  while (!sync_done_)
    if (receive_one(true) == -1) return STATUS_UNSUCCESSFUL;
  return sync_status_;
}

bool DeviceHandle::start_read(uint8_t* buf, size_t capacity) {
  uint8_t msg[DEVICE_REQUEST_HEADER + 4];
  std::lock_guard<std::mutex> rl(recv_mutex_);
  std::lock_guard<std::mutex> lock(send_mutex_);
  read_tag_ = next_tag_++;
  encode_device_request_header(msg, DEVICE_READ, read_tag_);
  store_le32(msg + DEVICE_REQUEST_HEADER, static_cast<uint32_t>(capacity));
  read_buf_ = buf;
  read_cap_ = capacity;
  read_done_ = false;
  read_bytes_ = 0;
  read_status_ = 0;
  drain_event(sys_->read_event);
  struct iovec iov = {msg, sizeof msg};
  if (!send_all(sys_->fd, &iov, 1, sizeof msg)) return false;
  read_pending_ = true;
  return true;
}

DeviceHandle::WaitResult DeviceHandle::wait_read(int timeout_ms) {
  for (;;) {
    if (read_done_.load()) return kCompleted;
    struct pollfd fds[3] = {{sys_->wake_event, POLLIN, 0}, {sys_->read_event, POLLIN, 0}, {sys_->fd, POLLIN, 0}};
    int r = poll(fds, 3, timeout_ms);
    if (r < 0) {
      if (errno == EINTR) continue;
      return kFailed;
    }
    if (fds[0].revents) return kWoken;
    if (r == 0) return kTimeout;
    if (fds[2].revents) {
      // Whoever holds the receive lock routes our answer for us.
      std::unique_lock<std::mutex> rl(recv_mutex_, std::try_to_lock);
      if (rl.owns_lock()) {
        if (receive_one(false) == -1) {
          read_pending_ = false;
          return kFailed;
        }
      } else {
        struct pollfd ev = {sys_->read_event, POLLIN, 0};
        poll(&ev, 1, 1);
      }
    }
  }
}

void DeviceHandle::wake() { signal_event(sys_->wake_event); }
void DeviceHandle::clear_wake() { drain_event(sys_->wake_event); }

bool DeviceHandle::write(const uint8_t* batch, size_t length, uint32_t* status, uint32_t* written) {
  uint8_t head[DEVICE_REQUEST_HEADER];
  uint32_t tag;
  {
    std::lock_guard<std::mutex> lock(send_mutex_);
    tag = next_tag_++;
  }
  encode_device_request_header(head, DEVICE_WRITE, tag);
  struct iovec iov[2] = {{head, sizeof head}, {const_cast<uint8_t*>(batch), length}};
  std::lock_guard<std::mutex> rl(recv_mutex_);
  sync_tag_ = tag;
  sync_done_ = false;
  {
    std::lock_guard<std::mutex> lock(send_mutex_);
    if (!send_all(sys_->fd, iov, 2, sizeof head + length)) return false;
  }
  while (!sync_done_)
    if (receive_one(true) == -1) return false;
  *status = sync_status_;
  *written = sync_info_;
  return true;
}

NativeHandle DeviceHandle::connection() const { return sys_->fd; }

bool DeviceHandle::attach(NativeHandle* interface, NativeHandle* block, size_t* block_size, uint32_t* status) {
  uint8_t head[DEVICE_REQUEST_HEADER];
  uint32_t tag;
  {
    std::lock_guard<std::mutex> lock(send_mutex_);
    tag = next_tag_++;
  }
  encode_device_request_header(head, DEVICE_ATTACH, tag);
  struct iovec iov = {head, sizeof head};
  std::lock_guard<std::mutex> rl(recv_mutex_);
  sync_tag_ = tag;
  sync_done_ = false;
  sync_handle_count_ = 0;
  {
    std::lock_guard<std::mutex> lock(send_mutex_);
    if (!send_all(sys_->fd, &iov, 1, sizeof head)) return false;
  }
  while (!sync_done_)
    if (receive_one(true) == -1) return false;
  *status = sync_status_;
  bool both = sync_handle_count_ == 2;
  if (sync_status_ == STATUS_SUCCESS && !both) *status = STATUS_UNSUCCESSFUL;  // an answer without its descriptors
  if (*status == STATUS_SUCCESS) {
    *interface = sync_handles_[0];
    *block = sync_handles_[1];
    *block_size = sync_info_;
  } else {
    for (int i = 0; i < sync_handle_count_; ++i) close(sync_handles_[i]);
  }
  sync_handle_count_ = 0;
  return true;
}

}  // namespace velarn
