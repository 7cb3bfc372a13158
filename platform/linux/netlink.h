// rtnetlink for the Linux halves of the platform layer and the driver host:
// one socket type over libmnl for requests, dumps and event subscriptions,
// one message builder and bounded attribute walking. Only code under
// platform/linux/ and driver/linux/ includes this header.
#pragma once
#include <libmnl/libmnl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <type_traits>

namespace velarn::netlink {

// Called once per message the kernel sends; the message is valid for the
// duration of the call only.
using Callback = std::function<void(const nlmsghdr* h)>;

// A request being built: header, fixed part, attributes. Attributes that do
// not fit are refused and the whole message is marked bad, so that a
// request is never sent with part of it missing.
class Message {
 public:
  static constexpr size_t kCapacity = 2048;

  Message() { std::memset(buf_, 0, sizeof buf_); }
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;

  // Starts a message of type with a zeroed fixed part of type T; the flags
  // that say request, acknowledgement or dump are added when it is sent.
  template <class T>
  T* start(uint16_t type, uint16_t flags = 0) {
    return static_cast<T*>(start_raw(type, flags, sizeof(T)));
  }
  // Starts a message of type whose fixed part (fixed bytes) is copied from
  // another message; nullptr when that one is too short to have it.
  void* start_from(const nlmsghdr* from, uint16_t type, uint16_t flags, size_t fixed);

  bool put(uint16_t type, const void* data, size_t len);
  bool put_u32(uint16_t type, uint32_t value) { return put(type, &value, sizeof value); }

  bool ok() const { return ok_; }
  nlmsghdr* header() { return h_; }

 private:
  void* start_raw(uint16_t type, uint16_t flags, size_t fixed);

  alignas(nlmsghdr) char buf_[kCapacity];
  nlmsghdr* h_ = nullptr;
  bool ok_ = false;
};

// The fixed part (ifinfomsg, ifaddrmsg, rtmsg ...) of a message, or nullptr
// when the message is too short to hold one.
template <class T>
const T* fixed_part(const nlmsghdr* h) {
  if (h->nlmsg_len < NLMSG_LENGTH(sizeof(T))) return nullptr;
  return static_cast<const T*>(mnl_nlmsg_get_payload(h));
}

// Calls f(const nlattr*) for each attribute after a fixed part of fixed
// bytes; a malformed attribute ends the walk. The attribute's type without
// its flag bits is mnl_attr_get_type(a).
template <class F>
void for_each_attr(const nlmsghdr* h, size_t fixed, F&& f) {
  using Fn = std::remove_reference_t<F>;
  if (h->nlmsg_len < NLMSG_LENGTH(fixed)) return;
  mnl_attr_parse(
      h, static_cast<unsigned>(fixed),
      [](const nlattr* a, void* data) {
        (*static_cast<Fn*>(data))(a);
        return MNL_CB_OK;
      },
      const_cast<void*>(static_cast<const void*>(&f)));
}

// An attribute's value, checked against its length: false (and *out as it
// was) when the attribute is shorter than the value.
bool attr_u32(const nlattr* a, uint32_t* out);
// Copies an attribute of exactly len bytes (an address); false otherwise.
bool attr_copy(const nlattr* a, void* out, size_t len);

// An rtnetlink socket in the network namespace of the thread that opens it.
// Only the kernel is listened to: anything another process sends to the
// socket's port is dropped.
class Socket {
 public:
  Socket();
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // 0 or an errno. A blocking socket gives up on a kernel that does not
  // answer within a few seconds (ETIMEDOUT); a non-blocking one is for an
  // event loop (receive()).
  int open(bool nonblocking = false);
  void close();
  bool is_open() const { return nl_ != nullptr; }
  int fd() const;

  // Joins a multicast group (RTNLGRP_*, any number). 0 or an errno.
  int subscribe(unsigned group);

  // Sends m with an acknowledgement asked for and waits for it: 0, or the
  // kernel's error as a positive errno. Answers that come before the
  // acknowledgement (a route query's route) go to cb.
  int request(Message& m, const Callback& cb = {});
  // Sends m as a dump request and hands every message of the dump to cb.
  // 0, an errno, or EINTR when the kernel says the table changed while it
  // was dumped (every message was still handed over; the caller may ask
  // again).
  int dump(Message& m, const Callback& cb);
  // Hands every message waiting on a non-blocking socket to cb: 0 once none
  // is left, ENOBUFS when the kernel had to drop some (the caller should
  // read the state again), another errno on failure.
  int receive(const Callback& cb);

 private:
  int send(Message& m, uint16_t flags);
  // Reads answers to sequence number seq until the acknowledgement, an
  // error or the end of a dump.
  int collect(uint32_t seq, const Callback& cb);
  // One datagram from the kernel into buf_; its length, or -errno.
  long read_datagram();

  mnl_socket* nl_ = nullptr;
  uint32_t portid_ = 0;
  uint32_t seq_ = 0;
  std::unique_ptr<char[]> buf_;
};

// The text of an errno this file returns.
const char* error_text(int err);

}  // namespace velarn::netlink
