// The profile reader on arbitrary documents.
#include <apr_general.h>
#include <apr_pools.h>

#include <cstddef>
#include <cstdint>

#include "keva/log.h"
#include "keva/profile.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  apr_initialize();
  // Debug mode keeps lines away from the data folder; debug level off keeps
  // the summaries quiet.
  log_set_modes(true, false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, nullptr);
  SessionProfile* profile = nullptr;
  if (profile_parse(pool, reinterpret_cast<const char*>(data), size, &profile) == 0) {
    // Whatever was accepted must be complete enough for its users.
    if (!profile || !profile->servers || profile->servers->count < 1 || !profile->ciphers) __builtin_trap();
  } else if (profile) {
    __builtin_trap();
  }
  apr_pool_destroy(pool);
  return 0;
}
