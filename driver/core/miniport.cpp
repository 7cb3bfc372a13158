#include "driver/core/miniport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace velarn::vlncard {

namespace {

constexpr uint32_t kSupportedList[] = {
    OID_GEN_SUPPORTED_LIST,
    OID_GEN_HARDWARE_STATUS,
    OID_GEN_MEDIA_SUPPORTED,
    OID_GEN_MEDIA_IN_USE,
    OID_GEN_MAXIMUM_LOOKAHEAD,
    OID_GEN_MAXIMUM_FRAME_SIZE,
    OID_GEN_LINK_SPEED,
    OID_GEN_TRANSMIT_BUFFER_SPACE,
    OID_GEN_RECEIVE_BUFFER_SPACE,
    OID_GEN_TRANSMIT_BLOCK_SIZE,
    OID_GEN_RECEIVE_BLOCK_SIZE,
    OID_GEN_VENDOR_ID,
    OID_GEN_VENDOR_DESCRIPTION,
    OID_GEN_VENDOR_DRIVER_VERSION,
    OID_GEN_CURRENT_PACKET_FILTER,
    OID_GEN_CURRENT_LOOKAHEAD,
    OID_GEN_DRIVER_VERSION,
    OID_GEN_MAXIMUM_TOTAL_SIZE,
    OID_GEN_PROTOCOL_OPTIONS,
    OID_GEN_MAC_OPTIONS,
    OID_GEN_MEDIA_CONNECT_STATUS,
    OID_GEN_MAXIMUM_SEND_PACKETS,
    OID_GEN_XMIT_OK,
    OID_GEN_RCV_OK,
    OID_GEN_XMIT_ERROR,
    OID_GEN_RCV_ERROR,
    OID_GEN_RCV_NO_BUFFER,
    OID_802_3_PERMANENT_ADDRESS,
    OID_802_3_CURRENT_ADDRESS,
    OID_802_3_MULTICAST_LIST,
    OID_802_3_MAXIMUM_LIST_SIZE,
    OID_802_3_MAC_OPTIONS,
    OID_802_3_RCV_ERROR_ALIGNMENT,
    OID_802_3_XMIT_ONE_COLLISION,
    OID_802_3_XMIT_MORE_COLLISIONS,
    OID_PNP_ADD_WAKE_UP_PATTERN,
    OID_PNP_CAPABILITIES,
    OID_PNP_QUERY_POWER,
    OID_PNP_REMOVE_WAKE_UP_PATTERN,
    OID_PNP_SET_POWER,
};
static_assert(sizeof kSupportedList == 160);

constexpr uint32_t kVendorId = 0x00006174;
constexpr uint32_t kVendorDriverVersion = 0x00020003;
constexpr uint16_t kDriverVersion = 0x0500;
constexpr uint32_t kMacOptions = 0x0F;

// Values travel little-endian, as on the system the adapter was made for.
void put_u32(uint8_t* p, uint32_t v) { store_le32(p, v); }
uint32_t get_u32(const uint8_t* p) { return load_le32(p); }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_broadcast(const uint8_t* mac) {
  for (int i = 0; i < 6; ++i)
    if (mac[i] != 0xFF) return false;
  return true;
}

}  // namespace

// ---- helpers ---------------------------------------------------------------

std::string pool_use_name(uint32_t index) {
  char b[32];
  std::snprintf(b, sizeof b, "VLN_USE_%03u", index);
  return b;
}

std::string pool_mac_name(uint32_t index) {
  char b[32];
  std::snprintf(b, sizeof b, "VLN_MAC_%03u", index);
  return b;
}

size_t parse_mac_text(const std::string& text, MacAddress& out) {
  out.fill(0);
  size_t filled = 0, i = 0;
  while (filled < out.size() && i < text.size()) {
    char c = text[i];
    if (c == '-' || c == '.' || c == ':') {
      ++i;
      continue;
    }
    int hi = hex_value(c);
    if (hi < 0 || i + 1 >= text.size()) break;
    int lo = hex_value(text[i + 1]);
    if (lo < 0) break;
    out[filled++] = uint8_t(hi << 4 | lo);
    i += 2;
  }
  return filled;
}

std::string format_pool_mac(const MacAddress& m) {
  char b[18];
  std::snprintf(b, sizeof b, "%02x-%02x-%02x-%02x-%02x-%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
  return b;
}

MacAddress generated_address(const std::string& instance_id) {
  MacAddress m{0x12, 0x01, 0, 0, 0, 0};
  auto brace = instance_id.find('{');
  if (brace == std::string::npos) return m;
  int digits = 0;
  for (size_t i = brace + 1; i < instance_id.size() && digits < 8; ++i) {
    int v = hex_value(instance_id[i]);
    if (v < 0) continue;  // separators
    size_t byte = 2 + digits / 2;
    m[byte] = uint8_t(digits % 2 == 0 ? v << 4 : (m[byte] | v));
    ++digits;
  }
  return m;
}

std::optional<uint32_t> parse_decimal_u32(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + uint64_t(c - '0');
  }
  if (v > 0xFFFFFFFFull) return std::nullopt;
  return uint32_t(v);
}

// ---- driver: initialise, MAC pool, halt ------------------------------------

std::unique_ptr<AdapterContext> MiniportDriver::initialize(KeyStore& config, MiniportHost& host, uint32_t* status) {
  auto a = std::make_unique<AdapterContext>(*this, host);
  auto id = config.get_string("NetCfgInstanceId");
  // The device names are checked before a pool entry is taken, so an
  // instance that can never start does not mark a new entry used at every
  // rescan.
  if (!id || !vln_device_names_valid(*id)) {
    *status = NDIS_STATUS_RESOURCES;
    return nullptr;
  }
  a->instance_id_ = *id;

  if (auto v = config.get_integer("MTU"); v && *v >= MIN_MTU && *v <= MAX_MTU) a->mtu_ = *v;
  a->filter_.max_frame = a->max_frame();
  if (auto v = config.get_integer("LinkSpeed")) {
    static constexpr uint32_t speeds[] = {100000, 1000000, 10000000};
    if (*v < 3) a->link_speed_ = speeds[*v];
  }
  if (auto v = config.get_integer("ReceiveLength")) a->receive_length_ = *v;
  if (auto v = config.get_integer("DelayedSend")) a->delayed_send_ = uint8_t(*v & 0xFF);

  select_mac(*a, config);

  // Media starts disconnected and is reported so.
  host.indicate_status(NDIS_STATUS_MEDIA_DISCONNECT);
  *status = NDIS_STATUS_SUCCESS;
  return a;
}

// The address stored in a pool entry; an entry without a readable address
// gets one generated from this instance and stored, so that it is settled
// from then on.
bool MiniportDriver::pool_entry_address(uint32_t index, const std::string& instance_id, MacAddress& out) {
  if (auto text = service_.get_string(pool_mac_name(index))) {
    parse_mac_text(*text, out);
    return true;
  }
  out = generated_address(instance_id);
  service_.set_string(pool_mac_name(index), format_pool_mac(out));
  return false;
}

bool MiniportDriver::select_mac(AdapterContext& a, KeyStore& config) {
  uint32_t count = service_.get_integer("VLN_CNT").value_or(0);
  pool_size_ = count;
  auto fixed = config.get_integer("VLN_MACINDEX");
  if (fixed && *fixed < MAC_POOL_LIMIT) {
    a.pool_index_ = *fixed;
    pool_entry_address(*fixed, a.instance_id_, a.filter_.current);
    service_.set_integer(pool_use_name(*fixed), 1);
    // An entry beyond the pool's count would otherwise be handed out again
    // (and overwritten) when the pool grows to it.
    if (*fixed >= count) {
      pool_size_ = *fixed + 1;
      service_.set_integer("VLN_CNT", pool_size_);
    }
  } else {
    uint32_t scan = std::min(count, MAC_POOL_LIMIT);
    bool found = false;
    for (uint32_t n = 0; n < scan; ++n) {
      if (service_.get_integer(pool_use_name(n)).value_or(0) != 0) continue;
      a.pool_index_ = n;
      pool_entry_address(n, a.instance_id_, a.filter_.current);
      service_.set_integer(pool_use_name(n), 1);
      found = true;
      break;
    }
    if (!found) {
      a.pool_index_ = count;
      a.filter_.current = generated_address(a.instance_id_);
      service_.set_string(pool_mac_name(count), format_pool_mac(a.filter_.current));
      pool_size_ = count + 1;
      service_.set_integer("VLN_CNT", pool_size_);
      service_.set_integer(pool_use_name(count), 1);
    }
  }
  config.set_integer("VLN_MACINDEX", a.pool_index_);
  a.permanent_ = a.filter_.current;
  // A configured network-address override replaces the current address only.
  if (auto over = config.get_string("NetworkAddress")) {
    MacAddress m;
    std::string digits;
    for (char c : *over)
      if (c != '-' && c != ':' && c != '.') digits += c;
    if (digits.size() == 12 && parse_mac_text(digits, m) == 6) a.filter_.current = m;
  }
  return true;
}

void MiniportDriver::halt(AdapterContext& a) {
  // A deferred read the timer would have served is ended by the flush below,
  // so whether the timer was still pending does not matter here.
  a.host_.cancel_timer();
  service_.set_integer(pool_use_name(a.pool_index_), 0);
  if (!a.halting_) {
    a.halting_ = 1;
    a.flush();
  }
}

// ---- adapter ---------------------------------------------------------------

AdapterContext::AdapterContext(MiniportDriver& driver, MiniportHost& host) : driver_(driver), host_(host) {}

AdapterContext::~AdapterContext() {
  // Packets still queued belong to the host: give them back.
  while (OutPacket* p = queue_pop_front()) host_.send_complete(p, NDIS_STATUS_NO_CABLE);
}

void AdapterContext::queue_push_back(OutPacket* p) {
  p->next = nullptr;
  if (queue_tail_)
    queue_tail_->next = p;
  else
    queue_head_ = p;
  queue_tail_ = p;
  ++queue_length_;
}

void AdapterContext::queue_push_front(OutPacket* p) {
  p->next = queue_head_;
  queue_head_ = p;
  if (!queue_tail_) queue_tail_ = p;
  ++queue_length_;
}

OutPacket* AdapterContext::queue_pop_front() {
  OutPacket* p = queue_head_;
  if (!p) return nullptr;
  queue_head_ = p->next;
  if (!queue_head_) queue_tail_ = nullptr;
  p->next = nullptr;
  --queue_length_;
  return p;
}

bool outgoing_accepts(const FilterState& f, const uint8_t* frame, size_t length) {
  if (!frame || length < FRAME_MIN_LENGTH) return false;
  const uint8_t* src = frame + 6;
  if (f.forward_filter & VLN_FORWARD_OWN_ADDRESS) return std::memcmp(src, f.current.data(), 6) == 0;
  if (f.allow.count) return f.allow.contains(src);
  if (f.deny.count) return !f.deny.contains(src);
  return true;
}

bool receive_accepts(const FilterState& f, const uint8_t* frame) {
  if (f.packet_filter & NDIS_PACKET_TYPE_PROMISCUOUS) return true;
  if (is_broadcast(frame)) return (f.packet_filter & NDIS_PACKET_TYPE_BROADCAST) != 0;
  if (frame[0] & 1) {
    if (f.packet_filter & NDIS_PACKET_TYPE_ALL_MULTICAST) return true;
    return (f.packet_filter & NDIS_PACKET_TYPE_MULTICAST) && f.multicast.contains(frame);
  }
  return (f.packet_filter & NDIS_PACKET_TYPE_DIRECTED) && std::memcmp(frame, f.current.data(), 6) == 0;
}

void AdapterContext::add_counters(const AdapterCounters& more) {
  counters_.rcv_ok += more.rcv_ok;
  counters_.xmit_ok += more.xmit_ok;
  counters_.rcv_error += more.rcv_error;
  counters_.xmit_error += more.xmit_error;
  counters_.rcv_no_buffer += more.rcv_no_buffer;
}

void AdapterContext::set_media_connected(bool connected) {
  uint8_t v = connected ? 1 : 0;
  if (v == media_connected_) return;
  media_connected_ = v;
  host_.indicate_status(connected ? NDIS_STATUS_MEDIA_CONNECT : NDIS_STATUS_MEDIA_DISCONNECT);
}

void AdapterContext::follow_interface(const MacAddress& current, uint32_t mtu) {
  filter_.current = current;
  if (mtu >= MIN_MTU && mtu <= MAX_MTU) mtu_ = mtu;
  filter_.max_frame = max_frame();
}

void AdapterContext::complete_read(ReadRequest* r, uint32_t status, uint32_t information) {
  r->status = status;
  r->information = information;
  host_.read_complete(r);
}

uint32_t AdapterContext::device_create() {
  if (halting_) return STATUS_DELETE_PENDING;
  if (device_open_) return STATUS_UNSUCCESSFUL;
  filter_.forward_filter = 0;
  filter_.allow.count = 0;
  filter_.deny.count = 0;
  device_open_ = 1;
  return STATUS_SUCCESS;
}

uint32_t AdapterContext::device_close() {
  if (halting_) return STATUS_DELETE_PENDING;
  device_open_ = 0;
  flush();
  set_media_connected(false);
  return STATUS_SUCCESS;
}

void AdapterContext::flush() {
  // A read handed to the timer is ended here too: its requester is gone
  // and the queue it would be built from is about to be emptied.
  if (ReadRequest* r = pending_read_) {
    pending_read_ = nullptr;
    complete_read(r, STATUS_CANCELLED, 0);
  }
  if (ReadRequest* r = deferred_read_) {
    deferred_read_ = nullptr;
    host_.cancel_timer();
    complete_read(r, STATUS_CANCELLED, 0);
  }
  while (OutPacket* p = queue_pop_front()) host_.send_complete(p, NDIS_STATUS_NO_CABLE);
}

uint32_t AdapterContext::device_read(ReadRequest* r) {
  if (halting_) {
    complete_read(r, STATUS_DELETE_PENDING, 0);
    return STATUS_DELETE_PENDING;
  }
  if (pending_read_ || deferred_read_) {
    complete_read(r, STATUS_UNSUCCESSFUL, 0);
    return STATUS_UNSUCCESSFUL;
  }
  if (queue_head_) {
    build_batch(r);
    return r->status;
  }
  pending_read_ = r;
  return STATUS_PENDING;
}

bool AdapterContext::device_cancel(ReadRequest* r) {
  if (!r || pending_read_ != r) return false;
  pending_read_ = nullptr;
  complete_read(r, STATUS_CANCELLED, 0);
  return true;
}

void AdapterContext::build_batch(ReadRequest* r) {
  OutPacket* kept[FRAME_BATCH_MAX_READ_FRAMES];
  unsigned n = 0;
  size_t size = FRAME_BATCH_HEADER;
  while (n < FRAME_BATCH_MAX_READ_FRAMES && queue_head_) {
    OutPacket* p = queue_pop_front();
    if (size + FRAME_RECORD_HEADER + p->length > r->capacity) {
      queue_push_front(p);
      break;
    }
    size += FRAME_RECORD_HEADER + p->length;
    kept[n++] = p;
  }
  if (n == 0) {
    complete_read(r, STATUS_BUFFER_TOO_SMALL, 0);
    return;
  }
  if (!r->buffer) {
    for (unsigned i = 0; i < n; ++i) {
      ++counters_.xmit_error;
      host_.send_complete(kept[i], NDIS_STATUS_FAILURE);
    }
    complete_read(r, STATUS_INSUFFICIENT_RESOURCES, 0);
    return;
  }
  uint8_t* out = r->buffer;
  std::memset(out, 0, FRAME_BATCH_HEADER);
  size_t off = FRAME_BATCH_HEADER;
  for (unsigned i = 0; i < n; ++i) {
    OutPacket* p = kept[i];
    store_be16(out + off, uint16_t(p->length));
    std::memcpy(out + off + FRAME_RECORD_HEADER, p->data, p->length);
    off += FRAME_RECORD_HEADER + p->length;
    ++counters_.xmit_ok;
    host_.send_complete(p, NDIS_STATUS_SUCCESS);
  }
  out[0] = uint8_t(n);
  complete_read(r, STATUS_SUCCESS, uint32_t(size));
}

void AdapterContext::send_packets(OutPacket* const* packets, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    OutPacket* p = packets[i];
    if (halting_) {
      host_.send_complete(p, NDIS_STATUS_NO_CABLE);
    } else if (outgoing_accepts(p->data, p->length) && p->length <= FRAME_MAX_RECORD_LENGTH) {
      queue_push_back(p);
    } else {
      ++counters_.xmit_error;
      host_.send_complete(p, NDIS_STATUS_SUCCESS);
    }
  }
  if (!pending_read_ || !queue_head_) return;
  ReadRequest* r = pending_read_;
  pending_read_ = nullptr;
  if (delayed_send_) {
    deferred_read_ = r;
    host_.set_timer(0);
  } else {
    build_batch(r);
  }
}

void AdapterContext::timer_fired() {
  ReadRequest* r = deferred_read_;
  if (!r) return;
  deferred_read_ = nullptr;
  build_batch(r);
}

ReceiveDescriptor* AdapterContext::take_descriptor() {
  ReceiveDescriptor* d = free_descriptors_;
  if (d) {
    free_descriptors_ = d->next;
  } else {
    if (descriptors_.size() >= receive_length_) return nullptr;
    descriptors_.push_back(std::make_unique<ReceiveDescriptor>());
    d = descriptors_.back().get();
  }
  d->next = nullptr;
  ++descriptors_in_use_;
  return d;
}

void AdapterContext::return_packet(ReceiveDescriptor* d) {
  if (!d) return;
  d->data = nullptr;
  d->next = free_descriptors_;
  free_descriptors_ = d;
  --descriptors_in_use_;
}

uint32_t AdapterContext::device_write(const uint8_t* batch, size_t length, uint32_t* information) {
  *information = 0;
  if (halting_) return STATUS_DELETE_PENDING;
  ReceiveDescriptor* taken[FRAME_BATCH_MAX_WRITE_FRAMES];
  size_t n = 0;
  uint32_t status = STATUS_SUCCESS;
  if (!batch && length) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else if (length < FRAME_BATCH_HEADER) {
    status = STATUS_BUFFER_TOO_SMALL;
  } else if (frame_batch_count(batch) > FRAME_BATCH_MAX_WRITE_FRAMES) {
    status = STATUS_INVALID_BUFFER_SIZE;
  } else {
    FrameBatchReader reader(batch, length);
    FrameView f;
    while (reader.next(f)) {
      if (f.length < FRAME_MIN_LENGTH || f.length > max_frame()) {
        ++counters_.rcv_error;
        continue;
      }
      if (!receive_accepts(f.data)) continue;
      ReceiveDescriptor* d = take_descriptor();
      if (!d) {
        ++counters_.rcv_no_buffer;
        continue;
      }
      d->data = f.data;
      d->length = uint32_t(f.length);
      taken[n++] = d;
    }
    if (reader.error() != FrameBatchError::none) status = STATUS_BUFFER_TOO_SMALL;
  }
  if (status != STATUS_SUCCESS) {
    for (size_t i = 0; i < n; ++i) return_packet(taken[i]);
    ++counters_.rcv_error;
    return status;
  }
  size_t took = n ? std::min(host_.indicate_receive(taken, n), n) : 0;
  counters_.rcv_ok += took;
  counters_.rcv_error += n - took;
  *information = uint32_t(std::min<size_t>(length, 0xFFFFFFFFu));
  return STATUS_SUCCESS;
}

uint32_t AdapterContext::device_control(uint32_t code, const uint8_t* input, size_t length) {
  if (halting_) return STATUS_DELETE_PENDING;
  switch (code) {
    case VLN_IOCTL_SET_MEDIA_STATUS:
      if (length != 4) return STATUS_INVALID_PARAMETER;
      set_media_connected(input[0] != 0);
      return STATUS_SUCCESS;
    case VLN_IOCTL_SET_FORWARD_FILTER:
      if (length != 4) return STATUS_INVALID_PARAMETER;
      filter_.forward_filter = load_le32(input);
      return STATUS_SUCCESS;
    case VLN_IOCTL_SET_MAC_ALLOW:
    case VLN_IOCTL_SET_MAC_DENY:
      if (length % VLN_MAC_LENGTH != 0 || length > VLN_MAC_LIST_BYTES) return STATUS_INVALID_PARAMETER;
      (code == VLN_IOCTL_SET_MAC_ALLOW ? filter_.allow : filter_.deny).assign(input, length);
      return STATUS_SUCCESS;
    default: return STATUS_INVALID_PARAMETER;
  }
}

uint32_t AdapterContext::query_information(uint32_t oid, void* buffer, uint32_t length, uint32_t* written,
                                           uint32_t* needed) {
  *written = 0;
  *needed = 0;
  uint8_t scratch[256] = {};
  uint32_t size = 4;
  const uint32_t max_total = max_frame();
  auto counter = [&](uint64_t v) {
    *needed = 8;
    if (length == 4) {
      put_u32(static_cast<uint8_t*>(buffer), uint32_t(v));
      *written = 4;
      return NDIS_STATUS_SUCCESS;
    }
    if (length < 8) return NDIS_STATUS_INVALID_LENGTH;
    put_u32(static_cast<uint8_t*>(buffer), uint32_t(v));
    put_u32(static_cast<uint8_t*>(buffer) + 4, uint32_t(v >> 32));
    *written = 8;
    return NDIS_STATUS_SUCCESS;
  };
  switch (oid) {
    case OID_GEN_SUPPORTED_LIST:
      std::memcpy(scratch, kSupportedList, sizeof kSupportedList);
      size = sizeof kSupportedList;
      break;
    case OID_GEN_HARDWARE_STATUS:
    case OID_GEN_MEDIA_SUPPORTED:
    case OID_GEN_MEDIA_IN_USE:
    case OID_802_3_MAC_OPTIONS:
    case OID_802_3_RCV_ERROR_ALIGNMENT:
    case OID_802_3_XMIT_ONE_COLLISION:
    case OID_802_3_XMIT_MORE_COLLISIONS:
    case OID_PNP_QUERY_POWER: put_u32(scratch, 0); break;
    case OID_GEN_MAXIMUM_LOOKAHEAD:
    case OID_GEN_MAXIMUM_FRAME_SIZE:
    case OID_GEN_CURRENT_LOOKAHEAD: put_u32(scratch, mtu_); break;
    case OID_GEN_LINK_SPEED: put_u32(scratch, link_speed_); break;
    case OID_GEN_TRANSMIT_BUFFER_SPACE:
    case OID_GEN_RECEIVE_BUFFER_SPACE:
    case OID_GEN_TRANSMIT_BLOCK_SIZE:
    case OID_GEN_RECEIVE_BLOCK_SIZE:
    case OID_GEN_MAXIMUM_TOTAL_SIZE: put_u32(scratch, max_total); break;
    case OID_GEN_VENDOR_ID: put_u32(scratch, kVendorId); break;
    case OID_GEN_VENDOR_DESCRIPTION:
      std::memcpy(scratch, VLN_ADAPTER_DESCRIPTION.data(), VLN_ADAPTER_DESCRIPTION.size());
      size = uint32_t(VLN_ADAPTER_DESCRIPTION.size() + 1);
      break;
    case OID_GEN_VENDOR_DRIVER_VERSION: put_u32(scratch, kVendorDriverVersion); break;
    case OID_GEN_CURRENT_PACKET_FILTER: put_u32(scratch, filter_.packet_filter); break;
    case OID_GEN_DRIVER_VERSION:
      scratch[0] = uint8_t(kDriverVersion);
      scratch[1] = uint8_t(kDriverVersion >> 8);
      size = 2;
      break;
    case OID_GEN_MAC_OPTIONS: put_u32(scratch, kMacOptions); break;
    case OID_GEN_MEDIA_CONNECT_STATUS: put_u32(scratch, media_connected_ ? 0 : 1); break;
    case OID_GEN_MAXIMUM_SEND_PACKETS: put_u32(scratch, 1); break;
    case OID_GEN_XMIT_OK: return counter(counters_.xmit_ok);
    case OID_GEN_RCV_OK: return counter(counters_.rcv_ok);
    case OID_GEN_XMIT_ERROR: return counter(counters_.xmit_error);
    case OID_GEN_RCV_ERROR: return counter(counters_.rcv_error);
    case OID_GEN_RCV_NO_BUFFER: return counter(counters_.rcv_no_buffer);
    case OID_802_3_PERMANENT_ADDRESS:
      std::memcpy(scratch, permanent_.data(), 6);
      size = 6;
      break;
    case OID_802_3_CURRENT_ADDRESS:
      std::memcpy(scratch, filter_.current.data(), 6);
      size = 6;
      break;
    case OID_802_3_MULTICAST_LIST:
      size = filter_.multicast.count * uint32_t(VLN_MAC_LENGTH);
      for (uint32_t i = 0; i < filter_.multicast.count; ++i)
        std::memcpy(scratch + 6 * i, filter_.multicast.entries[i].data(), 6);
      break;
    case OID_802_3_MAXIMUM_LIST_SIZE: put_u32(scratch, uint32_t(VLN_MAC_LIST_MAX)); break;
    case OID_PNP_CAPABILITIES: size = 16; break;
    case OID_GEN_SUPPORTED_GUIDS:
    case OID_GEN_MEDIA_CAPABILITIES:
    case OID_GEN_PHYSICAL_MEDIUM:
    case 0x0D010108:
    case OID_TCP_TASK_OFFLOAD:
    case 0xFC010210: return NDIS_STATUS_NOT_SUPPORTED;
    default:
      if (oid >= OID_GEN_DIRECTED_BYTES_XMIT && oid <= OID_GEN_TRANSMIT_QUEUE_LENGTH) return NDIS_STATUS_NOT_SUPPORTED;
      // Unknown, and the set-only requests.
      return NDIS_STATUS_INVALID_OID;
  }
  *needed = size;
  if (length < size) return NDIS_STATUS_INVALID_LENGTH;
  if (size) std::memcpy(buffer, scratch, size);
  *written = size;
  return NDIS_STATUS_SUCCESS;
}

uint32_t AdapterContext::set_information(uint32_t oid, const void* buffer, uint32_t length, uint32_t* read,
                                         uint32_t* needed) {
  *read = 0;
  *needed = 0;
  const uint8_t* in = static_cast<const uint8_t*>(buffer);
  switch (oid) {
    case OID_GEN_CURRENT_PACKET_FILTER:
      if (length != 4) {
        *needed = 4;
        return NDIS_STATUS_INVALID_LENGTH;
      }
      filter_.packet_filter = get_u32(in);
      *read = 4;
      return NDIS_STATUS_SUCCESS;
    case OID_802_3_MULTICAST_LIST:
      *needed = uint32_t(VLN_MAC_LENGTH);
      *read = length;
      if (length % VLN_MAC_LENGTH != 0) return NDIS_STATUS_INVALID_LENGTH;
      if (length > VLN_MAC_LIST_BYTES) {
        *needed = uint32_t(VLN_MAC_LIST_BYTES);
        return NDIS_STATUS_MULTICAST_FULL;
      }
      filter_.multicast.assign(in, length);
      return NDIS_STATUS_SUCCESS;
    case OID_GEN_CURRENT_LOOKAHEAD:
    case OID_GEN_PROTOCOL_OPTIONS:
    case OID_PNP_SET_POWER:
    case OID_PNP_ADD_WAKE_UP_PATTERN:
    case OID_PNP_REMOVE_WAKE_UP_PATTERN: return NDIS_STATUS_SUCCESS;
    case OID_GEN_NETWORK_LAYER_ADDRESSES:
    case OID_GEN_TRANSPORT_HEADER_OFFSET:
    case OID_GEN_MACHINE_NAME: return NDIS_STATUS_NOT_SUPPORTED;
    default: return NDIS_STATUS_INVALID_OID;
  }
}

}  // namespace velarn::vlncard
