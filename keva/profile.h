// The session profile: the XML document that describes one VPN session, its
// parsed form, and the encoding of the secret values stored as enc_ elements.
#pragma once
#include <apr_pools.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <cstddef>
#include <cstdint>

#include "misc.h"

#define PROFILE_DEFAULT_PORT 5711
#define PROFILE_DEFAULT_PROXY_PORT 8080
#define PROFILE_DEFAULT_CIPHERS "DEFAULT:NULL-MD5"

enum { CHANGE_ROUND_ROBIN = 0, CHANGE_RANDOM = 1 };
enum { AUTH_PASSWORD = 1, AUTH_X509 = 2, AUTH_TOKEN = 3, AUTH_TICKET = 4 };
enum { DEVICE_TAP = 0, DEVICE_BRIDGE = 1 };

extern const CodeName profile_change_types[];  // roundRobin, random
extern const CodeName profile_auth_types[];    // password, x509, token, ticket
extern const CodeName profile_device_types[];  // tap, bridge

struct ServerEntry {
  const char* host;
  uint16_t port;
};

struct AuthRecord {
  const char* switch_name;  // NULL for ticket logins
  int type;                 // AUTH_*
  const char* username;
  const char* password;   // the password, or the ticket for AUTH_TICKET
  EVP_PKEY* private_key;  // x509: from the profile; token: set by the signer
  X509* certificate;
  const char* driver;  // PKCS#11 module path
  const char* pin;
};

// Every string and list lives in the pool given to profile_parse; the key,
// certificate and trust objects are freed by clean-ups on that pool.
struct SessionProfile {
  apr_pool_t* pool;
  const char* text;  // the document exactly as received
  size_t text_len;
  PtrList* servers;        // ServerEntry*, profile order
  int change_type;         // CHANGE_*
  const char* proxy_host;  // NULL: direct connection
  uint16_t proxy_port;
  const char* proxy_username;
  const char* proxy_password;
  AuthRecord auth;
  PtrList* trust;  // X509*
  const char* ciphers;
  int device_type;  // DEVICE_*
  const char* device_name;
  int reconnect;
  PtrList* allow;  // unsigned char[6]
  PtrList* deny;   // unsigned char[6]
};

// Parses text (len bytes; need not be zero-terminated) into a new profile in
// pool. Logs the summary at debug level and, on failure, the reason at error
// level. Returns 0 with *out set, or -1 with *out NULL; after a failure the
// caller destroys the pool, which frees whatever the parse made.
int profile_parse(apr_pool_t* pool, const char* text, size_t len, SessionProfile** out);

// MAC address text ("00:0c:29:3a:b1:7f", colons optional) into mac. 0, or -1
// with "invalid mac address: %s" logged.
int profile_mac_parse(const char* text, unsigned char mac[6]);

// The enc_ form of a secret (codec/value_codec.h) in the service's terms:
// both return a zero-terminated text in pool, or NULL on a library failure;
// failures, and text that is not Base64, are logged.
char* profile_decrypt(apr_pool_t* pool, const char* encoded);
char* profile_encrypt(apr_pool_t* pool, const char* plain);

// The document without its secrets (every password, PIN, ticket, proxy
// password, their enc_ forms, the private key, and comments), for a peer
// that may see the profile but not log in with it. NULL when the text is not
// a document.
char* profile_without_secrets(apr_pool_t* pool, const char* text, size_t len);

// Overwrites the secrets a parsed profile holds and its raw text, before its
// pool goes: freed memory keeps its bytes.
void profile_wipe(SessionProfile* p);
