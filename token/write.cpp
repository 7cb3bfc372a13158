// Putting a certificate with its key, or a connection profile, onto a token
// and taking them off again. Nothing here trusts its input: a profile is
// parsed and stripped before it is stored, a key is checked against its
// certificate before anything on the token is removed.
#include <libxml/parser.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "internal.h"

namespace vlntoken {
namespace {

// The readers' buffers (token.cpp): larger objects could be written but never
// read back.
constexpr size_t kMaxCertificate = 4096;
constexpr size_t kMaxProfile = 4096;

bool loaded(const TokenData* h) { return h && h->module && h->module->initialised; }

// NONET: a profile never makes the library fetch anything.
bool well_formed(const std::string& text) {
  xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "profile", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!doc) return false;
  xmlFreeDoc(doc);
  return true;
}

// Profile documents come from the GUI's writer ("UTF-8") or were written by
// hand after the profile format ("utf-8"); both spell the same declaration.
bool is_profile_document(const std::string& text) {
  bool declared = text.find("<?xml version=\"1.0\" encoding=\"UTF-8\"?>") != std::string::npos ||
                  text.find("<?xml version=\"1.0\" encoding=\"utf-8\"?>") != std::string::npos;
  if (!declared) return false;
  if (text.find("<Velarn version=") == std::string::npos && text.find("<profile version=") == std::string::npos)
    return false;
  return well_formed(text);
}

// The token never carries the login method, module path, PIN or the local
// settings: whoever holds the token gets only what is needed to connect.
constexpr const char* kNeverStored[] = {"authtype", "driver", "pin", "enc_pin", "reconnect", "setting"};

bool never_stored(const xmlChar* name) {
  // A prefix the parser could not bind stays in the name; the secret is the same.
  if (const xmlChar* colon = xmlStrchr(name, ':')) name = colon + 1;
  for (const char* n : kNeverStored)
    if (xmlStrEqual(name, reinterpret_cast<const xmlChar*>(n))) return true;
  return false;
}

// Drops every element (and attribute) of those names wherever it sits, and
// every comment and processing instruction: a commented-out PIN is still a
// PIN in a public object, and a profile needs neither.
void strip_node(xmlNodePtr node) {
  for (xmlNodePtr c = node->children; c;) {
    xmlNodePtr next = c->next;
    if ((c->type == XML_ELEMENT_NODE && never_stored(c->name)) || c->type == XML_COMMENT_NODE ||
        c->type == XML_PI_NODE) {
      xmlUnlinkNode(c);
      xmlFreeNode(c);
    } else if (c->type == XML_ELEMENT_NODE) {
      for (xmlAttrPtr a = c->properties; a;) {
        xmlAttrPtr an = a->next;
        if (never_stored(a->name)) xmlRemoveProp(a);
        a = an;
      }
      strip_node(c);
    }
    c = next;
  }
}

// The text to store, re-serialised from the stripped tree (so that nothing
// the parser skipped survives), or false when the document cannot be made
// safe: one
// with a document type (its entities could carry anything) or one that still
// shows such a tag as text afterwards (a CDATA section, say).
bool stored_text(const std::string& text, std::string* out) {
  xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "profile", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!doc) return false;
  bool ok = doc->intSubset == nullptr && doc->extSubset == nullptr;
  if (ok) {
    strip_node(reinterpret_cast<xmlNodePtr>(doc));
    xmlChar* mem = nullptr;
    int len = 0;
    xmlDocDumpMemoryEnc(doc, &mem, &len, "UTF-8");
    ok = mem && len > 0;
    if (ok) out->assign(reinterpret_cast<const char*>(mem), static_cast<size_t>(len));
    if (mem) {
      // The dump is profile text too; only the copy in *out is kept.
      OPENSSL_cleanse(mem, static_cast<size_t>(len));
      xmlFree(mem);
    }
  }
  xmlFreeDoc(doc);
  ElementSpan span;
  for (const char* n : kNeverStored)
    if (ok && find_element(*out, n, &span)) ok = false;
  return ok;
}

// Finds the stored profile (at most one) and destroys it; true when there was
// none or it is gone.
bool remove_profile(TokenData* h) {
  TokenModule* m = h->module;
  CK_OBJECT_HANDLE obj;
  CK_ULONG n = 0;
  if (find_profile_objects(h, &obj, 1, &n) != CKR_OK) return false;
  if (n == 0) return true;
  return P11(m, C_DestroyObject, m->session, obj) == CKR_OK;
}

// Every stored profile object (the readers' template), however many there are;
// false when the search failed, and then *out is not the whole set.
bool all_profile_objects(TokenData* h, std::vector<CK_OBJECT_HANDLE>* out) {
  out->clear();
  CK_OBJECT_HANDLE batch[16];
  CK_ULONG n = 0;
  // One search for all of them; find_profile_objects stops at its buffer.
  CK_OBJECT_CLASS cls = CKO_DATA;
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                         {CKA_TOKEN, &yes, sizeof yes},
                         {CKA_LABEL, const_cast<char*>(kProfileLabel), std::strlen(kProfileLabel)},
                         {CKA_APPLICATION, const_cast<char*>(kProfileApplication), std::strlen(kProfileApplication)}};
  TokenModule* m = h->module;
  if (P11(m, C_FindObjectsInit, m->session, tmpl, 4) != CKR_OK) return false;
  m->search_active = true;
  CK_RV rv;
  while ((rv = P11(m, C_FindObjects, m->session, batch, 16, &n)) == CKR_OK && n > 0)
    out->insert(out->end(), batch, batch + n);
  P11(m, C_FindObjectsFinal, m->session);
  m->search_active = false;
  return rv == CKR_OK;
}

// 0 when the first match was destroyed; 1 search failed; 2 none found;
// 3 destroy failed. Callers differ on whether "none" is a failure.
int remove_first(TokenData* h, CK_ATTRIBUTE* tmpl, CK_ULONG n_attrs) {
  TokenModule* m = h->module;
  CK_OBJECT_HANDLE obj;
  CK_ULONG n = 0;
  if (find_objects(h, tmpl, n_attrs, &obj, 1, &n) != CKR_OK) return 1;
  if (n == 0) return 2;
  return P11(m, C_DestroyObject, m->session, obj) == CKR_OK ? 0 : 3;
}

int remove_certificate(TokenData* h) {
  CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_TOKEN, &yes, sizeof yes}};
  return remove_first(h, tmpl, 2);
}

int remove_private_key(TokenData* h) {
  CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  CK_KEY_TYPE type = CKK_RSA;
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE tmpl[] = {
      {CKA_CLASS, &cls, sizeof cls}, {CKA_TOKEN, &yes, sizeof yes}, {CKA_KEY_TYPE, &type, sizeof type}};
  return remove_first(h, tmpl, 3);
}

void deleting(TokenData* h, const char* what) {
  std::string text = std::string(what) + "を削除しています";
  progress_text(h, text.c_str());
}

// One RSA value as unsigned big-endian bytes of minimal length, the form
// PKCS#11 big-integer attributes take.
struct RsaValue {
  unsigned char bytes[256];
  CK_ULONG len = 0;
};

bool rsa_value(EVP_PKEY* key, const char* name, size_t max, RsaValue* out) {
  BIGNUM* bn = nullptr;
  if (!EVP_PKEY_get_bn_param(key, name, &bn) || !bn) return false;
  int n = BN_num_bytes(bn);
  bool ok = n > 0 && static_cast<size_t>(n) <= max && static_cast<size_t>(n) <= sizeof out->bytes;
  if (ok) out->len = static_cast<CK_ULONG>(BN_bn2bin(bn, out->bytes));
  BN_clear_free(bn);
  return ok;
}

// The private values are wiped however the write ends.
struct RsaKey {
  RsaValue n, e, d, p, q, dp, dq, qinv;
  ~RsaKey() { OPENSSL_cleanse(this, sizeof *this); }
};

// Keys up to 2048 bits: modulus and private exponent up to 256 bytes, the
// primes and CRT values up to 128.
bool rsa_values(EVP_PKEY* key, RsaKey* k) {
  if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return false;
  return rsa_value(key, OSSL_PKEY_PARAM_RSA_N, 256, &k->n) && rsa_value(key, OSSL_PKEY_PARAM_RSA_E, 256, &k->e) &&
         rsa_value(key, OSSL_PKEY_PARAM_RSA_D, 256, &k->d) && rsa_value(key, OSSL_PKEY_PARAM_RSA_FACTOR1, 128, &k->p) &&
         rsa_value(key, OSSL_PKEY_PARAM_RSA_FACTOR2, 128, &k->q) &&
         rsa_value(key, OSSL_PKEY_PARAM_RSA_EXPONENT1, 128, &k->dp) &&
         rsa_value(key, OSSL_PKEY_PARAM_RSA_EXPONENT2, 128, &k->dq) &&
         rsa_value(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1, 128, &k->qinv);
}

}  // namespace
}  // namespace vlntoken

using namespace vlntoken;

extern "C" {

VLNTOKEN_API int TokenWriteConfig(TokenData* h, const char* text_in, const char* /*unused*/, int replace) {
  if (!loaded(h)) return TOKEN_ERR_MODULE;
  if (!text_in) return TOKEN_ERR_NOT_PROFILE;
  std::string text(text_in);
  if (!is_profile_document(text)) return TOKEN_ERR_NOT_PROFILE;
  // A profile that logs in some other way would be useless from the token.
  ElementSpan span;
  if (find_element(text, "authtype", &span)) {
    std::string auth = text.substr(span.text_begin, span.text_end - span.text_begin);
    if (!auth.empty() && auth.find("token") == std::string::npos) return TOKEN_ERR_AUTHTYPE;
  }
  TokenModule* m = h->module;
  int rc = open_session(h, false);
  if (rc) return rc;

  std::string stored;
  bool safe = stored_text(text, &stored);
  // The original may hold the PIN; only the stripped copy lives on.
  OPENSSL_cleanse(text.data(), text.size());
  if (!safe) {
    close_session(h);
    return TOKEN_ERR_NOT_PROFILE;
  }
  text.swap(stored);
  // What is stored must read back whole.
  if (text.size() > kMaxProfile) {
    OPENSSL_cleanse(text.data(), text.size());
    close_session(h);
    return TOKEN_ERR_DEVICE_MEMORY;
  }

  if (replace) {
    progress_show(h);
    deleting(h, "接続プロファイル");
    if (!remove_profile(h)) {
      // Writing anyway would leave two profiles; pretending success would
      // leave the old one.
      close_session(h);
      return TOKEN_ERR_PROFILE_REMOVE;
    }
  }

  // A failed create may still leave an object behind; only what this call
  // made may be taken away then, never a profile the user already had.
  std::vector<CK_OBJECT_HANDLE> before;
  bool before_known = all_profile_objects(h, &before);

  // The handle's field doubles as the value buffer, so that after success it
  // already shows what the token holds.
  std::memset(h->profile, 0, sizeof h->profile);
  std::memcpy(h->profile, text.data(), text.size());
  h->profile_found = 0;
  // Public, so that it can be read before login (TokenGetInfo); read-only, so
  // that it changes only by being replaced.
  CK_OBJECT_CLASS cls = CKO_DATA;
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  CK_ATTRIBUTE attrs[] = {{CKA_CLASS, &cls, sizeof cls},
                          {CKA_TOKEN, &yes, sizeof yes},
                          {CKA_PRIVATE, &no, sizeof no},
                          {CKA_MODIFIABLE, &no, sizeof no},
                          {CKA_LABEL, const_cast<char*>(kProfileLabel), std::strlen(kProfileLabel)},
                          {CKA_APPLICATION, const_cast<char*>(kProfileApplication), std::strlen(kProfileApplication)},
                          {CKA_VALUE, h->profile, text.size()}};
  CK_OBJECT_HANDLE obj = 0;
  CK_RV rv = P11(m, C_CreateObject, m->session, attrs, 7, &obj);
  int result;
  if (rv == CKR_OK) {
    h->profile_found = 1;
    fill_profile_fields(h);
    result = TOKEN_OK;
  } else if (rv == CKR_DEVICE_MEMORY) {
    // The token is full. What the module may have kept of the new object
    // goes; a profile that was there before stays.
    std::vector<CK_OBJECT_HANDLE> after;
    if (before_known && all_profile_objects(h, &after))
      for (CK_OBJECT_HANDLE o : after)
        if (std::find(before.begin(), before.end(), o) == before.end()) P11(m, C_DestroyObject, m->session, o);
    result = TOKEN_ERR_DEVICE_MEMORY;
  } else if (rv == CKR_USER_NOT_LOGGED_IN) {
    // Tokens that take no public objects without a login.
    result = TOKEN_ERR_LOGIN_REQUIRED;
  } else {
    result = static_cast<int>(rv);
  }
  close_session(h);
  return result;
}

VLNTOKEN_API int TokenDeleteConfig(TokenData* h) {
  if (!loaded(h)) return TOKEN_ERR_MODULE;
  TokenModule* m = h->module;
  int rc = open_session(h, false);
  if (rc) return rc;
  deleting(h, "接続プロファイル");
  CK_OBJECT_HANDLE obj;
  CK_ULONG n = 0;
  // Only what is gone is cleared from the handle.
  if (find_profile_objects(h, &obj, 1, &n) == CKR_OK && n == 1 && P11(m, C_DestroyObject, m->session, obj) == CKR_OK) {
    h->profile_found = 0;
    std::memset(h->profile, 0, sizeof h->profile);
    h->host[0] = h->port[0] = h->switch_name[0] = 0;
  }
  close_session(h);
  return TOKEN_OK;
}

VLNTOKEN_API int TokenWriteCertificate(TokenData* h, X509* cert, EVP_PKEY* key, int replace) {
  if (!loaded(h)) return TOKEN_ERR_MODULE;
  TokenModule* m = h->module;
  // The private key needs the logged-in R/W session TokenLogin left open;
  // opening one here would have no login.
  if (!m->session_open) {
    progress_hide(h);
    return TOKEN_ERR_OPEN_SESSION;
  }
  progress_show(h);
  // Checked before anything is removed or written, so that bad input never
  // leaves a certificate on the token without its key.
  RsaKey k;
  if (!cert) {
    close_session(h);
    return TOKEN_ERR_CERT_CREATE;
  }
  if (!rsa_values(key, &k) || X509_check_private_key(cert, key) != 1) {
    ERR_clear_error();
    close_session(h);
    return TOKEN_ERR_KEY_CREATE;
  }
  unsigned char* der = nullptr;
  int der_len = i2d_X509(cert, &der);
  if (der_len <= 0 || static_cast<size_t>(der_len) > kMaxCertificate) {
    OPENSSL_free(der);
    close_session(h);
    return TOKEN_ERR_CERT_CREATE;
  }

  int result = TOKEN_OK;
  // Nothing to replace is fine; one that stays would leave two.
  if (replace) {
    deleting(h, "証明書");
    int r = remove_certificate(h);
    if (r == 1 || r == 3) result = TOKEN_ERR_CERT_REMOVE;
  }

  char cn[40] = {0};
  if (X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn) < 0) cn[0] = 0;
  char label[40];
  std::memcpy(label, cn, sizeof cn);
  for (char& c : label)
    if (c == '@') c = ' ';
  // Label and subject carry the common name as text (the label without '@').
  CK_ULONG cn_len = std::strlen(cn);

  if (result == TOKEN_OK) {
    progress_text(h, "証明書を書き込んでいます");
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE ctype = CKC_X_509;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE attrs[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_CERTIFICATE_TYPE, &ctype, sizeof ctype},
                            {CKA_TOKEN, &yes, sizeof yes},
                            {CKA_LABEL, label, cn_len},
                            {CKA_SUBJECT, cn, cn_len},
                            {CKA_ID, h->key_id, strnlen(h->key_id, sizeof h->key_id)},
                            {CKA_VALUE, der, static_cast<CK_ULONG>(der_len)}};
    CK_OBJECT_HANDLE obj = 0;
    if (P11(m, C_CreateObject, m->session, attrs, 7, &obj) != CKR_OK) result = TOKEN_ERR_CERT_CREATE;
  }
  OPENSSL_free(der);

  if (result == TOKEN_OK) {
    if (h->certificate) X509_free(h->certificate);
    X509_up_ref(cert);
    h->certificate = cert;
    fill_certificate_fields(h);
    if (replace) {
      deleting(h, "秘密鍵");
      int r = remove_private_key(h);
      if (r == 1 || r == 3) result = TOKEN_ERR_KEY_REMOVE;
    }
  }

  if (result == TOKEN_OK) {
    progress_text(h, "秘密鍵を書き込んでいます");
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_KEY_TYPE type = CKK_RSA;
    CK_BBOOL yes = CK_TRUE;
    char subject[40] = {0};
    std::memcpy(subject, cn, cn_len);
    CK_ATTRIBUTE attrs[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_KEY_TYPE, &type, sizeof type},
                            {CKA_TOKEN, &yes, sizeof yes},
                            // Readable only after login, never exportable.
                            {CKA_PRIVATE, &yes, sizeof yes},
                            {CKA_SENSITIVE, &yes, sizeof yes},
                            {CKA_SUBJECT, subject, sizeof subject},
                            {CKA_ID, h->key_id, strnlen(h->key_id, sizeof h->key_id)},
                            {CKA_SIGN, &yes, sizeof yes},
                            {CKA_MODULUS, k.n.bytes, k.n.len},
                            {CKA_PUBLIC_EXPONENT, k.e.bytes, k.e.len},
                            {CKA_PRIVATE_EXPONENT, k.d.bytes, k.d.len},
                            {CKA_PRIME_1, k.p.bytes, k.p.len},
                            {CKA_PRIME_2, k.q.bytes, k.q.len},
                            {CKA_EXPONENT_1, k.dp.bytes, k.dp.len},
                            {CKA_EXPONENT_2, k.dq.bytes, k.dq.len},
                            {CKA_COEFFICIENT, k.qinv.bytes, k.qinv.len}};
    CK_OBJECT_HANDLE obj = 0;
    if (P11(m, C_CreateObject, m->session, attrs, 16, &obj) != CKR_OK)
      result = TOKEN_ERR_KEY_CREATE;
    else
      h->cert_loaded = 1;
  }
  close_session(h);
  return result;
}

VLNTOKEN_API int TokenDeleteCertificate(TokenData* h) {
  if (!loaded(h)) return TOKEN_ERR_MODULE;
  if (!h->module->session_open) {
    progress_hide(h);
    return TOKEN_ERR_OPEN_SESSION;
  }
  progress_show(h);
  deleting(h, "証明書");
  int result = TOKEN_OK;
  if (remove_certificate(h) != 0) {
    result = TOKEN_ERR_CERT_REMOVE;
  } else {
    h->cert_loaded = 0;
    if (h->certificate) X509_free(h->certificate);
    h->certificate = nullptr;
    h->cert_subject[0] = h->cert_issuer[0] = h->cert_expiry[0] = 0;
    deleting(h, "秘密鍵");
    if (remove_private_key(h) != 0)
      result = TOKEN_ERR_KEY_REMOVE;
    else
      h->key_found = 0;
  }
  close_session(h);
  return result;
}

}  // extern "C"
