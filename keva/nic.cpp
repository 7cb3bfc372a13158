#include "nic.h"

#include <apr_strings.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "adapter/control.h"
#include "adapter/device_protocol.h"
#include "adapter/status.h"
#include "address.h"
#include "driver/core/fast_path.h"
#include "log.h"
#include "platform/device_handle.h"
#include "platform/interface_port.h"
#include "platform/local_pipe.h"
#include "platform/network_info.h"
#include "platform/registry.h"
#include "trace.h"

using velarn::DeviceHandle;
using velarn::InterfacePort;
using velarn::vlncard::FastPath;
using velarn::vlncard::FrameIo;
using velarn::vlncard::SharedAdapterBlock;

static_assert(InterfacePort::kNone == FrameIo::kNone && InterfacePort::kGone == FrameIo::kGone &&
              InterfacePort::kDropped == FrameIo::kDropped);

// The adapter's interface as the data path's frame source and sink.
class PortIo final : public FrameIo {
 public:
  explicit PortIo(InterfacePort& port) : port_(port) {}
  long read_frame(uint8_t* out, size_t cap) override { return port_.read_frame(out, cap); }
  size_t waiting_length() const override { return port_.waiting_length(); }
  bool write_frame(const uint8_t* frame, size_t length) override { return port_.write_frame(frame, length); }

 private:
  InterfacePort& port_;
};

struct NicState {
  std::unique_ptr<DeviceHandle> handle;
  // The data path in this process, when the driver handed it over: the
  // device thread reads the interface and the remote thread writes it, with
  // no other process woken for a frame.
  std::unique_ptr<InterfacePort> port;
  std::unique_ptr<PortIo> io;
  std::unique_ptr<FastPath> fast;
  bool fast_pending = false;  // a read traced as pending and not yet done
  std::atomic<bool> abort{false};
  velarn::WaitEvent monitor_stop;
  std::thread monitor;
};

const DeviceOps nic_ops = {nic_create, nic_open, nic_close, nic_reset, nic_read, nic_abort, nic_write};

namespace {

const char kClassKey[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";

// The errors a driver status stands for, in the system's own terms.
int status_errno(uint32_t st) {
  switch (st) {
    case velarn::STATUS_CANCELLED: return ECANCELED;
    case velarn::STATUS_BUFFER_TOO_SMALL: return ENOBUFS;
    case velarn::STATUS_UNSUCCESSFUL: return EBUSY;
    case velarn::STATUS_INVALID_PARAMETER: return EINVAL;
    case velarn::STATUS_DELETE_PENDING: return ENODEV;
    case velarn::STATUS_INSUFFICIENT_RESOURCES: return ENOMEM;
    case velarn::STATUS_INVALID_BUFFER_SIZE: return EMSGSIZE;
    default: return EIO;
  }
}

void trace_nic(Device* dev, const char* fmt, const char* what, long arg, const char* result) {
  if (trace_is_on()) trace_printf(nullptr, dev->name, fmt, what, arg, result);
}

const char* result_ok(char* buf, size_t n, size_t size) {
  apr_snprintf(buf, n, "1 (size=%d)", static_cast<int>(size));
  return buf;
}

const char* result_err(char* buf, size_t n, int err) {
  if (err == ECANCELED) return "0 ERROR_OPERATION_ABORTED";
  apr_snprintf(buf, n, "0 (error=%d)", err);
  return buf;
}

// Sends one control; logs and gives false on failure.
bool send_control(NicState* st, uint32_t code, const char* name, const void* data, size_t len) {
  uint32_t status = st->handle->control(code, data, len);
  if (status == velarn::STATUS_SUCCESS) return true;
  char err[128];
  apr_strerror(APR_FROM_OS_ERROR(status_errno(status)), err, sizeof err);
  log_debug("%s: %s", name, err);
  return false;
}

bool send_list(NicState* st, uint32_t code, const char* name, PtrList* list) {
  if (!list || list->count == 0) return true;
  std::string packed;
  packed.reserve(6 * static_cast<size_t>(list->count));
  for (int i = 0; i < list->count; ++i) {
    auto* mac = static_cast<const unsigned char*>(ptrlist_get(list, i));
    packed.append(reinterpret_cast<const char*>(mac), 6);
    if (trace_is_on()) {
      char text[18];
      trace_printf(nullptr, nullptr, "%s: %s", name, mac_text(mac, text));
    }
  }
  return send_control(st, code, name, packed.data(), packed.size());
}

// Asks the driver for the data path. A driver that keeps it leaves the read
// and write requests in use; one that hands over what this side cannot use
// fails the open, since it no longer serves the frames itself.
bool take_data_path(NicState* st) {
  velarn::NativeHandle tap = velarn::kNoHandle, block = velarn::kNoHandle;
  size_t size = 0;
  uint32_t status = 0;
  if (!st->handle->attach(&tap, &block, &size, &status)) {
    log_apr_error("DeviceIoControl", APR_FROM_OS_ERROR(errno));
    return false;
  }
  if (status != velarn::STATUS_SUCCESS) {
    log_debug("the adapter keeps its data path (status 0x%x)", static_cast<unsigned>(status));
    return true;
  }
  st->port = InterfacePort::adopt(tap, block, size, st->handle->connection());
  auto* shared = st->port ? static_cast<SharedAdapterBlock*>(st->port->block()) : nullptr;
  if (!shared || size < sizeof(SharedAdapterBlock) || !velarn::vlncard::shared_block_valid(*shared)) {
    log_apr_error("MapViewOfFile", APR_FROM_OS_ERROR(st->port ? EPROTO : errno));
    st->port.reset();
    return false;
  }
  st->port->set_vnet(shared->vnet != 0);
  st->io = std::make_unique<PortIo>(*st->port);
  st->fast = std::make_unique<FastPath>(*shared, *st->io);
  log_debug("frames go straight to and from the adapter's interface");
  return true;
}

void drop_data_path(NicState* st) {
  st->fast_pending = false;
  st->fast.reset();
  st->io.reset();
  st->port.reset();
}

apr_status_t nic_cleanup(void* data) {
  auto* dev = static_cast<Device*>(data);
  auto* st = static_cast<NicState*>(dev->state);
  if (!st) return APR_SUCCESS;
  nic_close(dev);
  st->monitor_stop.set();
  if (st->monitor.joinable()) st->monitor.join();
  delete st;
  dev->state = nullptr;
  return APR_SUCCESS;
}

// Given the state itself: the creator stores dev->state again after this
// thread has started.
void devwin_monitor_main(NicState* st) {
  trace_thread_start("devwin_monitor_main");
  velarn::AddressMonitor monitor;
  if (!monitor.valid()) {
    log_apr_error("NotifyAddrChange", APR_FROM_OS_ERROR(errno));
  } else {
    while (monitor.wait(st->monitor_stop.handle())) {
      log_debug("IP address table changed:");
      dump_network_params();
      dump_adapters();
      dump_routes();
    }
    if (errno != 0 && !st->monitor_stop.is_set()) log_apr_error("NotifyAddrChange", APR_FROM_OS_ERROR(errno));
  }
  trace_thread_exit("devwin_monitor_main");
}

}  // namespace

int adapter_find(const char* component_id, char* out, size_t size) {
  velarn::Registry reg;
  if (!reg.key_exists(kClassKey)) {
    log_apr_error(kClassKey, APR_FROM_OS_ERROR(ENOENT));
    return -1;
  }
  for (const std::string& sub : reg.sub_keys(kClassKey)) {
    if (sub == "Properties") continue;
    std::string path = std::string(kClassKey) + "\\" + sub;
    auto id = reg.get(path, "ComponentId");
    if (!id || id->type != velarn::RegType::Sz || id->sz != component_id) continue;
    auto inst = reg.get(path, "NetCfgInstanceId");
    if (!inst || inst->type != velarn::RegType::Sz) continue;
    if (size > 0) apr_cpystrn(out, inst->sz.c_str(), size);
    return 1;
  }
  log_error("no interface available");
  return 0;
}

void* nic_create(Device* dev) {
  auto* st = new NicState();
  dev->state = st;
  apr_pool_cleanup_register(dev->pool, dev, nic_cleanup, apr_pool_cleanup_null);
  dump_network_params();
  dump_adapters();
  dump_routes();
  try {
    st->monitor = std::thread(devwin_monitor_main, st);
  } catch (...) {
    log_error("devwin_monitor_main: cannot start thread");
  }
  return st;
}

int nic_open(Device* dev) {
  auto* st = static_cast<NicState*>(dev->state);
  char id[1024];
  if (adapter_find(std::string(velarn::VLN_COMPONENT_ID).c_str(), id, sizeof id) != 1) return -1;
  log_debug("opening adapter: %s", id);
  std::string path = velarn::vln_open_path(id);
  uint32_t status = 0;
  st->handle = DeviceHandle::open(path, &status);
  if (!st->handle) {
    int err = status ? status_errno(status) : errno;
    char text[128];
    apr_strerror(APR_FROM_OS_ERROR(err), text, sizeof text);
    log_debug("%s: %s", "CreateFile", text);
    return -1;
  }
  bool ok = true;
  if (dev->forward_filter) {
    log_debug("enabling forward filter");
    uint32_t one = 1;
    ok = send_control(st, velarn::VLN_IOCTL_SET_FORWARD_FILTER, "VLN_IOCTL_SET_FORWARD_FILTER", &one, 4);
  }
  if (ok && dev->allow) {
    log_debug("setting MAC allow list");
    ok = send_list(st, velarn::VLN_IOCTL_SET_MAC_ALLOW, "VLN_IOCTL_SET_MAC_ALLOW", dev->allow);
  }
  if (ok && dev->deny) {
    log_debug("setting MAC deny list");
    ok = send_list(st, velarn::VLN_IOCTL_SET_MAC_DENY, "VLN_IOCTL_SET_MAC_DENY", dev->deny);
  }
  if (ok) {
    uint32_t connected = 1;
    ok = send_control(st, velarn::VLN_IOCTL_SET_MEDIA_STATUS, "VLN_IOCTL_SET_MEDIA_STATUS", &connected, 4);
  }
  if (ok) ok = take_data_path(st);
  if (!ok) {
    drop_data_path(st);
    st->handle.reset();
    return -1;
  }
  address_up(dev->address, id);
  return 0;
}

void nic_close(Device* dev) {
  auto* st = static_cast<NicState*>(dev->state);
  if (!st || !st->handle) return;
  address_down(dev->address);
  // The interface goes back first: the driver takes the data path again when
  // the handle closes.
  drop_data_path(st);
  st->handle.reset();
  if (trace_is_on()) trace_printf(nullptr, dev->name, "CloseHandle() = %d", 1);
}

int nic_reset(Device* dev) {
  auto* st = static_cast<NicState*>(dev->state);
  st->abort = false;
  if (st->handle) st->handle->clear_wake();
  if (st->port) st->port->clear_wake();
  return 0;
}

namespace {

int fast_read(Device* dev, NicState* st, unsigned char* buf, size_t* len, int timeout_seconds) {
  char rbuf[64];
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  for (;;) {
    if (st->abort.load()) return 0;
    long got = st->fast->read_batch(buf, *len);
    if (got > 0) {
      // The trace reads as the read request's would: pending, then done.
      if (st->fast_pending && trace_is_on())
        trace_printf(nullptr, dev->name, "GetOverlappedResult() = %s", result_ok(rbuf, sizeof rbuf, size_t(got)));
      else
        trace_nic(dev, "%s(%d) = %s", "ReadFile", static_cast<long>(*len), result_ok(rbuf, sizeof rbuf, size_t(got)));
      st->fast_pending = false;
      velarn::store_be16(buf + 1, static_cast<uint16_t>(got - 4));
      *len = size_t(got);
      return 1;
    }
    if (got < 0) {
      st->fast_pending = false;
      log_apr_error("ReadFile", APR_FROM_OS_ERROR(errno ? errno : EIO));
      return -1;
    }
    if (!st->fast_pending) {
      trace_nic(dev, "%s(%d) = %s", "ReadFile", static_cast<long>(*len), "0 ERROR_IO_PENDING");
      st->fast_pending = true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    InterfacePort::WaitResult w = st->port->wait(static_cast<int>(left.count()));
    if (w == InterfacePort::kTimeout || w == InterfacePort::kWoken) return 0;
    if (w == InterfacePort::kFailed) {
      log_apr_error("WaitForSingleObject", APR_FROM_OS_ERROR(errno));
      return -1;
    }
  }
}

}  // namespace

int nic_read(Device* dev, unsigned char* buf, size_t* len, int timeout_seconds) {
  auto* st = static_cast<NicState*>(dev->state);
  DeviceHandle* h = st->handle.get();
  char rbuf[64];
  if (!h) {
    log_apr_error("ReadFile", APR_FROM_OS_ERROR(EBADF));
    return -1;
  }
  if (st->fast) return fast_read(dev, st, buf, len, timeout_seconds);
  if (!h->read_pending()) {
    if (!h->start_read(buf, *len)) {
      int err = errno;
      trace_nic(dev, "%s(%d) = %s", "ReadFile", static_cast<long>(*len), result_err(rbuf, sizeof rbuf, err));
      log_apr_error("ReadFile", APR_FROM_OS_ERROR(err));
      return -1;
    }
    trace_nic(dev, "%s(%d) = %s", "ReadFile", static_cast<long>(*len), "0 ERROR_IO_PENDING");
  }
  DeviceHandle::WaitResult w = h->wait_read(timeout_seconds * 1000);
  if (st->abort.load()) return 0;
  if (w == DeviceHandle::kTimeout || w == DeviceHandle::kWoken) return 0;
  if (w == DeviceHandle::kFailed) {
    h->finish_read();
    log_apr_error("WaitForSingleObject", APR_FROM_OS_ERROR(errno));
    return -1;
  }
  h->finish_read();
  uint32_t status = h->read_status();
  size_t got = h->read_bytes();
  if (status != velarn::STATUS_SUCCESS || got == 0) {
    int err = status != velarn::STATUS_SUCCESS ? status_errno(status) : 0;
    if (trace_is_on())
      trace_printf(nullptr, dev->name, "GetOverlappedResult() = %s", result_err(rbuf, sizeof rbuf, err));
    log_apr_error("ReadFile", APR_FROM_OS_ERROR(err));
    return -1;
  }
  if (trace_is_on()) trace_printf(nullptr, dev->name, "GetOverlappedResult() = %s", result_ok(rbuf, sizeof rbuf, got));
  velarn::store_be16(buf + 1, static_cast<uint16_t>(got - 4));
  *len = got;
  return 1;
}

void nic_abort(Device* dev) {
  auto* st = static_cast<NicState*>(dev->state);
  st->abort = true;
  if (st->handle) st->handle->wake();
  if (st->port) st->port->wake();
}

int nic_write(Device* dev, const unsigned char* batch, size_t* len) {
  auto* st = static_cast<NicState*>(dev->state);
  char rbuf[64];
  uint32_t status = 0, written = 0;
  int err = 0;
  if (!st->handle) {
    err = EBADF;
  } else if (st->fast) {
    status = st->fast->write_batch(batch, *len, &written);
    if (status != velarn::STATUS_SUCCESS) err = status_errno(status);
  } else if (!st->handle->write(batch, *len, &status, &written)) {
    err = errno;
  } else if (status != velarn::STATUS_SUCCESS) {
    err = status_errno(status);
  }
  if (err) {
    trace_nic(dev, "%s(%d) = %s", "WriteFile", static_cast<long>(*len), result_err(rbuf, sizeof rbuf, err));
    log_apr_error("WriteFile", APR_FROM_OS_ERROR(err));
    return -1;
  }
  trace_nic(dev, "%s(%d) = %s", "WriteFile", static_cast<long>(*len), result_ok(rbuf, sizeof rbuf, written));
  *len = written;
  return 1;
}

// --- network dumps ----------------------------------------------------------------

void dump_network_params(void) {
  velarn::NetworkParams p;
  if (!velarn::get_network_params(p)) {
    log_apr_error("GetNetworkParams", APR_FROM_OS_ERROR(errno));
    return;
  }
  static const CodeName kNodeTypes[] = {{1, "BROADCAST_NODETYPE"},
                                        {2, "PEER_TO_PEER_NODETYPE"},
                                        {4, "MIXED_NODETYPE"},
                                        {8, "HYBRID_NODETYPE"},
                                        {0, nullptr}};
  log_debug("Network Parameters:");
  log_debug("  Host Name: %s", p.host_name.c_str());
  if (!p.domain_name.empty()) log_debug("  Domain Name: %s", p.domain_name.c_str());
  log_debug("  DNS Servers:");
  for (const auto& s : p.dns_servers) log_debug("    %s", s.c_str());
  log_debug("  Node Type: %s", codename_name(kNodeTypes, static_cast<int>(p.node_type)));
  if (!p.dhcp_scope.empty()) log_debug("  DHCP Scope: %s", p.dhcp_scope.c_str());
  if (p.enable_routing) log_debug("  Enable Routing: yes");
  if (p.enable_proxy) log_debug("  Enable Proxy: yes");
  if (p.enable_dns) log_debug("  Enable DNS: yes");
}

void dump_adapters(void) {
  std::vector<velarn::AdapterInfo> list;
  if (!velarn::get_adapters(list)) {
    log_apr_error("GetAdaptersInfo", APR_FROM_OS_ERROR(errno));
    return;
  }
  for (const auto& a : list) {
    char mac[18];
    log_debug("Adapter #%d %s:", static_cast<int>(a.index), a.description.c_str());
    log_debug(" MAC Address: %s", mac_text(a.mac, mac));
    log_debug(" IP Address: %s", a.ip_address.c_str());
    log_debug(" IP Mask: %s", a.ip_mask.c_str());
    if (!a.gateway.empty()) log_debug(" Gateway: %s", a.gateway.c_str());
    if (a.dhcp_enabled) log_debug(" DHCP Server: %s", a.dhcp_server.c_str());
    if (a.have_wins) {
      log_debug(" Primary WINS Server: %s", a.primary_wins.c_str());
      log_debug(" Secondary WINS Server: %s", a.secondary_wins.c_str());
    }
  }
}

void dump_routes(void) {
  std::vector<velarn::RouteRow> rows;
  if (!velarn::get_ipv4_routes(rows)) {
    log_apr_error("GetIpForwardTable", APR_FROM_OS_ERROR(errno));
    return;
  }
  log_debug("Network Destination        Netmask          Gateway  Interface  Metric");
  for (const auto& r : rows) {
    struct in_addr d {
      r.destination
    }, m{r.mask}, g{r.next_hop};
    if (r.direct)
      log_debug(" %16pA %16pA %16s %10d %7d", &d, &m, "--", static_cast<int>(r.if_index), r.metric);
    else
      log_debug(" %16pA %16pA %16pA %10d %7d", &d, &m, &g, static_cast<int>(r.if_index), r.metric);
  }
}
