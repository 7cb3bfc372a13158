#include "driver/linux/host.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_link.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/device_installer.h"
#include "platform/roots.h"
#include "platform/socket.h"

namespace velarn::vlncard {

namespace {

// Reports of joined and left IP multicast groups, newer than the headers
// we build with; a kernel without them simply sends nothing.
constexpr uint16_t kNewMulticast = 56, kDelMulticast = 57;
constexpr unsigned kIpv4McaddrGroup = 37, kIpv6McaddrGroup = 38;

const char* kClassKey = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\vlncard";
constexpr size_t kSlots = 256;
// Largest write a client can send: 128 records of the largest length.
constexpr size_t kMaxWriteMessage = DEVICE_REQUEST_HEADER + FRAME_BATCH_HEADER +
                                    FRAME_BATCH_MAX_WRITE_FRAMES * frame_record_size(FRAME_MAX_RECORD_LENGTH);
// Answers a client has not taken yet wait in its queue; a client that lets
// this much pile up, or takes nothing for this many ticks, is let go.
constexpr size_t kMaxOutbox = 8u << 20;
constexpr int kOutboxTicks = 5;

void log(const char* fmt, const std::string& a, const std::string& b = {}) {
  std::fprintf(stderr, "vlncard: ");
  std::fprintf(stderr, fmt, a.c_str(), b.c_str());
  std::fputc('\n', stderr);
}

// The folder of the control devices: ours alone, so nobody can connect to a
// device, or swap one for their own, between its bind and its chmod.
bool private_folder(const std::string& dir, std::string* why) {
  // The folders above stay open to all: the service's channel lives there.
  roots::make_dirs(dir.substr(0, dir.rfind('/')), 0755);
  roots::make_dirs(dir, 0700);
  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) {
    *why = std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
    *why = "the folder is not ours";
    return false;
  }
  if ((st.st_mode & 07777) != 0700 && ::chmod(dir.c_str(), 0700) != 0) {
    *why = std::strerror(errno);
    return false;
  }
  return true;
}

// Only root may drive an adapter: the socket's mode keeps others out, and
// this check holds even when someone loosened that mode by hand.
bool peer_is_root(int fd) {
  struct ucred cred {};
  socklen_t len = sizeof cred;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof cred && cred.uid == 0;
}

}  // namespace

// ---- registry ----------------------------------------------------------------

std::optional<std::string> RegistryKeyStore::get_string(const std::string& name) {
  auto v = reg_.get(key_, name);
  if (!v || v->type != RegType::Sz) return std::nullopt;
  return v->sz;
}

std::optional<uint32_t> RegistryKeyStore::get_integer(const std::string& name) {
  auto v = reg_.get(key_, name);
  if (!v) return std::nullopt;
  if (v->type == RegType::Dword) return v->dword;
  if (v->type == RegType::Sz) return parse_decimal_u32(v->sz);
  return std::nullopt;
}

void RegistryKeyStore::set_integer(const std::string& name, uint32_t value) { reg_.set_dword(key_, name, value); }
void RegistryKeyStore::set_string(const std::string& name, const std::string& value) { reg_.set_sz(key_, name, value); }

// ---- adapter -------------------------------------------------------------------

HostAdapter::HostAdapter(Host& host, std::string key) : host_(host), key_(std::move(key)) {}

HostAdapter::~HostAdapter() { halt(); }

bool HostAdapter::start() {
  config_ = std::make_unique<RegistryKeyStore>(host_.registry(), key_);
  instance_id_ = config_->get_string("NetCfgInstanceId").value_or("");
  // A registry that cannot be read says why; that is the reason to give.
  std::string unreadable = instance_id_.empty() ? host_.registry().last_error() : std::string();
  uint32_t status = 0;
  ctx_ = host_.driver().initialize(*config_, *this, &status);
  if (!ctx_) {
    log("adapter %s not started: %s", key_,
        unreadable.empty() ? std::string("NetCfgInstanceId missing or unusable") : unreadable);
    return false;
  }
  allocate_frames(ctx_->max_frame());
  super_ = std::make_unique_for_overwrite<uint8_t[]>(offload::MAX_SUPER_FRAME);
  recv_buffer_size_ = kMaxWriteMessage;
  // Pages are only touched as large writes arrive.
  recv_buffer_ = std::make_unique_for_overwrite<uint8_t[]>(recv_buffer_size_);
  if (!make_shared_block()) {
    log("adapter %s not started: no shared block: %s", key_, std::strerror(errno));
    host_.driver().halt(*ctx_);
    ctx_.reset();
    return false;
  }

  if (!open_tap()) {
    host_.driver().halt(*ctx_);
    ctx_.reset();
    return false;
  }

  socket_path_ = roots::object_path(vln_open_path(instance_id_));
  auto slash = socket_path_.rfind('/');
  std::string why;
  if (!private_folder(socket_path_.substr(0, slash), &why)) {
    log("cannot create the control device %s: %s", socket_path_, why);
    halt();
    return false;
  }
  listen_fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  struct sockaddr_un sa {};
  sa.sun_family = AF_UNIX;
  if (socket_path_.size() >= sizeof sa.sun_path) {
    log("control device path too long: %s%s", socket_path_);
    halt();
    return false;
  }
  std::memcpy(sa.sun_path, socket_path_.c_str(), socket_path_.size() + 1);
  ::unlink(socket_path_.c_str());
  // The socket file takes its mode from the umask at bind; whatever the host
  // was started with, only root may reach a device that carries tunnel frames.
  mode_t old_mask = ::umask(0077);
  bool bound = listen_fd_ >= 0 && ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  ::umask(old_mask);
  if (!bound || ::chmod(socket_path_.c_str(), 0600) != 0 || ::listen(listen_fd_, 8) != 0) {
    log("cannot create the control device %s: %s", socket_path_, std::strerror(errno));
    halt();
    return false;
  }
  host_.watch(listen_fd_, EPOLLIN, this, Host::Role::listen);
  log("adapter %s started as %s", instance_id_, tap_.name());
  reload_metric();
  return true;
}

bool HostAdapter::make_shared_block() {
  shared_fd_ = ::memfd_create("vlncard-shared", MFD_CLOEXEC | MFD_ALLOW_SEALING);
  if (shared_fd_ < 0 || ::ftruncate(shared_fd_, SHARED_BLOCK_SIZE) != 0) return false;
  // Its size is fixed for good: a client's mapping can never lose its pages.
  ::fcntl(shared_fd_, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL);
  void* m = ::mmap(nullptr, SHARED_BLOCK_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, shared_fd_, 0);
  if (m == MAP_FAILED) return false;
  shared_ = static_cast<SharedAdapterBlock*>(m);
  shared_block_init(shared_, false);
  publish();
  return true;
}

void HostAdapter::publish() {
  if (shared_ && ctx_) shared_block_publish(*shared_, ctx_->filter());
}

void HostAdapter::absorb_counters() {
  if (!shared_ || !ctx_) return;
  AdapterCounters now = shared_block_counters(*shared_);
  AdapterCounters more;
  more.rcv_ok = now.rcv_ok - absorbed_.rcv_ok;
  more.xmit_ok = now.xmit_ok - absorbed_.xmit_ok;
  more.rcv_error = now.rcv_error - absorbed_.rcv_error;
  more.xmit_error = now.xmit_error - absorbed_.xmit_error;
  ctx_->add_counters(more);
  absorbed_ = now;
}

void HostAdapter::allocate_frames(size_t slot_size) {
  slot_size_ = slot_size;
  slot_memory_ = std::make_unique_for_overwrite<uint8_t[]>(kSlots * slot_size_);
  slots_.assign(kSlots, OutPacket{});
  free_slots_.clear();
  free_slots_.reserve(kSlots);
  for (size_t i = 0; i < kSlots; ++i) {
    slots_[i].data = slot_memory_.get() + i * slot_size_;
    free_slots_.push_back(&slots_[kSlots - 1 - i]);
  }
  read_buffer_size_ =
      DEVICE_RESPONSE_HEADER + FRAME_BATCH_HEADER + FRAME_BATCH_MAX_READ_FRAMES * frame_record_size(slot_size_);
  read_buffer_ = std::make_unique_for_overwrite<uint8_t[]>(read_buffer_size_);
  // A read waiting for frames keeps its place, now in the new buffer.
  for (int i = 0; i < 2; ++i)
    if (read_busy_[i]) reads_[i].buffer = read_buffer_.get() + DEVICE_RESPONSE_HEADER;
  if (conn_fd_ >= 0) {
    velarn::set_send_buffer(conn_fd_, int(read_buffer_size_ * 2));
  }
}

void HostAdapter::try_resize() {
  if (!resize_pending_ || !ctx_ || cutting_ || free_slots_.size() != kSlots) return;
  resize_pending_ = false;
  if (ctx_->max_frame() > slot_size_) allocate_frames(ctx_->max_frame());
  update_tap_interest();
}

bool HostAdapter::open_tap() {
  if (!tap_.open(tap_name_for(instance_id_))) {
    log("%s%s", tap_.error());
    return false;
  }
  if (!tap_.set_mtu(ctx_->mtu())) log("%s%s", tap_.error());
  if (!tap_.set_mac(ctx_->current_address())) log("%s%s", tap_.error());
  if (!tap_.set_alias(std::string(VLN_ADAPTER_DESCRIPTION))) log("%s%s", tap_.error());
  if (!tap_.set_carrier(ctx_->media_connected())) log("%s%s", tap_.error());
  if (!tap_.set_up()) log("%s%s", tap_.error());
  if (shared_) shared_->vnet = tap_.vnet() ? 1 : 0;
  tap_armed_ = false;
  cutting_ = false;
  host_.watch(tap_.fd(), 0, this, Host::Role::tap);
  update_tap_interest();
  last_filter_ = ~0u;
  last_multicast_.clear();
  refresh_filters();
  return true;
}

void HostAdapter::tap_vanished() {
  if (!tap_.is_open()) return;
  log("interface %s vanished%s", tap_.name());
  // A client running the data path holds the interface that is gone: its
  // handle ends, and it opens the adapter again as after any failure.
  if (attached_) conn_broken_ = true;
  host_.unwatch(tap_.fd());
  tap_.close();
  tap_armed_ = false;
  cutting_ = false;
}

void HostAdapter::update_tap_interest() {
  if (!tap_.is_open()) return;
  // A super frame still being cut goes first (finish_turn goes on with it);
  // slots about to grow are let drain first.
  bool want = !attached_ && !free_slots_.empty() && !cutting_ && !resize_pending_;
  if (want == tap_armed_) return;
  tap_armed_ = want;
  host_.modify(tap_.fd(), want ? uint32_t(EPOLLIN) : 0u);
}

void HostAdapter::refresh_filters() {
  if (!ctx_ || !tap_.is_open()) return;
  uint32_t filter = packet_filter_from_flags(tap_.flags());
  auto mc = kernel_multicast_list(tap_.ifindex());
  uint32_t rd, nd;
  if (mc != last_multicast_) {
    last_multicast_ = mc;
    std::vector<uint8_t> bytes;
    for (auto& m : mc) bytes.insert(bytes.end(), m.begin(), m.end());
    if (ctx_->set_information(OID_802_3_MULTICAST_LIST, bytes.data(), uint32_t(bytes.size()), &rd, &nd) ==
        NDIS_STATUS_MULTICAST_FULL)
      last_filter_ = ~0u;  // recomputed below with all-multicast
  }
  // More groups than the list holds: take all multicast rather than lose some.
  if (mc.size() > VLN_MAC_LIST_MAX && (filter & NDIS_PACKET_TYPE_MULTICAST)) filter |= NDIS_PACKET_TYPE_ALL_MULTICAST;
  if (filter != last_filter_) {
    last_filter_ = filter;
    ctx_->set_information(OID_GEN_CURRENT_PACKET_FILTER, &filter, 4, &rd, &nd);
  }
  publish();
}

void HostAdapter::on_link_change(const uint8_t* mac, uint32_t mtu) {
  if (!ctx_ || halted_) return;
  // Whoever changes the interface (ip link set ... address / mtu) changes
  // the adapter: its address as the OID reports it and the receive filter
  // applies it, and the largest frame in both directions.
  MacAddress now = ctx_->current_address();
  if (mac) std::memcpy(now.data(), mac, now.size());
  if (now != ctx_->current_address() || (mtu && mtu != ctx_->mtu())) {
    ctx_->follow_interface(now, mtu ? mtu : ctx_->mtu());
    if (ctx_->max_frame() > slot_size_) {
      resize_pending_ = true;
      update_tap_interest();
      try_resize();
    }
  }
  refresh_filters();
}

void HostAdapter::reload_metric() {
  RegistryKeyStore tcpip(host_.registry(), std::string(kTcpipInterfaces) + "\\" + instance_id_);
  uint32_t previous = metric_;
  metric_ = tcpip.get_integer("InterfaceMetric").value_or(0);
  if (tap_.is_open() && metric_ != previous) host_.route_metric().sync(tap_.ifindex(), metric_, previous);
}

void HostAdapter::on_route_change(const nlmsghdr* h) {
  if (tap_.is_open() && !halted_) host_.route_metric().apply(h, tap_.ifindex(), metric_);
}

void HostAdapter::on_tick() {
  if (halted_) return;
  if (!outbox_.empty() && ++outbox_ticks_ > kOutboxTicks) {
    log("%s: the control device's client takes no answers: dropped%s", tap_.name());
    conn_broken_ = true;
  }
  if (!tap_.is_open()) {
    open_tap();  // the interface was deleted under us: bring it back
    return;
  }
  refresh_filters();
}

void HostAdapter::halt() {
  if (halted_ || !ctx_) {
    halted_ = true;
    return;
  }
  halted_ = true;
  host_.driver().halt(*ctx_);  // answers a pending read with STATUS_CANCELLED
  close_connection();
  if (listen_fd_ >= 0) {
    host_.unwatch(listen_fd_);
    ::close(listen_fd_);
    listen_fd_ = -1;
    ::unlink(socket_path_.c_str());
  }
  if (tap_.is_open()) {
    host_.unwatch(tap_.fd());
    tap_.close();
  }
  if (shared_) ::munmap(shared_, SHARED_BLOCK_SIZE);
  shared_ = nullptr;
  if (shared_fd_ >= 0) ::close(shared_fd_);
  shared_fd_ = -1;
  ctx_.reset();
  log("adapter %s halted%s", instance_id_);
}

// -- NDIS side --

size_t HostAdapter::indicate_receive(ReceiveDescriptor* const* packets, size_t count) {
  size_t taken = 0;
  for (size_t i = 0; i < count; ++i) {
    ReceiveDescriptor* d = packets[i];
    if (tap_.is_open()) {
      // An empty virtio header: the frame is complete as it stands.
      static const uint8_t no_offload[offload::VNET_HEADER] = {};
      struct iovec iov[2] = {{const_cast<uint8_t*>(no_offload), sizeof no_offload},
                             {const_cast<uint8_t*>(d->data), d->length}};
      ssize_t n = tap_.vnet() ? ::writev(tap_.fd(), iov, 2) : ::write(tap_.fd(), d->data, d->length);
      if (n >= 0)
        ++taken;
      else if (errno == EBADFD)
        tap_vanished();
      // Anything else (EIO while the interface is down, a full queue) costs
      // this frame only: the interface is still there, with its addresses
      // and routes, and must not be made anew.
    }
    ctx_->return_packet(d);
  }
  return taken;
}

void HostAdapter::indicate_status(uint32_t status) {
  if (!tap_.is_open()) return;  // applied when the interface is (re)made
  if (!tap_.set_carrier(status == NDIS_STATUS_MEDIA_CONNECT)) log("%s%s", tap_.error());
}

void HostAdapter::send_complete(OutPacket* packet, uint32_t) {
  free_slots_.push_back(packet);
  update_tap_interest();
  try_resize();
}

void HostAdapter::set_timer(unsigned) { timer_pending_ = true; }

bool HostAdapter::cancel_timer() {
  bool was = timer_pending_;
  timer_pending_ = false;
  return was;
}

void HostAdapter::run_timer() {
  if (!timer_pending_) return;
  timer_pending_ = false;
  if (ctx_) ctx_->timer_fired();
}

bool HostAdapter::finish_plain_frame(uint8_t* frame, size_t len, const offload::VnetHeader& h) {
  if (!(h.flags & offload::VNET_F_NEEDS_CSUM)) return true;
  return offload::complete_checksum(frame, len, h.csum_start, h.csum_offset);
}

size_t HostAdapter::take_frames(OutPacket** taken, size_t max_frames, bool* gone) {
  size_t n = 0;
  *gone = false;
  while (n < max_frames && !free_slots_.empty()) {
    OutPacket* p = free_slots_.back();
    auto* slot = const_cast<uint8_t*>(p->data);
    if (cutting_) {
      size_t len = segmenter_.next(slot, slot_size_);
      if (segmenter_.done()) cutting_ = false;
      if (len == 0) {
        if (dropped_super_++ == 0) log("%s: a super frame cut into frames longer than the MTU: dropped", tap_.name());
        ctx_->count_transmit_error();
        continue;
      }
      free_slots_.pop_back();
      p->length = uint32_t(len);
      taken[n++] = p;
      continue;
    }
    ssize_t r;
    offload::VnetHeader vh;
    if (tap_.vnet()) {
      // A plain frame lands in the slot itself; a super frame runs on into
      // the big buffer, after the slot's worth that is copied there.
      uint8_t head[offload::VNET_HEADER];
      struct iovec iov[3] = {
          {head, sizeof head}, {slot, slot_size_}, {super_.get() + slot_size_, offload::MAX_SUPER_FRAME - slot_size_}};
      r = ::readv(tap_.fd(), iov, 3);
      if (r >= 0) {
        if (size_t(r) < sizeof head) continue;
        r -= ssize_t(sizeof head);
        vh = offload::parse_vnet_header(head);
      }
    } else {
      r = ::read(tap_.fd(), slot, slot_size_);
    }
    if (r < 0) {
      if (errno == EBADFD) *gone = true;
      break;
    }
    if (tap_.vnet() && (vh.gso_type != offload::VNET_GSO_NONE || size_t(r) > slot_size_)) {
      std::memcpy(super_.get(), slot, slot_size_);
      if (!segmenter_.start(super_.get(), size_t(r), vh)) {
        if (dropped_super_++ == 0)
          log("%s: a frame the interface handed over could not be cut up: dropped", tap_.name());
        ctx_->count_transmit_error();
        continue;
      }
      cutting_ = true;
      continue;
    }
    if (tap_.vnet() && !finish_plain_frame(slot, size_t(r), vh)) continue;
    if (size_t(r) > ctx_->max_frame()) {  // beyond the MTU: no adapter sends that
      ctx_->count_transmit_error();
      continue;
    }
    free_slots_.pop_back();
    p->length = uint32_t(r);
    taken[n++] = p;
  }
  return n;
}

void HostAdapter::on_tap_readable() {
  if (!ctx_ || !tap_.is_open() || attached_) return;
  // Take what the kernel has, a batch at a time, and hand it down in one go
  // so a waiting read leaves with as many frames as possible. A bounded number
  // of frames per turn keeps the control socket and the other adapters served.
  OutPacket* taken[FRAME_BATCH_MAX_READ_FRAMES];
  size_t total = 0;
  bool gone = false;
  while (total < kSlots && !gone) {
    size_t n = take_frames(taken, FRAME_BATCH_MAX_READ_FRAMES, &gone);
    if (n) ctx_->send_packets(taken, n);
    total += n;
    if (n < FRAME_BATCH_MAX_READ_FRAMES) break;
  }
  if (gone) {
    tap_vanished();
    return;
  }
  update_tap_interest();
}

// -- control device --

bool HostAdapter::send_message(const uint8_t* msg, size_t len) {
  if (conn_fd_ < 0 || conn_broken_) return false;
  if (outbox_.empty()) {
    ssize_t n = ::send(conn_fd_, msg, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n == ssize_t(len)) return true;
    if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      conn_broken_ = true;  // gone: the connection ends after this turn
      return false;
    }
  }
  // A slow client waits for its answers in order; the loop, and with it
  // every other adapter, never waits for the client.
  if (outbox_bytes_ + len > kMaxOutbox) {
    conn_broken_ = true;
    return false;
  }
  if (outbox_.empty()) {
    outbox_ticks_ = 0;
    host_.modify(conn_fd_, EPOLLOUT);  // no new requests until the answers are taken
  }
  outbox_.emplace_back(msg, msg + len);
  outbox_bytes_ += len;
  return true;
}

void HostAdapter::on_conn_event() {
  // While answers wait, only their going out (or the client going away) is
  // of interest.
  if (!outbox_.empty())
    on_conn_writable();
  else
    on_conn_readable();
}

void HostAdapter::on_conn_writable() {
  while (!outbox_.empty() && conn_fd_ >= 0 && !conn_broken_) {
    auto& m = outbox_.front();
    ssize_t n = ::send(conn_fd_, m.data(), m.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n != ssize_t(m.size())) {
      conn_broken_ = true;
      return;
    }
    outbox_bytes_ -= m.size();
    outbox_.pop_front();
    outbox_ticks_ = 0;
  }
  if (conn_fd_ >= 0 && !conn_broken_) {
    host_.modify(conn_fd_, EPOLLIN);
    on_conn_readable();  // requests that waited meanwhile
  }
}

void HostAdapter::respond(uint32_t kind, uint32_t tag, uint32_t status, uint32_t information, const uint8_t* data,
                          size_t data_len) {
  uint8_t msg[DEVICE_RESPONSE_HEADER + 256];
  data_len = std::min(data_len, sizeof msg - DEVICE_RESPONSE_HEADER);
  encode_device_response_header(msg, kind, tag, status, information);
  if (data_len) std::memcpy(msg + DEVICE_RESPONSE_HEADER, data, data_len);
  send_message(msg, DEVICE_RESPONSE_HEADER + data_len);
}

void HostAdapter::read_complete(ReadRequest* r) {
  int i = r == &reads_[0] ? 0 : 1;
  read_busy_[i] = false;
  uint32_t data = r->status == STATUS_SUCCESS ? r->information : 0;
  // The batch already sits right after the header's place.
  encode_device_response_header(read_buffer_.get(), DEVICE_READ, r->tag, r->status, data);
  if (data == 0) {
    respond(DEVICE_READ, r->tag, r->status, 0);
    return;
  }
  send_message(read_buffer_.get(), DEVICE_RESPONSE_HEADER + data);
}

void HostAdapter::on_listen_readable() {
  for (;;) {
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    if (!peer_is_root(fd)) {
      ::close(fd);
      continue;
    }
    uint32_t status = (conn_fd_ >= 0) ? STATUS_UNSUCCESSFUL : (ctx_ ? ctx_->device_create() : STATUS_DELETE_PENDING);
    uint8_t msg[DEVICE_RESPONSE_HEADER];
    encode_device_response_header(msg, DEVICE_CREATE, 0, status, 0);
    velarn::set_send_buffer(fd, int(read_buffer_size_ * 2));
    ::send(fd, msg, sizeof msg, MSG_NOSIGNAL | MSG_DONTWAIT);  // the first message: room for it
    if (status != STATUS_SUCCESS) {
      ::close(fd);
      continue;
    }
    conn_fd_ = fd;
    conn_broken_ = false;
    host_.watch(conn_fd_, EPOLLIN, this, Host::Role::conn);
    publish();  // the open cleared the client's filters
  }
}

void HostAdapter::close_connection() {
  if (conn_fd_ < 0) return;
  int fd = conn_fd_;
  host_.unwatch(fd);
  if (attached_) {
    // The data path comes back here: what the client counted stays counted,
    // and the close below drops what waits and disconnects the media as for
    // any client.
    attached_ = false;
    absorb_counters();
  }
  if (ctx_ && !ctx_->halting()) {
    conn_fd_ = -1;  // the close's own completions have nobody to go to
    ctx_->device_close();
  }
  conn_fd_ = -1;
  conn_broken_ = false;
  outbox_.clear();
  outbox_bytes_ = 0;
  ::close(fd);
  update_tap_interest();
}

void HostAdapter::finish_turn() {
  if (conn_broken_) close_connection();
  if (cutting_ && !free_slots_.empty()) on_tap_readable();
}

void HostAdapter::on_conn_readable() {
  // A bounded number of messages per turn keeps the other adapters served.
  for (int i = 0; i < 64 && conn_fd_ >= 0 && !conn_broken_ && outbox_.empty(); ++i) {
    struct iovec iov {
      recv_buffer_.get(), recv_buffer_size_
    };
    struct msghdr mh {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    ssize_t n = ::recvmsg(conn_fd_, &mh, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
      close_connection();
      return;
    }
    handle_request(recv_buffer_.get(), size_t(n), (mh.msg_flags & MSG_TRUNC) != 0);
  }
}

void HostAdapter::handle_request(const uint8_t* msg, size_t len, bool truncated) {
  DeviceRequest req;
  if (!decode_device_request(msg, len, req)) {
    // Not even a header: nothing to answer under.
    respond(len >= 4 ? load_le32(msg) : 0, 0, STATUS_INVALID_PARAMETER, 0);
    return;
  }
  if (req.payload_length < device_request_min_payload(req.kind) || device_request_min_payload(req.kind) == SIZE_MAX) {
    respond(req.kind, req.tag, STATUS_INVALID_PARAMETER, 0);
    return;
  }
  if (!ctx_ || ctx_->halting()) {
    if (req.kind != DEVICE_CANCEL) respond(req.kind, req.tag, STATUS_DELETE_PENDING, 0);
    return;
  }
  const uint8_t* p = req.payload;
  switch (req.kind) {
    case DEVICE_READ: {
      int i = read_busy_[0] ? 1 : 0;
      if (read_busy_[i]) {  // both in use cannot happen with one pending read, but never reuse one
        respond(DEVICE_READ, req.tag, STATUS_UNSUCCESSFUL, 0);
        return;
      }
      ReadRequest& r = reads_[i];
      r.tag = req.tag;
      r.buffer = read_buffer_.get() + DEVICE_RESPONSE_HEADER;
      r.capacity = uint32_t(std::min<uint64_t>(load_le32(p), read_buffer_size_ - DEVICE_RESPONSE_HEADER));
      read_busy_[i] = true;
      ctx_->device_read(&r);
      return;
    }
    case DEVICE_WRITE: {
      if (truncated) {  // more than 128 records of any length could hold
        respond(DEVICE_WRITE, req.tag, STATUS_INVALID_BUFFER_SIZE, 0);
        return;
      }
      uint32_t info = 0;
      uint32_t st = ctx_->device_write(p, req.payload_length, &info);
      respond(DEVICE_WRITE, req.tag, st, info);
      return;
    }
    case DEVICE_CONTROL: {
      uint32_t st = ctx_->device_control(load_le32(p), p + 4, req.payload_length - 4);
      publish();
      respond(DEVICE_CONTROL, req.tag, st, 0);
      return;
    }
    case DEVICE_ATTACH: attach(req.tag); return;
    case DEVICE_CANCEL:
      for (auto& r : reads_)
        if (ctx_->read_pending() && r.tag == req.tag && ctx_->device_cancel(&r)) break;
      return;
    case DEVICE_QUERY_INFORMATION: {
      uint8_t value[256];
      uint32_t len = std::min<uint32_t>(load_le32(p + 4), sizeof value);
      uint32_t written = 0, needed = 0;
      absorb_counters();
      uint32_t st = ctx_->query_information(load_le32(p), value, len, &written, &needed);
      if (st == NDIS_STATUS_INVALID_LENGTH) {
        uint8_t n4[4];
        store_le32(n4, needed);
        respond(req.kind, req.tag, st, 0, n4, 4);
      } else {
        respond(req.kind, req.tag, st, written, value, st == NDIS_STATUS_SUCCESS ? written : 0);
      }
      return;
    }
    case DEVICE_SET_INFORMATION: {
      uint32_t read = 0, needed = 0;
      uint32_t st = ctx_->set_information(load_le32(p), p + 4, uint32_t(req.payload_length - 4), &read, &needed);
      publish();
      if (st == NDIS_STATUS_INVALID_LENGTH || st == NDIS_STATUS_MULTICAST_FULL) {
        uint8_t n4[4];
        store_le32(n4, needed);
        respond(req.kind, req.tag, st, read, n4, 4);
      } else {
        respond(req.kind, req.tag, st, read);
      }
      return;
    }
  }
}

void HostAdapter::attach(uint32_t tag) {
  if (attached_ || !shared_ || !tap_.is_open()) {
    respond(DEVICE_ATTACH, tag, STATUS_UNSUCCESSFUL, 0);
    return;
  }
  uint8_t msg[DEVICE_RESPONSE_HEADER];
  encode_device_response_header(msg, DEVICE_ATTACH, tag, STATUS_SUCCESS, uint32_t(SHARED_BLOCK_SIZE));
  int fds[2] = {tap_.fd(), shared_fd_};
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
  struct iovec iov {
    msg, sizeof msg
  };
  struct msghdr mh {};
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  mh.msg_control = control;
  mh.msg_controllen = sizeof control;
  struct cmsghdr* c = CMSG_FIRSTHDR(&mh);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof fds);
  std::memcpy(CMSG_DATA(c), fds, sizeof fds);
  // Nothing waits in the outbox here (requests are taken only when it is
  // empty), so the answer with its descriptors goes out first or not at all.
  if (::sendmsg(conn_fd_, &mh, MSG_NOSIGNAL | MSG_DONTWAIT) != ssize_t(sizeof msg)) {
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      respond(DEVICE_ATTACH, tag, STATUS_INSUFFICIENT_RESOURCES, 0);
    else
      conn_broken_ = true;
    return;
  }
  attached_ = true;
  absorbed_ = shared_block_counters(*shared_);
  // Frames queued for a read request, and a super frame half cut, are the
  // host's: they are dropped, as at a close, and the slots come back.
  cutting_ = false;
  ctx_->drop_queue();
  update_tap_interest();
  publish();
}

// ---- host ------------------------------------------------------------------------

Host::Host() {
  service_key_ = std::make_unique<RegistryKeyStore>(registry_, kServiceKey);
  driver_ = std::make_unique<MiniportDriver>(*service_key_);
}

Host::~Host() {
  halt_all();
  for (int fd : {epoll_fd_, signal_fd_, tick_fd_})
    if (fd >= 0) ::close(fd);
  // Removed under the lock, so a host starting now finds either our locked
  // file or none at all.
  if (pid_fd_ >= 0) {
    ::unlink(pid_path_.c_str());
    ::close(pid_fd_);
  }
}

bool Host::take_pid_file(const std::string& path) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
      std::fprintf(stderr, "vlncard: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
      return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      char pid[16] = {};
      ssize_t n = ::pread(fd, pid, sizeof pid - 1, 0);
      std::string who = n > 0 ? std::string(pid, size_t(n)) : std::string();
      while (!who.empty() && (who.back() == '\n' || who.back() == ' ')) who.pop_back();
      std::fprintf(stderr, "vlncard: another host%s already serves this root (%s)\n",
                   who.empty() ? "" : (" (pid " + who + ")").c_str(), path.c_str());
      ::close(fd);
      return false;
    }
    // The file may have been removed by the host that held it just before
    // we got the lock: only the file still under the name counts.
    struct stat held, named;
    if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      if (!S_ISREG(held.st_mode) || ::fchmod(fd, 0644) != 0 || ::ftruncate(fd, 0) != 0) {
        std::fprintf(stderr, "vlncard: unusable pid file %s\n", path.c_str());
        ::close(fd);
        return false;
      }
      pid_fd_ = fd;
      pid_path_ = path;
      return true;
    }
    ::close(fd);
  }
  std::fprintf(stderr, "vlncard: cannot take %s\n", path.c_str());
  return false;
}

void Host::watch(int fd, uint32_t events, HostAdapter* owner, Role role) {
  watched_[fd] = {owner, role};
  struct epoll_event ev {};
  ev.events = events;
  ev.data.fd = fd;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
}

void Host::modify(int fd, uint32_t events) {
  struct epoll_event ev {};
  ev.events = events;
  ev.data.fd = fd;
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &ev);
}

void Host::unwatch(int fd) {
  watched_.erase(fd);
  ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
}

void Host::rescan() {
  std::map<std::string, bool> present;
  for (const auto& sub : registry_.sub_keys(kClassKey)) {
    std::string key = std::string(kClassKey) + "\\" + sub;
    auto comp = registry_.get_sz(key, "ComponentId");
    if (comp && *comp == VLN_COMPONENT_ID) present[key] = true;
    if (!comp && !registry_.last_error().empty() && !adapters_.count(key))
      log("instance %s not started: %s", key, registry_.last_error());
  }
  for (auto it = adapters_.begin(); it != adapters_.end();) {
    if (!present.count(it->first)) {
      it->second->halt();
      it = adapters_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& [key, _] : present) {
    if (auto it = adapters_.find(key); it != adapters_.end()) {
      it->second->reload_metric();
      continue;
    }
    auto a = std::make_unique<HostAdapter>(*this, key);
    if (a->start()) adapters_[key] = std::move(a);
  }
}

void Host::halt_all() {
  for (auto& [k, a] : adapters_) a->halt();
  adapters_.clear();
}

void Host::on_netlink() {
  int err = netlink_.receive([this](const nlmsghdr* h) { on_netlink_message(h); });
  // Reports were lost: the filters are read again now rather than at the
  // next tick.
  if (err == ENOBUFS) {
    for (auto& [k, a] : adapters_) a->on_link_change(nullptr, 0);
  } else if (err != 0) {
    std::fprintf(stderr, "vlncard: interface reports: %s\n", netlink::error_text(err));
  }
}

void Host::on_netlink_message(const nlmsghdr* h) {
  if (h->nlmsg_type == kNewMulticast || h->nlmsg_type == kDelMulticast) {
    if (const auto* ifa = netlink::fixed_part<ifaddrmsg>(h)) {
      for (auto& [k, a] : adapters_)
        if (a->tap_ifindex() == int(ifa->ifa_index)) a->on_link_change(nullptr, 0);
    }
    return;
  }
  if (h->nlmsg_type == RTM_NEWADDR || h->nlmsg_type == RTM_NEWROUTE) {
    for (auto& [k, a] : adapters_) a->on_route_change(h);
    return;
  }
  if (h->nlmsg_type != RTM_NEWLINK && h->nlmsg_type != RTM_DELLINK) return;
  const auto* ifi = netlink::fixed_part<ifinfomsg>(h);
  if (!ifi) return;
  const uint8_t* mac = nullptr;
  uint32_t mtu = 0;
  netlink::for_each_attr(h, sizeof(ifinfomsg), [&](const nlattr* a) {
    if (mnl_attr_get_type(a) == IFLA_ADDRESS && mnl_attr_get_payload_len(a) == VLN_MAC_LENGTH)
      mac = static_cast<const uint8_t*>(mnl_attr_get_payload(a));
    else if (mnl_attr_get_type(a) == IFLA_MTU)
      netlink::attr_u32(a, &mtu);
  });
  for (auto& [k, a] : adapters_) {
    if (a->tap_ifindex() != ifi->ifi_index) continue;
    if (h->nlmsg_type == RTM_DELLINK)
      a->tap_vanished();
    else
      a->on_link_change(mac, mtu);
  }
}

int Host::run() {
  epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGHUP);
  sigprocmask(SIG_BLOCK, &mask, nullptr);
  signal_fd_ = ::signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
  ::signal(SIGPIPE, SIG_IGN);
  int nl_err = netlink_.open(true);
  for (unsigned group : {RTNLGRP_LINK, RTNLGRP_IPV4_IFADDR, RTNLGRP_IPV6_IFADDR, RTNLGRP_IPV4_ROUTE})
    if (nl_err == 0) nl_err = netlink_.subscribe(group);
  if (nl_err != 0) {
    std::fprintf(stderr, "vlncard: no interface reports: %s\n", netlink::error_text(nl_err));
    netlink_.close();
  }
  // A group joined is in the receive filter at once, not at the next tick;
  // the tick stays for link-layer memberships, which the kernel reports nowhere.
  // An older kernel without these groups refuses them and reports none.
  for (unsigned group : {kIpv4McaddrGroup, kIpv6McaddrGroup})
    if (netlink_.is_open()) netlink_.subscribe(group);
  tick_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  struct itimerspec its {
    {1, 0}, { 1, 0 }
  };
  ::timerfd_settime(tick_fd_, 0, &its, nullptr);
  if (epoll_fd_ < 0 || signal_fd_ < 0 || tick_fd_ < 0) {
    std::perror("vlncard: event loop");
    return 1;
  }
  for (int fd : {signal_fd_, netlink_.fd(), tick_fd_}) {
    if (fd < 0) continue;
    struct epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev);
  }

  std::string run_dir = roots::root() + "/run/velarn";
  roots::make_dirs(run_dir);
  if (!take_pid_file(run_dir + "/vlncard.pid")) return 1;
  rescan();
  // The pid appears once the adapters are up, so whoever waits for it finds
  // them ready.
  std::string text = std::to_string(::getpid()) + "\n";
  if (::pwrite(pid_fd_, text.data(), text.size(), 0) != ssize_t(text.size())) std::perror("vlncard: pid file");

  struct epoll_event events[32];
  for (;;) {
    bool due = false;
    for (auto& [k, a] : adapters_) due |= a->timer_due();
    int n = ::epoll_wait(epoll_fd_, events, 32, due ? 0 : -1);
    if (n < 0 && errno != EINTR) {
      std::perror("vlncard: epoll_wait");
      return 1;
    }
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == signal_fd_) {
        struct signalfd_siginfo si;
        while (::read(signal_fd_, &si, sizeof si) == sizeof si) {
          if (si.ssi_signo == SIGHUP) {
            rescan();
          } else {
            halt_all();
            return 0;
          }
        }
        continue;
      }
      if (fd == netlink_.fd()) {
        on_netlink();
        continue;
      }
      if (fd == tick_fd_) {
        uint64_t ticks;
        while (::read(tick_fd_, &ticks, sizeof ticks) > 0) {
        }
        for (auto& [k, a] : adapters_) a->on_tick();
        continue;
      }
      auto it = watched_.find(fd);
      if (it == watched_.end()) continue;  // closed earlier in this turn
      auto [a, role] = it->second;
      switch (role) {
        case Role::tap:
          if (events[i].events & (EPOLLERR | EPOLLHUP))
            a->tap_vanished();
          else
            a->on_tap_readable();
          break;
        case Role::listen: a->on_listen_readable(); break;
        case Role::conn: a->on_conn_event(); break;
      }
    }
    for (auto& [k, a] : adapters_) {
      a->run_timer();
      a->finish_turn();
    }
  }
}

}  // namespace velarn::vlncard
