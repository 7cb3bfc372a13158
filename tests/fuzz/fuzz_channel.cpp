// Fuzz target: a control-channel request head as a local peer would send it.
#include <apr_general.h>
#include <apr_pools.h>
#include <apr_tables.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "keva/channel.h"
#include "keva/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    apr_initialize();
    log_set_modes(true, false);
    return true;
  }();
  (void)ready;
  if (size > 16383) return 0;  // one message's head at most, as the channel reads it
  apr_pool_t* pool;
  if (apr_pool_create(&pool, nullptr) != APR_SUCCESS) return 0;
  std::vector<char> text(data, data + size);
  text.push_back(0);
  ChannelHead h{};
  h.query = apr_table_make(pool, 4);
  h.headers = apr_table_make(pool, 8);
  if (channel_parse_head(text.data(), size, &h) == 0) {
    // What the parse hands back stays inside the message.
    if (h.body && (h.body < text.data() || h.body + h.body_have > text.data() + size)) __builtin_trap();
    if (h.content_length >= 0 && static_cast<size_t>(h.content_length) < h.body_have) __builtin_trap();
  }
  apr_pool_destroy(pool);
  return 0;
}
