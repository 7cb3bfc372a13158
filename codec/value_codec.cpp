#include "value_codec.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rc4.h>
#include <openssl/sha.h>

#include <cstring>
#include <memory>

namespace velarn::codec {

namespace {

// The one key every enc_ value is made under; the text is hashed as ASCII,
// not decoded from hex.
const char kValueKey[] = "3c9d0e7a51b2f4860d1e2a3b4c5d6e7f80919a2b";
const size_t kValueKeyLength = sizeof kValueKey - 1;

// RC4 is kept out of OpenSSL 3's default provider; the low-level call still
// carries it, and this is the only place the old scheme is used.
void rc4_apply(const unsigned char* in, unsigned char* out, size_t len) {
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(kValueKey), kValueKeyLength, digest);
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  RC4_KEY key;
  RC4_set_key(&key, 16, digest);
  RC4(&key, len, in, out);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  OPENSSL_cleanse(&key, sizeof key);
  OPENSSL_cleanse(digest, sizeof digest);
}

// Base64 turns 4 characters into at most 3 bytes; the decoder may hold up
// to one line (80 characters) of what came before.
size_t raw_capacity(size_t encoded_len) { return encoded_len + 80; }

}  // namespace

bool value_key_matches(const char* key, size_t len) {
  if (!key || len < kValueKeyLength) return false;
  return strnlen(key, len) == kValueKeyLength && std::memcmp(key, kValueKey, kValueKeyLength) == 0;
}

size_t encoded_size(size_t plain_len) { return 4 * ((plain_len + 2) / 3) + 1; }

long encode(const char* plain, size_t len, char* out, size_t out_size) {
  // EVP_EncodeBlock counts in int.
  if (!out || out_size < encoded_size(len) || len > (1u << 30)) return -1;
  std::unique_ptr<unsigned char[]> enc(new (std::nothrow) unsigned char[len + 1]);
  if (!enc) return -1;
  rc4_apply(reinterpret_cast<const unsigned char*>(plain), enc.get(), len);
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out), enc.get(), static_cast<int>(len));
  OPENSSL_cleanse(enc.get(), len + 1);
  if (n < 0) {
    out[0] = 0;
    return -1;
  }
  out[n] = 0;
  return n;
}

size_t decoded_capacity(size_t encoded_len) { return raw_capacity(encoded_len); }

DecodeResult decode(const char* encoded, size_t len, char* out, size_t out_size, size_t* out_len) {
  *out_len = 0;
  if (!out || out_size < decoded_capacity(len)) return DecodeResult::Failed;
  out[0] = 0;
  EVP_ENCODE_CTX* ctx = EVP_ENCODE_CTX_new();
  if (!ctx) return DecodeResult::Failed;
  size_t cap = raw_capacity(len);
  std::unique_ptr<unsigned char[]> raw(new (std::nothrow) unsigned char[cap]);
  if (!raw) {
    EVP_ENCODE_CTX_free(ctx);
    return DecodeResult::Failed;
  }
  // Streamed, so neither the length of the value nor its line layout (one
  // line, or the 64-column lines other tools write) limits what decodes.
  EVP_DecodeInit(ctx);
  size_t got_total = 0;
  bool bad = false;
  constexpr size_t kChunk = 4096;
  for (size_t off = 0; off < len && !bad;) {
    size_t n = len - off < kChunk ? len - off : kChunk;
    int got = 0;
    if (EVP_DecodeUpdate(ctx, raw.get() + got_total, &got, reinterpret_cast<const unsigned char*>(encoded) + off,
                         static_cast<int>(n)) < 0)
      bad = true;
    got_total += static_cast<size_t>(got);
    off += n;
  }
  int last = 0;
  if (!bad && EVP_DecodeFinal(ctx, raw.get() + got_total, &last) < 0) bad = true;
  if (!bad) got_total += static_cast<size_t>(last);
  EVP_ENCODE_CTX_free(ctx);
  ERR_clear_error();

  rc4_apply(raw.get(), reinterpret_cast<unsigned char*>(out), got_total);
  OPENSSL_cleanse(raw.get(), cap);
  out[got_total] = 0;
  *out_len = got_total;
  return bad ? DecodeResult::NotBase64 : DecodeResult::Ok;
}

}  // namespace velarn::codec
