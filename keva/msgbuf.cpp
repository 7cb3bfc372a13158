#include "msgbuf.h"

#include <cstdlib>
#include <mutex>

#include "log.h"

namespace {

std::mutex g_mutex;
MessageBuffer* g_free = nullptr;
long g_count = 0;  // allocated and not yet freed

apr_status_t msgbuf_cleanup(void*) {
  std::lock_guard<std::mutex> lock(g_mutex);
  while (MessageBuffer* b = g_free) {
    g_free = b->next;
    std::free(b);
    --g_count;
  }
  if (g_count != 0) log_warning("BUG!! some buffer still in use");
  return APR_SUCCESS;
}

}  // namespace

int msgbuf_init(apr_pool_t* pool) {
  apr_pool_cleanup_register(pool, nullptr, msgbuf_cleanup, apr_pool_cleanup_null);
  return 0;
}

MessageBuffer* msgbuf_take(void) {
  MessageBuffer* b;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    b = g_free;
    if (b) {
      g_free = b->next;
    } else {
      b = static_cast<MessageBuffer*>(std::malloc(sizeof(MessageBuffer)));
      if (!b) return nullptr;
      ++g_count;
    }
  }
  b->used = 0;
  b->next = nullptr;
  return b;
}

void msgbuf_give(MessageBuffer* buf) {
  if (!buf) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  buf->next = g_free;
  g_free = buf;
}

long msgbuf_outstanding(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_count;
}
