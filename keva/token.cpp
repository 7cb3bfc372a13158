// Token signing: PKCS#11 modules loaded by path, one logged-in session per
// connection attempt, and an RSA key object whose private operation is
// carried out on the token.
//
// The key object is a legacy RSA key with a method of our own. OpenSSL 3
// keeps such "foreign" keys away from its providers and drives them through
// the RSA method: PKCS #1 v1.5 signatures come to the sign operation with the
// digest and its type, RSA-PSS (TLS 1.3, and TLS 1.2 by preference) arrives
// already encoded at the private-encrypt operation, which the token then
// performs as a raw RSA operation.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include "token.h"

#include <apr_strings.h>
#include <apr_time.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "kevad.h"
#include "log.h"
#include "profile.h"
#include "trace.h"
#include "platform/secure_file.h"

namespace {

const apr_interval_time_t kRetryPause = 500000;  // 0.5 s between slot and login tries
const int kTries = 3;
const size_t kCertificateMax = 4096;

// --- Module cache ---------------------------------------------------------------

std::mutex g_modules_mutex;
std::vector<TokenModule*> g_modules;
apr_pool_t* g_unload_pool;  // root pool on which the unload is registered

void unload_module(TokenModule* m) {
  if (m->functions) m->functions->C_Finalize(nullptr);
  m->library.close();
  free(m->path);
  delete m;
}

apr_status_t unload_cleanup(void*) {
  g_unload_pool = nullptr;
  token_unload_all();
  return APR_SUCCESS;
}

// --- Key object -----------------------------------------------------------------

int token_rsa_priv_enc(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding);

// One method for every token key, made on first use and kept for the process.
struct TokenMethod {
  RSA_METHOD* method = nullptr;
  ~TokenMethod() {
    if (method) RSA_meth_free(method);
  }
};

const RSA_METHOD* token_method() {
  static TokenMethod holder;
  static std::once_flag once;
  std::call_once(once, [] {
    RSA_METHOD* m = RSA_meth_dup(RSA_get_default_method());
    if (!m) return;
    RSA_meth_set1_name(m, "Velarn token RSA");
    // The key holds no private material: nothing can check it against the
    // certificate.
    RSA_meth_set_flags(m, RSA_meth_get_flags(m) | RSA_METHOD_FLAG_NO_CHECK);
    RSA_meth_set_sign(m, token_rsa_sign);
    RSA_meth_set_priv_enc(m, token_rsa_priv_enc);
    holder.method = m;
  });
  return holder.method;
}

apr_status_t free_key(void* p) {
  EVP_PKEY_free(static_cast<EVP_PKEY*>(p));
  return APR_SUCCESS;
}

// The token signature failed: a TLS handshake shows this as an error of the
// RSA layer, which the TLS channel takes as already explained.
void raise_rsa_failure() { ERR_raise(ERR_LIB_RSA, ERR_R_RSA_LIB); }

// The public half of the key follows the certificate on the token: the TLS
// library sizes signatures and PSS encodings by the modulus and matches the
// key with the certificate by it.
int take_public_half(TokenSession* ts, X509* cert) {
  EVP_PKEY* pub = X509_get0_pubkey(cert);
  BIGNUM* n = nullptr;
  BIGNUM* e = nullptr;
  if (!pub || EVP_PKEY_get_base_id(pub) != EVP_PKEY_RSA) {
    log_error("token certificate does not hold an RSA key");
    return -1;
  }
  if (EVP_PKEY_get_bn_param(pub, "n", &n) != 1 || EVP_PKEY_get_bn_param(pub, "e", &e) != 1 ||
      RSA_set0_key(ts->rsa, n, e, nullptr) != 1) {
    BN_free(n);
    BN_free(e);
    log_ssl_errors("RSA_set0_key");
    return -1;
  }
  return 0;
}

// --- Certificate ------------------------------------------------------------------

struct AttemptHold {
  TokenSession* ts;
  X509* cert;
};

apr_status_t release_attempt(void* p) {
  auto* hold = static_cast<AttemptHold*>(p);
  if (hold->ts->auth && hold->ts->auth->certificate == hold->cert) hold->ts->auth->certificate = nullptr;
  X509_free(hold->cert);
  token_session_close(hold->ts);
  return APR_SUCCESS;
}

X509* read_certificate(TokenSession* ts) {
  CK_OBJECT_HANDLE obj;
  if (token_find_object(ts, TOKEN_OBJECT_CERTIFICATE, &obj) != 0) return nullptr;
  unsigned char value[kCertificateMax];
  CK_ATTRIBUTE attr = {CKA_VALUE, value, sizeof(value)};
  if (token_check("C_GetAttributeValue", ts->module->functions->C_GetAttributeValue(ts->session, obj, &attr, 1)) != 0)
    return nullptr;
  if (attr.ulValueLen == CK_UNAVAILABLE_INFORMATION || attr.ulValueLen > sizeof(value)) {
    log_error("%s: %s", "C_GetAttributeValue", "no certificate value");
    return nullptr;
  }
  const unsigned char* p = value;
  ERR_clear_error();
  X509* cert = d2i_X509(nullptr, &p, (long)attr.ulValueLen);
  if (!cert) {
    char text[256];
    unsigned long e = ERR_get_error();
    if (e)
      ERR_error_string_n(e, text, sizeof(text));
    else
      apr_cpystrn(text, "invalid certificate", sizeof(text));
    ERR_clear_error();
    log_error("%s: %s", "d2i_X509", text);
  }
  return cert;
}

void ask_terminate(TokenSession* ts) {
  if (ts->terminate) ts->terminate(ts->terminate_ctx);
}

// --- Signing ------------------------------------------------------------------------

TokenSession* session_of(const RSA* rsa) { return static_cast<TokenSession*>(RSA_get_ex_data(rsa, 0)); }

// One private-key operation on the token with the given mechanism. The
// signature length, or -1.
int token_private_op(TokenSession* ts, CK_MECHANISM_TYPE mechanism, const unsigned char* data, size_t len,
                     unsigned char* out, size_t capacity) {
  if (!ts || token_session_open(ts) != 1) return -1;
  CK_FUNCTION_LIST_PTR f = ts->module->functions;
  int result = -1;
  do {
    if (token_stopping(ts)) break;
    if (token_find_object(ts, TOKEN_OBJECT_PRIVATE_KEY, &ts->key) != 0) break;
    if (token_stopping(ts)) break;
    log_info("token sign..");
    CK_MECHANISM mech = {mechanism, nullptr, 0};
    if (token_check("C_SignInit", f->C_SignInit(ts->session, &mech, ts->key)) != 0) break;
    CK_ULONG siglen = 0;
    if (token_check("C_Sign", f->C_Sign(ts->session, const_cast<CK_BYTE_PTR>(data), len, nullptr, &siglen)) != 0) break;
    if (siglen > capacity) {
      // The operation stays active on the token until a C_Sign ends it; a
      // call with too small a buffer would leave it so. Finish it into a
      // scratch buffer of the announced size instead.
      std::vector<unsigned char> scratch(siglen);
      f->C_Sign(ts->session, const_cast<CK_BYTE_PTR>(data), len, scratch.data(), &siglen);
      log_error("token signature too long: %lu bytes", (unsigned long)siglen);
      break;
    }
    if (token_check("C_Sign", f->C_Sign(ts->session, const_cast<CK_BYTE_PTR>(data), len, out, &siglen)) != 0) break;
    if (token_stopping(ts)) break;
    result = (int)siglen;
  } while (false);
  token_session_close(ts);
  return result;
}

// RSA-PSS reaches us here already encoded (no padding), as do callers that
// pad with PKCS #1 v1.5 themselves.
int token_rsa_priv_enc(int flen, const unsigned char* from, unsigned char* to, RSA* rsa, int padding) {
  CK_MECHANISM_TYPE mech;
  if (padding == RSA_NO_PADDING)
    mech = CKM_RSA_X_509;
  else if (padding == RSA_PKCS1_PADDING)
    mech = CKM_RSA_PKCS;
  else {
    log_error("token sign: unsupported padding %d", padding);
    raise_rsa_failure();
    return -1;
  }
  int size = RSA_size(rsa);
  if (flen < 0 || size <= 0) {
    raise_rsa_failure();
    return -1;
  }
  int n = token_private_op(session_of(rsa), mech, from, (size_t)flen, to, (size_t)size);
  if (n < 0) {
    raise_rsa_failure();
    return -1;
  }
  if (mech == CKM_RSA_X_509 && n < size) {
    // A raw result is a number: keep it the modulus' length, leading zeros
    // included, as a verifier expects.
    memmove(to + (size - n), to, (size_t)n);
    memset(to, 0, (size_t)(size - n));
    n = size;
  }
  return n;
}

// DER DigestInfo (algorithm and digest) of a PKCS #1 v1.5 signature. Its
// length, or -1 for an unknown digest or one of the wrong length.
int digest_info(int type, const unsigned char* m, unsigned int m_len, unsigned char* out, size_t capacity) {
  const EVP_MD* md = EVP_get_digestbynid(type);
  ASN1_OBJECT* oid = OBJ_nid2obj(type);
  if (!md || !oid || OBJ_length(oid) == 0 || EVP_MD_get_size(md) != (int)m_len) return -1;
  X509_SIG* sig = X509_SIG_new();
  if (!sig) return -1;
  X509_ALGOR* alg = nullptr;
  ASN1_OCTET_STRING* digest = nullptr;
  X509_SIG_getm(sig, &alg, &digest);
  int len = -1;
  if (X509_ALGOR_set0(alg, OBJ_nid2obj(type), V_ASN1_NULL, nullptr) == 1 &&
      ASN1_OCTET_STRING_set(digest, m, (int)m_len) == 1) {
    int need = i2d_X509_SIG(sig, nullptr);
    if (need > 0 && (size_t)need <= capacity) {
      unsigned char* p = out;
      len = i2d_X509_SIG(sig, &p);
    }
  }
  X509_SIG_free(sig);
  return len;
}

}  // namespace

// --- Result check -------------------------------------------------------------------

int token_check(const char* function, CK_RV rv) {
  if (trace_is_on()) trace_printf(nullptr, nullptr, "%s() = %d", function, (int)rv);
  switch (rv) {
    case CKR_OK: return 0;
    case CKR_DEVICE_ERROR: log_error("device error"); break;
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
    case CKR_PIN_LEN_RANGE: log_error("PIN error"); break;
    case CKR_PIN_EXPIRED: log_error("PIN expired"); break;
    case CKR_PIN_LOCKED: log_error("PIN locked"); break;
    case CKR_TOKEN_NOT_PRESENT: log_error("no token available"); break;
    default: log_error("error in %s: 0x%x", function, (unsigned)rv); break;
  }
  return -1;
}

// --- Modules --------------------------------------------------------------------------

TokenModule* token_driver_open(const char* path) {
  if (!path || !*path) {
    log_error("invalid PKCS#11 driver: %s", path ? path : "");
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(g_modules_mutex);
  for (TokenModule* m : g_modules)
    if (strcmp(m->path, path) == 0) return m;

  log_debug("opening PKCS#11 driver: %s", path);
  // Any local user may post a profile naming a module, and loading runs its
  // code as root: only an administrator's file is loaded.
  std::string why;
  velarn::DynLib lib;
  if (!velarn::load_admin_module(path, &lib, &why)) {
    log_error("%s", why.c_str());
    log_error("invalid PKCS#11 driver: %s", path);
    return nullptr;
  }
  auto get = lib.function<CK_C_GetFunctionList>("C_GetFunctionList");
  CK_FUNCTION_LIST_PTR functions = nullptr;
  if (!get || get(&functions) != CKR_OK || !functions || !functions->C_Initialize) {
    log_error("invalid PKCS#11 driver: %s", path);
    return nullptr;
  }
  CK_RV rv = functions->C_Initialize(nullptr);
  if (trace_is_on()) trace_printf(nullptr, nullptr, "%s() = %d", "C_Initialize", (int)rv);
  if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    log_error("error in C_Initialize: %d", (int)rv);
    return nullptr;
  }
  auto* m = new TokenModule{strdup(path), std::move(lib), functions};
  g_modules.push_back(m);
  apr_pool_t* root = kevad_root_pool();
  if (root && g_unload_pool != root) {
    apr_pool_cleanup_register(root, nullptr, unload_cleanup, apr_pool_cleanup_null);
    g_unload_pool = root;
  }
  return m;
}

void token_unload_all(void) {
  std::vector<TokenModule*> modules;
  {
    std::lock_guard<std::mutex> lock(g_modules_mutex);
    modules.swap(g_modules);
  }
  for (TokenModule* m : modules) unload_module(m);
}

// --- Session --------------------------------------------------------------------------

TokenSession* token_sign_setup(AuthRecord* auth, apr_pool_t* pool) {
  if (!auth || !auth->driver) {
    log_error("invalid PKCS#11 driver: %s", "");
    return nullptr;
  }
  TokenModule* module = token_driver_open(auth->driver);
  if (!module) return nullptr;
  const RSA_METHOD* method = token_method();
  RSA* rsa = method ? RSA_new() : nullptr;
  EVP_PKEY* key = rsa ? EVP_PKEY_new() : nullptr;
  if (!key || RSA_set_method(rsa, method) != 1) {
    EVP_PKEY_free(key);
    RSA_free(rsa);
    log_ssl_errors("RSA_new");
    return nullptr;
  }
  auto* ts = static_cast<TokenSession*>(apr_pcalloc(pool, sizeof(TokenSession)));
  ts->module = module;
  ts->pin = apr_pstrdup(pool, auth->pin ? auth->pin : "");
  ts->session = CK_INVALID_HANDLE;
  ts->key = CK_INVALID_HANDLE;
  ts->auth = auth;
  ts->rsa = rsa;
  RSA_set_app_data(rsa, ts);
  if (EVP_PKEY_assign_RSA(key, rsa) != 1) {
    EVP_PKEY_free(key);
    RSA_free(rsa);
    log_ssl_errors("EVP_PKEY_assign_RSA");
    return nullptr;
  }
  apr_pool_cleanup_register(pool, key, free_key, apr_pool_cleanup_null);
  auth->private_key = key;
  return ts;
}

// The slots with a token, however many readers the module reports: asks for
// the count, then the list, again while the list keeps growing in between.
static CK_RV present_slots(CK_FUNCTION_LIST_PTR f, std::vector<CK_SLOT_ID>* slots) {
  for (;;) {
    CK_ULONG n = 0;
    CK_RV rv = f->C_GetSlotList(CK_TRUE, nullptr, &n);
    if (rv != CKR_OK) return rv;
    slots->resize(n + 1);
    n = CK_ULONG(slots->size());
    rv = f->C_GetSlotList(CK_TRUE, slots->data(), &n);
    if (rv == CKR_BUFFER_TOO_SMALL) continue;
    slots->resize(rv == CKR_OK ? n : 0);
    return rv;
  }
}

int token_session_open(TokenSession* ts) {
  if (ts->open_count > 0) {
    ++ts->open_count;
    return 1;
  }
  CK_FUNCTION_LIST_PTR f = ts->module->functions;
  log_info("finding token..");
  std::vector<CK_SLOT_ID> slots;
  CK_ULONG count = 0;
  for (int i = 0; i < kTries; ++i) {
    if (token_check("C_GetSlotList", present_slots(f, &slots)) != 0) return -1;
    count = CK_ULONG(slots.size());
    if (count > 0) break;
    if (i + 1 < kTries) apr_sleep(kRetryPause);
  }
  if (count == 0) {
    log_error("no token available");
    return 0;
  }
  ts->slot = slots[0];

  log_info("opening token session..");
  CK_RV rv = f->C_OpenSession(ts->slot, CKF_SERIAL_SESSION, nullptr, nullptr, &ts->session);
  if (token_check("C_OpenSession", rv) != 0) {
    ts->session = CK_INVALID_HANDLE;
    // Pulled out between the slot list and the open: still only "no token".
    return rv == CKR_TOKEN_NOT_PRESENT ? 0 : -1;
  }

  size_t pin_len = strlen(ts->pin);
  for (int i = 0; i < kTries; ++i) {
    rv = f->C_Login(ts->session, CKU_USER, (CK_UTF8CHAR_PTR)ts->pin, (CK_ULONG)pin_len);
    // Login state belongs to the application, not the session: a login that
    // outlived its session is as good as a new one.
    if (rv == CKR_USER_ALREADY_LOGGED_IN || token_check("C_Login", rv) == 0) {
      ts->open_count = 1;
      return 1;
    }
    // Each wrong PIN costs the token one of its few tries.
    if (rv >= CKR_PIN_INCORRECT && rv <= CKR_PIN_LOCKED) break;
    if (i + 1 < kTries) apr_sleep(kRetryPause);
  }
  log_info("closing token session..");
  token_check("C_CloseSession", f->C_CloseSession(ts->session));
  ts->session = CK_INVALID_HANDLE;
  return -1;
}

void token_session_close(TokenSession* ts) {
  if (ts->open_count == 0) return;
  if (--ts->open_count > 0) return;
  CK_FUNCTION_LIST_PTR f = ts->module->functions;
  log_info("closing token session..");
  token_check("C_Logout", f->C_Logout(ts->session));
  token_check("C_CloseSession", f->C_CloseSession(ts->session));
  ts->session = CK_INVALID_HANDLE;
}

int token_find_object(TokenSession* ts, int kind, CK_OBJECT_HANDLE* out) {
  CK_OBJECT_CLASS cls = kind == TOKEN_OBJECT_CERTIFICATE ? CKO_CERTIFICATE : CKO_PRIVATE_KEY;
  CK_BBOOL on_token = CK_TRUE;
  CK_KEY_TYPE key_type = CKK_RSA;
  CK_ATTRIBUTE tmpl[] = {
      {CKA_CLASS, &cls, sizeof(cls)},
      {CKA_TOKEN, &on_token, sizeof(on_token)},
      {CKA_KEY_TYPE, &key_type, sizeof(key_type)},
  };
  CK_ULONG tmpl_count = kind == TOKEN_OBJECT_CERTIFICATE ? 2 : 3;
  const char* label = kind == TOKEN_OBJECT_CERTIFICATE ? "certificate" : "private key";
  CK_FUNCTION_LIST_PTR f = ts->module->functions;

  log_info("finding %s", label);
  if (token_check("C_FindObjectsInit", f->C_FindObjectsInit(ts->session, tmpl, tmpl_count)) != 0) return -1;
  CK_OBJECT_HANDLE found[2];
  CK_ULONG count = 0;
  int rc = token_check("C_FindObjects", f->C_FindObjects(ts->session, found, 2, &count));
  if (token_check("C_FindObjectsFinal", f->C_FindObjectsFinal(ts->session)) != 0) rc = -1;
  if (rc != 0) return -1;
  if (count == 0) {
    log_error("%s not found", label);
    return -1;
  }
  if (count > 1) log_info("multiple %ss", label);
  *out = found[0];
  return 0;
}

int token_fetch_certificate(TokenSession* ts, apr_pool_t* attempt_pool) {
  int rc = token_session_open(ts);
  if (rc < 0) {
    ask_terminate(ts);
    return -1;
  }
  if (rc == 0) return -1;
  X509* cert = read_certificate(ts);
  if (!cert || take_public_half(ts, cert) != 0) {
    X509_free(cert);
    token_session_close(ts);
    ask_terminate(ts);
    return -1;
  }
  auto* hold = static_cast<AttemptHold*>(apr_palloc(attempt_pool, sizeof(AttemptHold)));
  hold->ts = ts;
  hold->cert = cert;
  if (ts->auth) ts->auth->certificate = cert;
  apr_pool_cleanup_register(attempt_pool, hold, release_attempt, apr_pool_cleanup_null);
  return 0;
}

void token_set_stop(TokenSession* ts, int stop) { std::atomic_ref<int>(ts->stop).store(stop ? 1 : 0); }

int token_stopping(const TokenSession* ts) { return std::atomic_ref<int>(const_cast<TokenSession*>(ts)->stop).load(); }

void token_set_terminate(TokenSession* ts, token_terminate_fn fn, void* ctx) {
  ts->terminate = fn;
  ts->terminate_ctx = ctx;
}

int token_rsa_sign(int type, const unsigned char* m, unsigned int m_len, unsigned char* sigret, unsigned int* siglen,
                   const RSA* rsa) {
  // TLS 1.0 and 1.1 hand over the joined MD5 and SHA-1 digests, which are
  // signed as they are; every other digest needs its DigestInfo in front.
  unsigned char info[128];
  const unsigned char* data = m;
  size_t len = m_len;
  if (type != NID_md5_sha1) {
    int n = digest_info(type, m, m_len, info, sizeof(info));
    if (n < 0) {
      log_error("token sign: unsupported digest %d", type);
      raise_rsa_failure();
      return 0;
    }
    data = info;
    len = (size_t)n;
  }
  int size = RSA_size(rsa);
  int n = size > 0 ? token_private_op(session_of(rsa), CKM_RSA_PKCS, data, len, sigret, (size_t)size) : -1;
  if (n < 0) {
    raise_rsa_failure();
    return 0;
  }
  *siglen = (unsigned)n;
  return 1;
}
