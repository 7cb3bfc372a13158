#include "misc.h"

#include <apr_file_io.h>
#include <apr_portable.h>
#include <apr_strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "platform/socket.h"
#include "platform/system_info.h"
#include "trace.h"
#include "vlnext.h"

// --- growable pointer list ---------------------------------------------------

PtrList* ptrlist_create(apr_pool_t* parent) {
  apr_pool_t* pool;
  if (apr_pool_create(&pool, parent) != APR_SUCCESS) return nullptr;
  auto* list = static_cast<PtrList*>(apr_pcalloc(pool, sizeof(PtrList)));
  list->pool = pool;
  list->capacity = 4;
  list->items = static_cast<void**>(apr_pcalloc(pool, sizeof(void*) * list->capacity));
  return list;
}

void ptrlist_append(PtrList* list, void* item) {
  if (list->count == list->capacity) {
    int cap = list->capacity * 2;
    auto** items = static_cast<void**>(apr_pcalloc(list->pool, sizeof(void*) * cap));
    std::memcpy(items, list->items, sizeof(void*) * list->count);
    list->items = items;
    list->capacity = cap;
  }
  list->items[list->count++] = item;
}

void* ptrlist_get(const PtrList* list, int index) {
  if (!list || index < 0 || index >= list->count) return nullptr;
  return list->items[index];
}

int ptrlist_remove(PtrList* list, void* item) {
  for (int i = 0; i < list->count; ++i) {
    if (list->items[i] != item) continue;
    std::memmove(list->items + i, list->items + i + 1, sizeof(void*) * (list->count - i - 1));
    list->items[--list->count] = nullptr;
    return 0;
  }
  return -1;
}

void ptrlist_clear(PtrList* list, void (*fn)(void*)) {
  for (int i = 0; i < list->count; ++i) {
    if (fn) fn(list->items[i]);
    list->items[i] = nullptr;
  }
  list->count = 0;
}

void ptrlist_destroy(PtrList* list) {
  if (list) apr_pool_destroy(list->pool);
}

// --- code/name table -----------------------------------------------------------

const char* codename_name(const CodeName* table, int code) {
  for (; table->name; ++table)
    if (table->code == code) return table->name;
  return nullptr;
}

int codename_code(const CodeName* table, const char* name, int def) {
  if (!name) return def;
  for (; table->name; ++table)
    if (std::strcmp(table->name, name) == 0) return table->code;
  return def;
}

// --- system description ------------------------------------------------------

int system_description(char* buf, size_t size) {
  velarn::OsInfo os;
  if (size == 0) return -1;
  buf[0] = 0;
  if (!velarn::os_info(os)) return -1;
  const char* bits = "";
  if (os.machine == "x86_64" || os.machine == "aarch64" || os.machine == "ppc64le" || os.machine == "s390x" ||
      os.machine == "riscv64")
    bits = "64bit ";
  else if (os.machine.size() == 4 && os.machine[0] == 'i' && os.machine.substr(2) == "86")
    bits = "32bit ";
  apr_snprintf(buf, size, "%s %s(Kernel %s)", os.product.c_str(), bits, os.kernel.c_str());
  return 0;
}

char* mac_text(const unsigned char mac[6], char* buf) {
  std::snprintf(buf, 18, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return buf;
}

// --- sockets -------------------------------------------------------------------

void socket_timeouts(apr_socket_t* sock, int seconds) {
  apr_os_sock_t fd;
  if (apr_os_sock_get(&fd, sock) != APR_SUCCESS) return;
  if (int e = velarn::set_receive_timeout(fd, seconds)) log_apr_error("SO_RCVTIMEO", APR_FROM_OS_ERROR(e));
  if (int e = velarn::set_send_timeout(fd, seconds)) log_apr_error("SO_SNDTIMEO", APR_FROM_OS_ERROR(e));
}

static apr_sockaddr_t* peer_of(apr_socket_t* sock) {
  apr_sockaddr_t* sa = nullptr;
  if (trace_is_on()) apr_socket_addr_get(&sa, APR_REMOTE, sock);
  return sa;
}

int socket_send(apr_socket_t* sock, const char* data, int len) {
  apr_size_t n = static_cast<apr_size_t>(len);
  apr_status_t st = apr_socket_send(sock, data, &n);
  trace_call("send", peer_of(sock), len, st, static_cast<int>(n));
  if (st != APR_SUCCESS) {
    log_apr_error("send", st);
    return -1;
  }
  return static_cast<int>(n);
}

int socket_recv(apr_socket_t* sock, char* buf, int len) {
  apr_size_t n = static_cast<apr_size_t>(len);
  apr_status_t st = apr_socket_recv(sock, buf, &n);
  if (st == APR_EOF) st = APR_SUCCESS;  // orderly close: no data
  trace_call("recv", peer_of(sock), len, st, static_cast<int>(n));
  if (st == APR_SUCCESS) return static_cast<int>(n);
  if (APR_STATUS_IS_EAGAIN(st) || APR_STATUS_IS_TIMEUP(st)) return 0;
  log_apr_error("recv", st);
  return -1;
}

// --- files ------------------------------------------------------------------------

char* read_whole_file(const char* path, apr_pool_t* pool, size_t* len_out) {
  FILE* f = std::fopen(path, "rb");
  if (!f) {
    log_error("%s: %s", path, std::strerror(errno));
    return nullptr;
  }
  static const size_t kMax = 65535;
  char* text = static_cast<char*>(apr_palloc(pool, kMax + 1));
  size_t n = std::fread(text, 1, kMax, f);
  bool failed = std::ferror(f);
  int err = errno;
  std::fclose(f);
  if (failed) {
    log_error("%s: %s", path, std::strerror(err));
    return nullptr;
  }
  text[n] = 0;
  if (len_out) *len_out = n;
  return text;
}

int dialup_metric_step(void) {
  if (vlnext_AdjustDialup() == 2) {
    log_error("dialup metric %s", vlnext_GetErrorMessage());
    return -1;
  }
  return 0;
}
