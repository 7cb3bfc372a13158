// Session profile reader; the enc_ values it meets go through the shared codec.
#include "profile.h"

#include <apr_strings.h>
#include <libxml/parser.h>
#include <libxml/xpath.h>
#include <libxml/xmlerror.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec/value_codec.h"
#include "log.h"

const CodeName profile_change_types[] = {{CHANGE_ROUND_ROBIN, "roundRobin"}, {CHANGE_RANDOM, "random"}, {0, nullptr}};
const CodeName profile_auth_types[] = {
    {AUTH_PASSWORD, "password"}, {AUTH_X509, "x509"}, {AUTH_TOKEN, "token"}, {AUTH_TICKET, "ticket"}, {0, nullptr}};
const CodeName profile_device_types[] = {{DEVICE_TAP, "tap"}, {DEVICE_BRIDGE, "bridge"}, {0, nullptr}};

namespace {

const char kMask[] = "********";

// Clears the text of every node below node: the document held passwords and
// PINs, and freed memory keeps its bytes.
void wipe_nodes(xmlNodePtr node) {
  for (; node; node = node->next) {
    if (node->content) OPENSSL_cleanse(node->content, xmlStrlen(node->content));
    if (node->type == XML_ELEMENT_NODE) wipe_nodes(node->children);
  }
}

struct XmlDoc {
  xmlDocPtr doc = nullptr;
  xmlXPathContextPtr xpath = nullptr;
  ~XmlDoc() {
    if (xpath) xmlXPathFreeContext(xpath);
    if (doc) {
      wipe_nodes(doc->children);
      xmlFreeDoc(doc);
    }
  }
};

// Elements whose text a peer other than root never gets back.
const char* const kSecretElements[] = {"password",      "enc_password",      "pin",        "enc_pin", "ticket",
                                       "proxyPassword", "enc_proxyPassword", "privatekey", nullptr};

bool is_secret_element(const xmlChar* name) {
  for (const char* const* e = kSecretElements; *e; ++e)
    if (xmlStrcmp(name, BAD_CAST * e) == 0) return true;
  return false;
}

// Removes secret elements and comments (a comment may hold an old secret)
// wherever they stand.
void strip_secret_nodes(xmlNodePtr node) {
  while (node) {
    xmlNodePtr next = node->next;
    if ((node->type == XML_ELEMENT_NODE && is_secret_element(node->name)) || node->type == XML_COMMENT_NODE) {
      wipe_nodes(node->children);
      if (node->content) OPENSSL_cleanse(node->content, xmlStrlen(node->content));
      xmlUnlinkNode(node);
      xmlFreeNode(node);
    } else if (node->type == XML_ELEMENT_NODE) {
      strip_secret_nodes(node->children);
    }
    node = next;
  }
}

void log_xml_error() {
  const xmlError* err = xmlGetLastError();
  const char* text = err && err->message ? err->message : "unknown error";
  // libxml2 ends its messages with a line feed; the log adds its own.
  size_t n = strlen(text);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) --n;
  log_error("xml error: %.*s", (int)n, text);
}

// The string value of the first node at path, copied into pool; NULL when
// nothing matches.
const char* xml_text(XmlDoc& x, apr_pool_t* pool, const char* path) {
  xmlXPathObjectPtr res = xmlXPathEvalExpression(BAD_CAST path, x.xpath);
  if (!res) return nullptr;
  const char* value = nullptr;
  if (res->type == XPATH_NODESET && res->nodesetval && res->nodesetval->nodeNr > 0) {
    xmlChar* s = xmlXPathCastNodeToString(res->nodesetval->nodeTab[0]);
    if (s) {
      value = apr_pstrdup(pool, reinterpret_cast<const char*>(s));
      OPENSSL_cleanse(s, xmlStrlen(s));
      xmlFree(s);
    }
  }
  xmlXPathFreeObject(res);
  return value;
}

// Leading decimal number, 0 when the text does not start with one; -1 when the
// element is absent. Out-of-range numbers saturate instead of being undefined.
int xml_int(XmlDoc& x, apr_pool_t* pool, const char* path) {
  const char* s = xml_text(x, pool, path);
  if (!s) return -1;
  long v = strtol(s, nullptr, 10);
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  return (int)v;
}

// A port element: absent or -1 gives the default, text without a number 0;
// anything else outside 0..65535 is refused rather than wrapped into another port.
int xml_port(XmlDoc& x, apr_pool_t* pool, const char* name, int fallback, int* port) {
  char path[32];
  snprintf(path, sizeof(path), "/profile/%s", name);
  const char* s = xml_text(x, pool, path);
  *port = s ? xml_int(x, pool, path) : -1;
  if (*port == -1) {
    *port = fallback;
    return 0;
  }
  if (*port < 0 || *port > 65535) {
    log_error("invalid value for %s: %s", name, s);
    return -1;
  }
  return 0;
}

const char* required(XmlDoc& x, apr_pool_t* pool, const char* path) {
  const char* s = xml_text(x, pool, path);
  if (!s) log_error("element missing: %s", path);
  return s;
}

// A secret: the enc_ element when present, else the plain one (required).
const char* secret(XmlDoc& x, apr_pool_t* pool, const char* enc_path, const char* plain_path) {
  const char* enc = xml_text(x, pool, enc_path);
  if (enc) return profile_decrypt(pool, enc);
  return required(x, pool, plain_path);
}

apr_status_t free_x509(void* p) {
  X509_free(static_cast<X509*>(p));
  return APR_SUCCESS;
}
apr_status_t free_pkey(void* p) {
  EVP_PKEY_free(static_cast<EVP_PKEY*>(p));
  return APR_SUCCESS;
}

// An encrypted key in a profile must fail, not prompt on a terminal.
int no_passphrase(char*, int, int, void*) { return -1; }

void log_pem_failure(const char* path) {
  if (ERR_peek_error() == 0) {
    log_error("%s: %s", path, "no PEM data");
    return;
  }
  log_ssl_errors(path);
}

BIO* text_bio(const char* text) { return BIO_new_mem_buf(text, (int)strlen(text)); }

int parse_x509_auth(XmlDoc& x, apr_pool_t* pool, AuthRecord* auth) {
  const char* key_text = required(x, pool, "/profile/privatekey");
  if (!key_text) return -1;
  ERR_clear_error();
  BIO* bio = text_bio(key_text);
  EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, no_passphrase, nullptr) : nullptr;
  BIO_free(bio);
  if (!key) {
    log_pem_failure("/profile/privatekey");
    return -1;
  }
  apr_pool_cleanup_register(pool, key, free_pkey, apr_pool_cleanup_null);
  auth->private_key = key;
  log_debug(" privatekey = (ok)");

  const char* cert_text = required(x, pool, "/profile/certificate");
  if (!cert_text) return -1;
  ERR_clear_error();
  bio = text_bio(cert_text);
  X509* cert = bio ? PEM_read_bio_X509(bio, nullptr, no_passphrase, nullptr) : nullptr;
  BIO_free(bio);
  if (!cert) {
    log_pem_failure("/profile/certificate");
    return -1;
  }
  apr_pool_cleanup_register(pool, cert, free_x509, apr_pool_cleanup_null);
  auth->certificate = cert;
  log_debug(" certificate = (ok)");

  if (X509_check_private_key(cert, key) != 1) {
    ERR_clear_error();
    log_error("key/certificate mismatch");
    return -1;
  }
  return 0;
}

void parse_trust(const char* text, apr_pool_t* pool, PtrList* trust) {
  BIO* bio = text_bio(text);
  if (!bio) return;
  for (;;) {
    X509* cert = PEM_read_bio_X509(bio, nullptr, no_passphrase, nullptr);
    if (!cert) break;
    apr_pool_cleanup_register(pool, cert, free_x509, apr_pool_cleanup_null);
    ptrlist_append(trust, cert);
    log_debug(" trust = (ok)");
  }
  BIO_free(bio);
  // The read that finds no further block leaves its error behind.
  ERR_clear_error();
}

int parse_mac_list(XmlDoc& x, apr_pool_t* pool, const char* path, PtrList* list) {
  xmlXPathObjectPtr res = xmlXPathEvalExpression(BAD_CAST path, x.xpath);
  if (!res) return 0;
  int rc = 0;
  if (res->type == XPATH_NODESET && res->nodesetval) {
    for (int i = 0; i < res->nodesetval->nodeNr; ++i) {
      xmlChar* s = xmlNodeGetContent(res->nodesetval->nodeTab[i]);
      unsigned char* mac = static_cast<unsigned char*>(apr_palloc(pool, 6));
      int ok = profile_mac_parse(s ? reinterpret_cast<const char*>(s) : "", mac);
      if (s) xmlFree(s);
      if (ok != 0) {
        rc = -1;
        break;
      }
      ptrlist_append(list, mac);
    }
  }
  xmlXPathFreeObject(res);
  return rc;
}

int parse_document(XmlDoc& x, SessionProfile* p) {
  apr_pool_t* pool = p->pool;
  char path[32];

  log_debug("Session Profile:");

  const char* host = required(x, pool, "/profile/host");
  if (!host) return -1;
  int port;
  if (xml_port(x, pool, "port", PROFILE_DEFAULT_PORT, &port) != 0) return -1;
  auto* first = static_cast<ServerEntry*>(apr_palloc(pool, sizeof(ServerEntry)));
  first->host = host;
  first->port = (uint16_t)port;
  ptrlist_append(p->servers, first);
  log_debug(" host = %s", host);
  log_debug(" port = %d", port);

  for (int n = 2; n <= 99; ++n) {
    snprintf(path, sizeof(path), "/profile/host%02d", n);
    const char* h = xml_text(x, pool, path);
    if (!h) continue;
    snprintf(path, sizeof(path), "port%02d", n);
    int pn;
    if (xml_port(x, pool, path, PROFILE_DEFAULT_PORT, &pn) != 0) return -1;
    auto* e = static_cast<ServerEntry*>(apr_palloc(pool, sizeof(ServerEntry)));
    e->host = h;
    e->port = (uint16_t)pn;
    ptrlist_append(p->servers, e);
    log_debug(" host%02d = %s", n, h);
    log_debug(" port%02d = %d", n, pn);
  }

  if (const char* ct = xml_text(x, pool, "/profile/changeType")) {
    int v = codename_code(profile_change_types, ct, -1);
    if (v < 0) {
      log_error("invalid value for changeType: %s", ct);
      return -1;
    }
    p->change_type = v;
    log_debug(" changeType = %s", ct);
  }

  if ((p->proxy_host = xml_text(x, pool, "/profile/proxyHost")) != nullptr) log_debug(" proxyHost = %s", p->proxy_host);
  int proxy_port;
  if (xml_port(x, pool, "proxyPort", -1, &proxy_port) != 0) return -1;
  if (proxy_port != -1) {
    p->proxy_port = (uint16_t)proxy_port;
    log_debug(" proxyPort = %d", proxy_port);
  }
  if ((p->proxy_username = xml_text(x, pool, "/profile/proxyUsername")) != nullptr) {
    log_debug(" proxyUsername = %s", p->proxy_username);
    p->proxy_password = secret(x, pool, "/profile/enc_proxyPassword", "/profile/proxyPassword");
    if (!p->proxy_password) return -1;
    log_debug(" proxyPassword = %s", kMask);
  }

  const char* authtype = required(x, pool, "/profile/authtype");
  if (!authtype) return -1;
  log_debug(" authtype = %s", authtype);
  AuthRecord* auth = &p->auth;
  if (strcmp(authtype, "ticket") != 0) {
    auth->switch_name = required(x, pool, "/profile/switch");
    if (!auth->switch_name) return -1;
    log_debug(" switch = %s", auth->switch_name);
  }
  auth->type = codename_code(profile_auth_types, authtype, 0);
  switch (auth->type) {
    case AUTH_PASSWORD:
      auth->username = required(x, pool, "/profile/username");
      if (!auth->username) return -1;
      log_debug(" username = %s", auth->username);
      auth->password = secret(x, pool, "/profile/enc_password", "/profile/password");
      if (!auth->password) return -1;
      log_debug(" password = %s", kMask);
      break;
    case AUTH_X509:
      if (parse_x509_auth(x, pool, auth) != 0) return -1;
      break;
    case AUTH_TOKEN:
      auth->driver = required(x, pool, "/profile/driver");
      if (!auth->driver) return -1;
      log_debug(" driver = %s", auth->driver);
      auth->pin = secret(x, pool, "/profile/enc_pin", "/profile/pin");
      if (!auth->pin) return -1;
      log_debug(" pin = %s", kMask);
      break;
    case AUTH_TICKET:
      auth->password = required(x, pool, "/profile/ticket");
      if (!auth->password) return -1;
      // The ticket is handed over as the password: it is as secret as one.
      log_debug(" ticket = %s", kMask);
      break;
    default: log_error("invalid authtype: %s", authtype); return -1;
  }

  if (const char* trust = xml_text(x, pool, "/profile/trust")) parse_trust(trust, pool, p->trust);

  if (const char* ciphers = xml_text(x, pool, "/profile/ciphers")) {
    p->ciphers = ciphers;
    log_debug(" ciphers = %s", ciphers);
  }

  if (const char* dt = xml_text(x, pool, "/profile/deviceType")) {
    int v = codename_code(profile_device_types, dt, -1);
    if (v < 0) {
      log_error("invalid value for deviceType: %s", dt);
      return -1;
    }
    p->device_type = v;
    log_debug(" deviceType = %s", dt);
  }
  if ((p->device_name = xml_text(x, pool, "/profile/deviceName")) != nullptr)
    log_debug(" deviceName = %s", p->device_name);

  p->reconnect = xml_int(x, pool, "/profile/reconnect");
  if (p->reconnect == -1) p->reconnect = 0;

  if (parse_mac_list(x, pool, "/profile/allow", p->allow) != 0) return -1;
  if (parse_mac_list(x, pool, "/profile/deny", p->deny) != 0) return -1;
  return 0;
}

}  // namespace

int profile_mac_parse(const char* text, unsigned char mac[6]) {
  const char* pos = text;
  for (int i = 0; i < 6; ++i) {
    char* end = nullptr;
    long v = strtol(pos, &end, 16);
    // A byte without any digit would silently read as 00.
    if (end == pos) {
      log_error("invalid mac address: %s", text);
      return -1;
    }
    mac[i] = (unsigned char)(v & 0xff);
    pos = end;
    if (*pos == ':') ++pos;
  }
  if (*pos != '\0') {
    log_error("invalid mac address: %s", text);
    return -1;
  }
  return 0;
}

char* profile_decrypt(apr_pool_t* pool, const char* encoded) {
  size_t len = strlen(encoded);
  size_t cap = velarn::codec::decoded_capacity(len);
  char* out = static_cast<char*>(apr_palloc(pool, cap));
  size_t got = 0;
  switch (velarn::codec::decode(encoded, len, out, cap, &got)) {
    case velarn::codec::DecodeResult::Ok: break;
    case velarn::codec::DecodeResult::NotBase64:
      // What decoded up to the fault is kept, as before; the log says the
      // value is not what its writer meant.
      log_error("invalid encoded value: not Base64 after %lu bytes", static_cast<unsigned long>(got));
      break;
    case velarn::codec::DecodeResult::Failed:
      log_ssl_errors("enc_ decoder");
      log_error("invalid encoded value: cannot be decoded");
      return nullptr;
  }
  return out;
}

char* profile_encrypt(apr_pool_t* pool, const char* plain) {
  size_t n = strlen(plain);
  size_t size = velarn::codec::encoded_size(n);
  char* out = static_cast<char*>(apr_palloc(pool, size));
  if (velarn::codec::encode(plain, n, out, size) < 0) {
    log_ssl_errors("enc_ encoder");
    return nullptr;
  }
  return out;
}

int profile_parse(apr_pool_t* pool, const char* text, size_t len, SessionProfile** out) {
  *out = nullptr;
  auto* p = static_cast<SessionProfile*>(apr_pcalloc(pool, sizeof(SessionProfile)));
  p->pool = pool;
  p->servers = ptrlist_create(pool);
  p->change_type = CHANGE_ROUND_ROBIN;
  p->proxy_port = PROFILE_DEFAULT_PROXY_PORT;
  p->trust = ptrlist_create(pool);
  p->ciphers = PROFILE_DEFAULT_CIPHERS;
  p->device_type = DEVICE_TAP;
  p->allow = ptrlist_create(pool);
  p->deny = ptrlist_create(pool);

  XmlDoc x;
  xmlResetLastError();
  if (len > (size_t)INT_MAX) {
    log_error("xml error: %s", "document too large");
    return -1;
  }
  x.doc = xmlReadMemory(text, (int)len, nullptr, nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!x.doc) {
    log_xml_error();
    return -1;
  }
  x.xpath = xmlXPathNewContext(x.doc);
  if (!x.xpath) {
    log_xml_error();
    return -1;
  }
  p->text = apr_pstrmemdup(pool, text, len);
  p->text_len = len;

  if (parse_document(x, p) != 0) return -1;
  *out = p;
  return 0;
}

char* profile_without_secrets(apr_pool_t* pool, const char* text, size_t len) {
  if (len > (size_t)INT_MAX) return nullptr;
  XmlDoc x;
  x.doc = xmlReadMemory(text, (int)len, nullptr, nullptr, XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!x.doc) return nullptr;
  strip_secret_nodes(x.doc->children);
  xmlChar* out = nullptr;
  int out_len = 0;
  xmlDocDumpMemory(x.doc, &out, &out_len);
  if (!out) return nullptr;
  char* copy = apr_pstrmemdup(pool, reinterpret_cast<const char*>(out), (apr_size_t)out_len);
  xmlFree(out);
  return copy;
}

namespace {
void wipe_text(const char* s) {
  if (s) OPENSSL_cleanse(const_cast<char*>(s), strlen(s));
}
}  // namespace

void profile_wipe(SessionProfile* p) {
  if (!p) return;
  if (p->text) OPENSSL_cleanse(const_cast<char*>(p->text), p->text_len);
  wipe_text(p->auth.password);
  wipe_text(p->auth.pin);
  wipe_text(p->proxy_password);
}
