// Small helpers shared by every part of the service.
#pragma once
#include <apr_network_io.h>
#include <apr_pools.h>
#include <cstddef>

// Growable pointer list: count, capacity (4 at first, doubled when full) and
// the array, in a pool of its own (a child of the parent given).
struct PtrList {
  apr_pool_t* pool;
  int count;
  int capacity;
  void** items;
};
PtrList* ptrlist_create(apr_pool_t* parent);
void ptrlist_append(PtrList* list, void* item);
// NULL beyond the count.
void* ptrlist_get(const PtrList* list, int index);
// Removes the first occurrence; later entries move down. 0, or -1 when absent.
int ptrlist_remove(PtrList* list, void* item);
// Calls fn on every entry, then empties the list.
void ptrlist_clear(PtrList* list, void (*fn)(void*));
void ptrlist_destroy(PtrList* list);

// Code/name table: pairs ended by an entry whose name is NULL.
struct CodeName {
  int code;
  const char* name;
};
// NULL when the code is absent.
const char* codename_name(const CodeName* table, int code);
// The code of the exactly equal name; def when absent.
int codename_code(const CodeName* table, const char* name, int def);

// One line describing the operating system. 0, or -1 when it cannot be read.
int system_description(char* buf, size_t size);
// "%02x:%02x:%02x:%02x:%02x:%02x" into buf (at least 18 bytes); returns buf.
char* mac_text(const unsigned char mac[6], char* buf);
// Receive and send time-outs in seconds (0: none); failures are logged and
// otherwise ignored.
void socket_timeouts(apr_socket_t* sock, int seconds);
// Traced send: bytes sent or -1.
int socket_send(apr_socket_t* sock, const char* data, int len);
// Traced receive: bytes received, 0 on time-out, -1 on failure.
int socket_recv(apr_socket_t* sock, char* buf, int len);
// At most 65535 bytes of the file, zero-terminated, copied into pool; NULL on
// failure (logged). *len_out, when given, receives the length.
char* read_whole_file(const char* path, apr_pool_t* pool, size_t* len_out = nullptr);
// Dial-up metric step after a direct TCP connection.
int dialup_metric_step(void);
