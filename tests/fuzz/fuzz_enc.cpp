// The enc_ value decoder on arbitrary text, and the round trip of the encoder.
#include <apr_general.h>
#include <apr_pools.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "keva/log.h"
#include "keva/profile.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  apr_initialize();
  log_set_modes(true, false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  apr_pool_t* pool = nullptr;
  apr_pool_create(&pool, nullptr);
  // Element text never holds a zero byte; the value ends at the first one.
  std::string text(reinterpret_cast<const char*>(data), size);
  text = text.c_str();

  char* plain = profile_decrypt(pool, text.c_str());
  if (!plain || strlen(plain) > text.size()) __builtin_trap();

  char* enc = profile_encrypt(pool, text.c_str());
  if (!enc) __builtin_trap();
  char* back = profile_decrypt(pool, enc);
  if (!back || text != back) __builtin_trap();

  apr_pool_destroy(pool);
  return 0;
}
