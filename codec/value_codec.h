// The enc_ form of a secret in a profile: RC4 under the one profile-value
// key, then Base64. Every writer (the service, the client library, the
// tools) and the service's reader use this module, so the key exists once.
// A leaf: OpenSSL's libcrypto only, no logging; callers say what failed.
#pragma once
#include <cstddef>

namespace velarn::codec {

// Whether [key, key + len) holds exactly the key text that callers of the
// client library present (a longer buffer may carry it zero-terminated).
bool value_key_matches(const char* key, size_t len);

// Bytes encode needs for plain_len bytes of secret, the terminating zero
// included.
size_t encoded_size(size_t plain_len);
// Writes the one-line enc_ text of plain (len bytes) to out and returns its
// length, or -1 when out is too small or the library fails.
long encode(const char* plain, size_t len, char* out, size_t out_size);

// Bytes decode needs for an enc_ text of encoded_len characters, the
// terminating zero included.
size_t decoded_capacity(size_t encoded_len);
enum class DecodeResult { Ok, NotBase64, Failed };
// Decodes the enc_ text (one line, or wrapped lines with LF or CRLF; any
// length) into out, zero-terminated, its length in *out_len. NotBase64 keeps
// what decoded before the fault; Failed leaves out empty (the library could
// not run, or out is smaller than decoded_capacity). Scratch memory holding
// the secret is cleansed before return.
DecodeResult decode(const char* encoded, size_t len, char* out, size_t out_size, size_t* out_len);

}  // namespace velarn::codec
