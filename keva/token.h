// Login with a key that lives on a hardware token: the PKCS#11 modules the
// service has loaded, the token session of one VPN session, the client
// certificate read from the token and a private-key object for the TLS
// library whose private operation runs on the token.
#pragma once
#include <apr_pools.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <p11-kit/pkcs11.h>

#include <cstddef>

#include "platform/dynlib.h"

struct AuthRecord;

// One loaded module. Entered in the process-wide cache under its path and kept
// until token_unload_all.
struct TokenModule {
  char* path;
  velarn::DynLib library;
  CK_FUNCTION_LIST_PTR functions;  // from C_GetFunctionList
};

// Asks the session controller to end the session for good ("Terminate", no
// reconnect). Set by the controller; may be left NULL.
typedef void (*token_terminate_fn)(void* ctx);

// One per session, allocated from the session's pool by token_sign_setup.
struct TokenSession {
  TokenModule* module;
  const char* pin;
  CK_SLOT_ID slot;
  CK_SESSION_HANDLE session;
  CK_OBJECT_HANDLE key;  // private key found for the last signature
  int open_count;        // 0: no PKCS#11 session
  int stop;              // read and written atomically (token_set_stop)
  token_terminate_fn terminate;
  void* terminate_ctx;
  AuthRecord* auth;  // receives the certificate
  RSA* rsa;          // inside auth->private_key; public half follows the certificate
};

// --- Modules ----------------------------------------------------------------

// The cached module for path, or a newly loaded and initialised one. NULL on
// failure (logged: "%s: %s", "invalid PKCS#11 driver: %s" or
// "error in C_Initialize: %d").
TokenModule* token_driver_open(const char* path);
// C_Finalize and unload every cached module; empties the cache. Also runs as
// a clean-up of the service's root pool. Keys and sessions made over the
// modules must be gone by then.
void token_unload_all(void);

// The result check of every PKCS#11 call: traced as "%s() = %d"; a failure is
// logged at error level with its message ("PIN error", "no token available",
// "error in %s: 0x%x" ...). 0 for CKR_OK, else -1.
int token_check(const char* function, CK_RV rv);

// --- Session ------------------------------------------------------------------

// Loads the module of auth->driver, creates the TokenSession in pool and the
// token key object, which becomes auth->private_key (freed with the pool).
// NULL on failure (logged).
TokenSession* token_sign_setup(AuthRecord* auth, apr_pool_t* pool);

// 1 open (count raised), 0 no token present, -1 error (logged).
int token_session_open(TokenSession* ts);
// Lowers the count; at 0 logs out and closes the PKCS#11 session.
void token_session_close(TokenSession* ts);

enum { TOKEN_OBJECT_CERTIFICATE = 0, TOKEN_OBJECT_PRIVATE_KEY = 1 };
// First object of the kind on the open session into *out. 0, or -1 when none
// is found or a call fails (logged).
int token_find_object(TokenSession* ts, int kind, CK_OBJECT_HANDLE* out);

// Before every connection attempt. 0: session open and logged in, certificate
// in the authentication record; a clean-up on attempt_pool releases the
// certificate and closes the session. -1 with no token present (the caller
// waits and tries again) or after an error, when ts->terminate has already
// been asked to end the session.
int token_fetch_certificate(TokenSession* ts, apr_pool_t* attempt_pool);

// The stop flag: set while the session is being stopped, it makes every
// signature fail at once. Safe from any thread.
void token_set_stop(TokenSession* ts, int stop);
int token_stopping(const TokenSession* ts);
void token_set_terminate(TokenSession* ts, token_terminate_fn fn, void* ctx);

// The sign operation of the token key's RSA method (PKCS #1 v1.5 signatures
// for TLS). 1 on success, 0 on failure.
int token_rsa_sign(int type, const unsigned char* m, unsigned int m_len, unsigned char* sigret, unsigned int* siglen,
                   const RSA* rsa);
