// 64 KiB output buffers recycled through a process-wide free list, so that a
// whole batch of messages goes out in one TLS write without allocating per
// message.
#pragma once
#include <apr_pools.h>
#include <cstdint>

#define MESSAGE_BUFFER_SIZE 65536

struct MessageBuffer {
  uint32_t used;
  unsigned char data[MESSAGE_BUFFER_SIZE];
  MessageBuffer* next;
};

// Sets up the mutex and registers the end-of-run check on pool. 0 or -1.
int msgbuf_init(apr_pool_t* pool);
// A buffer with used = 0: from the free list, or newly allocated.
MessageBuffer* msgbuf_take(void);
void msgbuf_give(MessageBuffer* buf);
// Buffers allocated and not yet freed (handed out or on the free list).
long msgbuf_outstanding(void);
