#include "platform/linux/netlink.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>

#include <chrono>

namespace velarn::netlink {

namespace {

// Large enough for any datagram the kernel sends: it sizes dump datagrams
// by the reader's buffer and never beyond this.
constexpr size_t kReceiveBuffer = 32768;
// How long a blocking socket waits for the kernel, per read and in all.
constexpr int kReadTimeoutSeconds = 5;
constexpr auto kRequestDeadline = std::chrono::seconds(10);
// Datagrams an event loop takes in one turn; the rest wait for the next, so
// that a storm of reports cannot starve the loop's other work.
constexpr int kEventsPerTurn = 64;

}  // namespace

void* Message::start_raw(uint16_t type, uint16_t flags, size_t fixed) {
  if (NLMSG_LENGTH(fixed) > kCapacity) {
    h_ = nullptr;
    ok_ = false;
    return nullptr;
  }
  h_ = mnl_nlmsg_put_header(buf_);
  h_->nlmsg_type = type;
  h_->nlmsg_flags = flags;
  ok_ = true;
  return mnl_nlmsg_put_extra_header(h_, fixed);
}

void* Message::start_from(const nlmsghdr* from, uint16_t type, uint16_t flags, size_t fixed) {
  if (from->nlmsg_len < NLMSG_LENGTH(fixed)) {
    ok_ = false;
    return nullptr;
  }
  void* part = start_raw(type, flags, fixed);
  if (part) std::memcpy(part, mnl_nlmsg_get_payload(from), fixed);
  return part;
}

bool Message::put(uint16_t type, const void* data, size_t len) {
  if (!ok_ || !mnl_attr_put_check(h_, kCapacity, type, len, data)) ok_ = false;
  return ok_;
}

bool attr_u32(const nlattr* a, uint32_t* out) {
  if (mnl_attr_get_payload_len(a) < sizeof *out) return false;
  std::memcpy(out, mnl_attr_get_payload(a), sizeof *out);
  return true;
}

bool attr_copy(const nlattr* a, void* out, size_t len) {
  if (mnl_attr_get_payload_len(a) != len) return false;
  std::memcpy(out, mnl_attr_get_payload(a), len);
  return true;
}

Socket::Socket() = default;

Socket::~Socket() { close(); }

int Socket::open(bool nonblocking) {
  close();
  nl_ = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0));
  if (!nl_) return errno;
  if (mnl_socket_bind(nl_, 0, MNL_SOCKET_AUTOPID) < 0) {
    int e = errno;
    close();
    return e;
  }
  if (!nonblocking) {
    timeval tv{kReadTimeoutSeconds, 0};
    setsockopt(fd(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  // An error need not carry the whole request back.
  int one = 1;
  mnl_socket_setsockopt(nl_, NETLINK_CAP_ACK, &one, sizeof one);
  portid_ = mnl_socket_get_portid(nl_);
  buf_ = std::make_unique<char[]>(kReceiveBuffer);
  return 0;
}

void Socket::close() {
  if (nl_) mnl_socket_close(nl_);
  nl_ = nullptr;
  portid_ = 0;
}

int Socket::fd() const { return nl_ ? mnl_socket_get_fd(nl_) : -1; }

int Socket::subscribe(unsigned group) {
  if (!nl_) return EBADF;
  int g = static_cast<int>(group);
  return mnl_socket_setsockopt(nl_, NETLINK_ADD_MEMBERSHIP, &g, sizeof g) == 0 ? 0 : errno;
}

int Socket::send(Message& m, uint16_t flags) {
  if (!nl_) return EBADF;
  if (!m.ok()) return EMSGSIZE;
  nlmsghdr* h = m.header();
  h->nlmsg_flags |= NLM_F_REQUEST | flags;
  if (++seq_ == 0) ++seq_;
  h->nlmsg_seq = seq_;
  return mnl_socket_sendto(nl_, h, h->nlmsg_len) < 0 ? errno : 0;
}

int Socket::request(Message& m, const Callback& cb) {
  int err = send(m, NLM_F_ACK);
  return err ? err : collect(seq_, cb);
}

int Socket::dump(Message& m, const Callback& cb) {
  int err = send(m, NLM_F_DUMP);
  return err ? err : collect(seq_, cb);
}

long Socket::read_datagram() {
  for (;;) {
    sockaddr_nl from{};
    iovec iov{buf_.get(), kReceiveBuffer};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n = ::recvmsg(fd(), &msg, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (msg.msg_flags & MSG_TRUNC) return -EMSGSIZE;
    // Any local process may send to our port; only the kernel speaks for
    // the routing table.
    if (msg.msg_namelen != sizeof from || from.nl_pid != 0) continue;
    return n;
  }
}

int Socket::collect(uint32_t seq, const Callback& cb) {
  auto deadline = std::chrono::steady_clock::now() + kRequestDeadline;
  bool interrupted = false;
  for (;;) {
    if (std::chrono::steady_clock::now() > deadline) return ETIMEDOUT;
    long n = read_datagram();
    if (n < 0) return n == -EAGAIN || n == -EWOULDBLOCK ? ETIMEDOUT : static_cast<int>(-n);
    int len = static_cast<int>(n);
    for (auto* h = reinterpret_cast<const nlmsghdr*>(buf_.get()); mnl_nlmsg_ok(h, len); h = mnl_nlmsg_next(h, &len)) {
      // Late answers to an earlier request that gave up are not ours.
      if (h->nlmsg_seq != seq || !mnl_nlmsg_portid_ok(h, portid_)) continue;
      if (h->nlmsg_type == NLMSG_NOOP || h->nlmsg_type == NLMSG_OVERRUN) continue;
      if (h->nlmsg_type == NLMSG_ERROR) {
        const auto* e = fixed_part<nlmsgerr>(h);
        if (!e) return EBADMSG;
        return e->error <= 0 ? -e->error : EPROTO;  // 0 is the acknowledgement
      }
      if (h->nlmsg_type == NLMSG_DONE) {
        // A dump that failed part way says so at its end.
        int err = 0;
        if (mnl_nlmsg_get_payload_len(h) >= sizeof err) std::memcpy(&err, mnl_nlmsg_get_payload(h), sizeof err);
        if (err < 0) return -err;
        return interrupted ? EINTR : 0;
      }
      if (h->nlmsg_flags & NLM_F_DUMP_INTR) interrupted = true;
      if (cb) cb(h);
    }
  }
}

int Socket::receive(const Callback& cb) {
  if (!nl_) return EBADF;
  for (int turn = 0; turn < kEventsPerTurn; ++turn) {
    long n = read_datagram();
    if (n < 0) return n == -EAGAIN || n == -EWOULDBLOCK ? 0 : static_cast<int>(-n);
    int len = static_cast<int>(n);
    for (auto* h = reinterpret_cast<const nlmsghdr*>(buf_.get()); mnl_nlmsg_ok(h, len); h = mnl_nlmsg_next(h, &len)) {
      if (h->nlmsg_type >= NLMSG_MIN_TYPE) cb(h);
    }
  }
  return 0;
}

const char* error_text(int err) {
  const char* text = strerrordesc_np(err);
  return text ? text : "Unknown error";
}

}  // namespace velarn::netlink
