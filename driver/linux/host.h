// The vlncard host: runs every adapter instance of the registry as a TAP
// interface with its control-device socket, in one event loop.
#pragma once
#include <deque>
#include <map>
#include <unordered_map>
#include <memory>
#include <string>
#include <vector>

#include "driver/core/fast_path.h"
#include "driver/core/miniport.h"
#include "driver/linux/metric.h"
#include "platform/linux/offload.h"
#include "driver/linux/tap.h"
#include "platform/linux/netlink.h"
#include "platform/registry.h"

namespace velarn::vlncard {

// A key of the registry as the core's KeyStore; integers are accepted as
// REG_DWORD or as decimal REG_SZ.
class RegistryKeyStore : public KeyStore {
 public:
  RegistryKeyStore(Registry& reg, std::string key) : reg_(reg), key_(std::move(key)) {}
  std::optional<std::string> get_string(const std::string& name) override;
  std::optional<uint32_t> get_integer(const std::string& name) override;
  void set_integer(const std::string& name, uint32_t value) override;
  void set_string(const std::string& name, const std::string& value) override;

 private:
  Registry& reg_;
  std::string key_;
};

class Host;

// One adapter instance: the core's context, its TAP interface, its control
// socket and the one client connection.
class HostAdapter : public MiniportHost {
 public:
  HostAdapter(Host& host, std::string key);
  ~HostAdapter() override;

  bool start();
  void halt();

  // MiniportHost
  size_t indicate_receive(ReceiveDescriptor* const* packets, size_t count) override;
  void indicate_status(uint32_t status) override;
  void send_complete(OutPacket* packet, uint32_t status) override;
  void read_complete(ReadRequest* request) override;
  void set_timer(unsigned ms) override;
  bool cancel_timer() override;

  void on_tap_readable();
  void on_listen_readable();
  void on_conn_event();
  void on_conn_readable();
  void on_conn_writable();
  // The kernel reported the interface: its address (nullptr when the report
  // has none) and MTU (0 likewise).
  void on_link_change(const uint8_t* mac, uint32_t mtu);
  void on_tick();
  // An address or route notification: the stored interface metric applies.
  void on_route_change(const nlmsghdr* h);
  // Reads the stored metric again (SIGHUP) and moves the routes to it.
  void reload_metric();
  void run_timer();
  bool timer_due() const { return timer_pending_; }
  void finish_turn();  // closes a connection whose send failed, goes on cutting a super frame

  const std::string& key() const { return key_; }
  int tap_fd() const { return tap_.fd(); }
  int tap_ifindex() const { return tap_.ifindex(); }
  void tap_vanished();

 private:
  void handle_request(const uint8_t* msg, size_t len, bool truncated);
  // Hands the interface and the shared block to the client (DEVICE_ATTACH).
  void attach(uint32_t tag);
  bool make_shared_block();
  // The filter state as the client's data path must apply it.
  void publish();
  // What the client counted since last time goes into the adapter's counters.
  void absorb_counters();
  void respond(uint32_t kind, uint32_t tag, uint32_t status, uint32_t information, const uint8_t* data = nullptr,
               size_t data_len = 0);
  bool send_message(const uint8_t* msg, size_t len);
  void close_connection();
  bool open_tap();
  void update_tap_interest();
  // Frame slots and the read buffer for frames up to slot_size bytes.
  void allocate_frames(size_t slot_size);
  // A larger MTU takes effect once every slot is back.
  void try_resize();
  void refresh_filters();
  // Moves frames into free slots: the rest of a super frame first, then what
  // the interface has. Up to max_frames; the count taken.
  size_t take_frames(OutPacket** taken, size_t max_frames, bool* gone);
  // Checks (and completes) a frame read with its virtio header; false to drop it.
  bool finish_plain_frame(uint8_t* frame, size_t len, const offload::VnetHeader& h);

  Host& host_;
  std::string key_;
  std::string instance_id_;
  std::string socket_path_;
  std::unique_ptr<RegistryKeyStore> config_;
  std::unique_ptr<AdapterContext> ctx_;
  TapDevice tap_;
  bool tap_armed_ = false;
  int listen_fd_ = -1;
  int conn_fd_ = -1;
  bool conn_broken_ = false;
  std::deque<std::vector<uint8_t>> outbox_;  // answers the client has not taken yet
  size_t outbox_bytes_ = 0;
  int outbox_ticks_ = 0;
  bool timer_pending_ = false;
  bool halted_ = false;

  // Outgoing frames live in a fixed pool: no allocation per frame, and a
  // full pool leaves further frames in the kernel's own queue.
  std::unique_ptr<uint8_t[]> slot_memory_;
  std::vector<OutPacket> slots_;
  std::vector<OutPacket*> free_slots_;
  size_t slot_size_ = 0;

  // A read's response is built in place: header, then the batch.
  std::unique_ptr<uint8_t[]> read_buffer_;
  size_t read_buffer_size_ = 0;
  ReadRequest reads_[2];
  bool read_busy_[2] = {false, false};

  // A TCP super frame read whole (its first slot's worth is copied in front
  // of the rest so that it lies in one piece) and being cut into slots.
  std::unique_ptr<uint8_t[]> super_;
  offload::Segmenter segmenter_;
  bool cutting_ = false;
  bool resize_pending_ = false;
  uint64_t dropped_super_ = 0;

  std::unique_ptr<uint8_t[]> recv_buffer_;
  size_t recv_buffer_size_ = 0;
  uint32_t metric_ = 0;  // 0: automatic, the kernel's own

  // The block shared with a client that runs the data path itself; while one
  // does (attached_), this host reads nothing from the interface.
  int shared_fd_ = -1;
  SharedAdapterBlock* shared_ = nullptr;
  bool attached_ = false;
  AdapterCounters absorbed_;
  uint32_t last_filter_ = ~0u;
  std::vector<MacAddress> last_multicast_;
};

class Host {
 public:
  Host();
  ~Host();
  // Runs until SIGTERM (or SIGINT); returns the exit code.
  int run();

  enum class Role { tap, listen, conn };
  void watch(int fd, uint32_t events, HostAdapter* owner, Role role);
  void modify(int fd, uint32_t events);
  void unwatch(int fd);
  Registry& registry() { return registry_; }
  MiniportDriver& driver() { return *driver_; }
  RouteMetric& route_metric() { return route_metric_; }

 private:
  void rescan();
  void halt_all();
  void on_netlink();
  void on_netlink_message(const nlmsghdr* h);
  // One host per root: an exclusive lock on the pid file, held for life.
  bool take_pid_file(const std::string& path);

  Registry registry_;
  std::unique_ptr<RegistryKeyStore> service_key_;
  std::unique_ptr<MiniportDriver> driver_;
  RouteMetric route_metric_;
  std::map<std::string, std::unique_ptr<HostAdapter>> adapters_;  // by class subkey
  int epoll_fd_ = -1;
  int signal_fd_ = -1;
  // Reports of links, addresses, routes and multicast groups.
  netlink::Socket netlink_;
  int tick_fd_ = -1;
  std::string pid_path_;
  int pid_fd_ = -1;
  std::unordered_map<int, std::pair<HostAdapter*, Role>> watched_;
};

}  // namespace velarn::vlncard
