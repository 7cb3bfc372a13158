// The service's access to the virtual adapter: the Device abstraction the
// session controller drives, and its implementation over the adapter's
// control device ("NIC").
#pragma once
#include <apr_pools.h>
#include <cstddef>

#include "misc.h"

struct Device;
struct AddressPlan;

// A device implementation. The session controller is handed one table by
// its caller (the service's is nic_ops); every call names the Device it is
// for, and one device is open for one user at a time.
struct DeviceOps {
  // The implementation's state for dev (stored in dev->state), released with
  // dev->pool; NULL on failure.
  void* (*create)(Device* dev);
  // 0 with the media connected, or -1 (logged).
  int (*open)(Device* dev);
  // Media disconnected and the device given back; nothing when not open.
  void (*close)(Device* dev);
  // Clears an abort, so that the next read waits again.
  int (*reset)(Device* dev);
  // 1: a FrameBatch was read (*len set); 0: time-out or aborted; -1: failure.
  int (*read)(Device* dev, unsigned char* buf, size_t* len, int timeout_seconds);
  // Ends the read in progress, and every later one until reset, with 0.
  void (*abort)(Device* dev);
  // 1: written (*len set to the bytes taken); -1: failure.
  int (*write)(Device* dev, const unsigned char* batch, size_t* len);
  // The implementation's own context, found again through dev->ops; NULL
  // for the adapter, which has one per process.
  void* ctx = nullptr;
};

struct Device {
  apr_pool_t* pool;
  const DeviceOps* ops;
  void* state;         // the implementation's (the adapter's: NicState)
  const char* name;    // "NIC", also the trace tag
  int forward_filter;  // non-zero: enable the driver's forward filter on open
  PtrList* allow;      // 6-byte MAC addresses, or NULL
  PtrList* deny;
  AddressPlan* address;  // the adapter's address while its media is connected, or NULL
};

extern const DeviceOps nic_ops;

void* nic_create(Device* dev);
int nic_open(Device* dev);
void nic_close(Device* dev);
int nic_reset(Device* dev);
int nic_read(Device* dev, unsigned char* buf, size_t* len, int timeout_seconds);
void nic_abort(Device* dev);
int nic_write(Device* dev, const unsigned char* batch, size_t* len);

// The first adapter instance whose ComponentId is exactly component_id:
// 1 with its NetCfgInstanceId copied (truncated to size), 0 when none,
// -1 on a registry failure.
int adapter_find(const char* component_id, char* out, size_t size);

// The three diagnostic dumps, logged at debug level.
void dump_network_params(void);
void dump_adapters(void);
void dump_routes(void);
