#include "nic.h"

#include <apr_strings.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "adapter/control.h"
#include "adapter/device_protocol.h"
#include "adapter/status.h"
#include "address.h"
#include "log.h"
#include "platform/device_handle.h"
#include "platform/local_pipe.h"
#include "platform/network_info.h"
#include "platform/registry.h"
#include "trace.h"

using velarn::DeviceHandle;

struct NicState {
  std::unique_ptr<DeviceHandle> handle;
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
  if (!ok) {
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
  st->handle.reset();
  if (trace_is_on()) trace_printf(nullptr, dev->name, "CloseHandle() = %d", 1);
}

int nic_reset(Device* dev) {
  auto* st = static_cast<NicState*>(dev->state);
  st->abort = false;
  if (st->handle) st->handle->clear_wake();
  return 0;
}

int nic_read(Device* dev, unsigned char* buf, size_t* len, int timeout_seconds) {
  auto* st = static_cast<NicState*>(dev->state);
  DeviceHandle* h = st->handle.get();
  char rbuf[64];
  if (!h) {
    log_apr_error("ReadFile", APR_FROM_OS_ERROR(EBADF));
    return -1;
  }
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
}

int nic_write(Device* dev, const unsigned char* batch, size_t* len) {
  auto* st = static_cast<NicState*>(dev->state);
  char rbuf[64];
  uint32_t status = 0, written = 0;
  int err = 0;
  if (!st->handle) {
    err = EBADF;
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
