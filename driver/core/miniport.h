// The vlncard miniport core: one AdapterContext per adapter instance, with
// its parameters, MAC pool entry, outgoing filter, send queue and pending
// read, batch building, write parsing, receive filter, information requests
// and media state. It is portable: everything it needs from the system
// (indicating frames, media state, the deferred-read timer, configuration
// storage) comes through the small interfaces below.
//
// The core is not internally locked: its host calls it from one thread (the
// Linux host is a single event loop), which also makes the cancel and
// deferred-read hand-offs plain.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adapter/adapter.h"
#include "adapter/shared_block.h"

namespace velarn::vlncard {

using velarn::FilterState;
using velarn::MacAddress;
using velarn::MacList;

// Default parameters.
inline constexpr uint32_t DEFAULT_MTU = 1500;
inline constexpr uint32_t DEFAULT_LINK_SPEED = 1000000;  // 100 Mbit/s in units of 100 bit/s
inline constexpr uint32_t DEFAULT_RECEIVE_LENGTH = 128;
// MTUs outside this range are not usable (a frame must fit a 16-bit record
// length) and keep the default.
inline constexpr uint32_t MIN_MTU = 46;
inline constexpr uint32_t MAX_MTU = FRAME_MAX_RECORD_LENGTH - FRAME_MIN_LENGTH;
// The MAC pool is scanned at most this far; entry names keep three digits.
inline constexpr uint32_t MAC_POOL_LIMIT = 1000;

// Registry-like storage of one key: the adapter's configuration or the
// driver's service key. Integers may be stored as numbers or decimal text.
class KeyStore {
 public:
  virtual ~KeyStore() = default;
  virtual std::optional<std::string> get_string(const std::string& name) = 0;
  virtual std::optional<uint32_t> get_integer(const std::string& name) = 0;
  // Failures are silent: the pool keeps working from what it could read.
  virtual void set_integer(const std::string& name, uint32_t value) = 0;
  virtual void set_string(const std::string& name, const std::string& value) = 0;
};

// A frame handed down by the system for sending. The host owns the memory
// and gets the packet back through MiniportHost::send_complete.
struct OutPacket {
  OutPacket* next = nullptr;  // send-queue link, the core's while queued
  const uint8_t* data = nullptr;
  uint32_t length = 0;
};

// A read request on the control device. The host owns it and its buffer;
// the core fills buffer[0, information) and completes it through
// MiniportHost::read_complete.
struct ReadRequest {
  uint32_t tag = 0;
  uint8_t* buffer = nullptr;
  uint32_t capacity = 0;
  uint32_t status = 0;
  uint32_t information = 0;
};

// A receive indication of one written frame. The frame bytes stay in the
// write buffer (no copy): they are valid only during indicate_receive, and
// the host hands each descriptor back with AdapterContext::return_packet.
struct ReceiveDescriptor {
  ReceiveDescriptor* next = nullptr;
  const uint8_t* data = nullptr;
  uint32_t length = 0;
};

// What the core needs of the system it runs in (NDIS on Windows).
class MiniportHost {
 public:
  virtual ~MiniportHost() = default;
  // The frames of one write, in record order, in one call. Returns how many
  // the system took; the rest count as receive errors, not as received.
  virtual size_t indicate_receive(ReceiveDescriptor* const* packets, size_t count) = 0;
  // NDIS_STATUS_MEDIA_CONNECT or NDIS_STATUS_MEDIA_DISCONNECT (with its
  // status-complete).
  virtual void indicate_status(uint32_t status) = 0;
  virtual void send_complete(OutPacket* packet, uint32_t status) = 0;
  // Every read request ends here exactly once, whether it completed at once
  // or after pending.
  virtual void read_complete(ReadRequest* request) = 0;
  // The deferred-read timer: timer_fired() is to be called after ms
  // milliseconds from a later turn of the host's loop.
  virtual void set_timer(unsigned ms) = 0;
  // True when the timer was pending and will not fire.
  virtual bool cancel_timer() = 0;
};

struct AdapterCounters {
  uint64_t rcv_ok = 0;
  uint64_t xmit_ok = 0;
  uint64_t rcv_error = 0;
  uint64_t xmit_error = 0;
  uint64_t rcv_no_buffer = 0;
};

// True when the outgoing filter queues a frame from this source address.
bool outgoing_accepts(const FilterState& f, const uint8_t* frame, size_t length);
// True when the receive filter lets a frame to this destination through.
bool receive_accepts(const FilterState& f, const uint8_t* frame);

class MiniportDriver;

class AdapterContext {
 public:
  AdapterContext(MiniportDriver& driver, MiniportHost& host);
  ~AdapterContext();
  AdapterContext(const AdapterContext&) = delete;
  AdapterContext& operator=(const AdapterContext&) = delete;

  // Control device requests (the dispatch routine).
  uint32_t device_create();
  uint32_t device_close();
  // STATUS_PENDING when the read waits; otherwise it has been completed.
  uint32_t device_read(ReadRequest* request);
  // Cancels a pending read (the cancel routine); false when it is not
  // the pending read (already completed, or handed to the timer).
  bool device_cancel(ReadRequest* request);
  uint32_t device_write(const uint8_t* batch, size_t length, uint32_t* information);
  uint32_t device_control(uint32_t code, const uint8_t* input, size_t length);

  // NDIS side.
  void send_packets(OutPacket* const* packets, size_t count);
  void return_packet(ReceiveDescriptor* descriptor);
  void timer_fired();
  uint32_t query_information(uint32_t oid, void* buffer, uint32_t length, uint32_t* written, uint32_t* needed);
  uint32_t set_information(uint32_t oid, const void* buffer, uint32_t length, uint32_t* read, uint32_t* needed);
  uint32_t reset() { return NDIS_STATUS_SUCCESS; }

  // Sets the media state, indicating a change only.
  void set_media_connected(bool connected);
  // The system changed the interface under the adapter: its address (the
  // current-address OID and the receive filter follow) and its MTU (the
  // largest frame follows; an unusable MTU is ignored).
  void follow_interface(const MacAddress& current, uint32_t mtu);
  // A frame the system handed down that the adapter could not take.
  void count_transmit_error() { ++counters_.xmit_error; }

  const std::string& instance_id() const { return instance_id_; }
  uint32_t pool_index() const { return pool_index_; }
  const MacAddress& current_address() const { return filter_.current; }
  const MacAddress& permanent_address() const { return permanent_; }
  uint32_t mtu() const { return mtu_; }
  uint32_t link_speed() const { return link_speed_; }
  uint32_t receive_length() const { return receive_length_; }
  bool delayed_send() const { return delayed_send_ != 0; }
  bool media_connected() const { return media_connected_ != 0; }
  bool device_open() const { return device_open_ != 0; }
  bool halting() const { return halting_ != 0; }
  uint32_t packet_filter() const { return filter_.packet_filter; }
  uint32_t forward_filter() const { return filter_.forward_filter; }
  const MacList& allow_list() const { return filter_.allow; }
  const MacList& deny_list() const { return filter_.deny; }
  const MacList& multicast_list() const { return filter_.multicast; }
  const FilterState& filter() const { return filter_; }
  const AdapterCounters& counters() const { return counters_; }
  // What a caller running the data path itself counted.
  void add_counters(const AdapterCounters& more);
  // Ends the pending read and drops the queued frames, as a close does,
  // without touching the media state: the data path moves to the caller.
  void drop_queue() { flush(); }
  size_t queued_packets() const { return queue_length_; }
  bool read_pending() const { return pending_read_ != nullptr; }
  // Descriptors handed to the host and not yet returned.
  size_t descriptors_in_use() const { return descriptors_in_use_; }
  // The largest frame the adapter accepts: MTU + 14.
  uint32_t max_frame() const { return mtu_ + uint32_t(FRAME_MIN_LENGTH); }

  bool outgoing_accepts(const uint8_t* frame, size_t length) const {
    return vlncard::outgoing_accepts(filter_, frame, length);
  }
  bool receive_accepts(const uint8_t* frame) const { return vlncard::receive_accepts(filter_, frame); }

 private:
  friend class MiniportDriver;
  void build_batch(ReadRequest* request);
  void flush();
  void complete_read(ReadRequest* request, uint32_t status, uint32_t information);
  ReceiveDescriptor* take_descriptor();
  void queue_push_back(OutPacket* p);
  void queue_push_front(OutPacket* p);
  OutPacket* queue_pop_front();

  MiniportDriver& driver_;
  MiniportHost& host_;
  std::string instance_id_;
  uint32_t pool_index_ = 0;
  FilterState filter_;
  MacAddress permanent_{};
  uint32_t mtu_ = DEFAULT_MTU;
  uint32_t link_speed_ = DEFAULT_LINK_SPEED;
  uint32_t receive_length_ = DEFAULT_RECEIVE_LENGTH;
  uint8_t delayed_send_ = 0;
  uint8_t media_connected_ = 0;
  uint8_t device_open_ = 0;
  uint8_t halting_ = 0;
  ReadRequest* pending_read_ = nullptr;
  ReadRequest* deferred_read_ = nullptr;
  OutPacket* queue_head_ = nullptr;
  OutPacket* queue_tail_ = nullptr;
  size_t queue_length_ = 0;
  // Receive descriptors: made lazily up to receive_length_, recycled through
  // the free list, released at destruction.
  ReceiveDescriptor* free_descriptors_ = nullptr;
  std::vector<std::unique_ptr<ReceiveDescriptor>> descriptors_;
  size_t descriptors_in_use_ = 0;
  AdapterCounters counters_;
};

// Driver-wide state: the service key with the MAC pool, and the adapters'
// life cycle. Each adapter's control device serves that adapter only.
class MiniportDriver {
 public:
  explicit MiniportDriver(KeyStore& service_key) : service_(service_key) {}

  // Initialises an adapter from its configuration; on failure *status is
  // the NDIS status and nothing of the adapter remains.
  std::unique_ptr<AdapterContext> initialize(KeyStore& config, MiniportHost& host, uint32_t* status);
  // Halts an adapter: frees its pool entry, flushes its control device and
  // completes what it holds. The context is destroyed by the caller after.
  void halt(AdapterContext& adapter);

  uint32_t cached_pool_size() const { return pool_size_; }

 private:
  bool select_mac(AdapterContext& a, KeyStore& config);
  bool pool_entry_address(uint32_t index, const std::string& instance_id, MacAddress& out);

  KeyStore& service_;
  uint32_t pool_size_ = 0;
};

// "VLN_USE_%03d" and "VLN_MAC_%03d".
std::string pool_use_name(uint32_t index);
std::string pool_mac_name(uint32_t index);
// Hex digit pairs with '-', '.' or ':' between them, stopping at anything
// else; returns how many bytes were filled (the rest stay 0).
size_t parse_mac_text(const std::string& text, MacAddress& out);
// "%02x-%02x-%02x-%02x-%02x-%02x"
std::string format_pool_mac(const MacAddress& mac);
// 12-01 followed by the first eight hex digits after the first '{'.
MacAddress generated_address(const std::string& instance_id);
// A decimal number filling the whole text (registry values stored as text).
std::optional<uint32_t> parse_decimal_u32(const std::string& text);

}  // namespace velarn::vlncard
