// Keys and certificates made on the fly for profile and TLS tests.
#pragma once
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <memory>
#include <string>

namespace testcerts {

struct Key {
  EVP_PKEY* pkey = nullptr;
  Key() : pkey(EVP_EC_gen("P-256")) {}
  explicit Key(unsigned rsa_bits) : pkey(EVP_RSA_gen(rsa_bits)) {}
  ~Key() { EVP_PKEY_free(pkey); }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  std::string pem() const {
    BIO* b = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(b, pkey, nullptr, nullptr, 0, nullptr, nullptr);
    return drain(b);
  }
  // PEM encrypted under a passphrase (AES-256-CBC).
  std::string encrypted_pem(const char* pass) const {
    BIO* b = BIO_new(BIO_s_mem());
    PEM_write_bio_PKCS8PrivateKey(b, pkey, EVP_aes_256_cbc(), pass, (int)strlen(pass), nullptr, nullptr);
    return drain(b);
  }
  static std::string drain(BIO* b) {
    char* data = nullptr;
    long n = BIO_get_mem_data(b, &data);
    std::string s(data, (size_t)n);
    BIO_free(b);
    return s;
  }
};

struct Cert {
  X509* x509 = nullptr;
  // Signed by issuer (issuer_key), or self-signed when issuer is null. A CA
  // gets basicConstraints CA:TRUE.
  Cert(const std::string& cn, const Key& key, const Cert* issuer, const Key* issuer_key, bool ca, long serial = 1) {
    x509 = X509_new();
    X509_set_version(x509, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x509), serial);
    X509_gmtime_adj(X509_getm_notBefore(x509), -3600);
    X509_gmtime_adj(X509_getm_notAfter(x509), 86400L * 30);
    X509_set_pubkey(x509, key.pkey);
    X509_NAME* name = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(x509, issuer ? X509_get_subject_name(issuer->x509) : name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer ? issuer->x509 : x509, x509, nullptr, nullptr, 0);
    X509_EXTENSION* ext =
        X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
    X509_add_ext(x509, ext, -1);
    X509_EXTENSION_free(ext);
    X509_sign(x509, issuer_key ? issuer_key->pkey : key.pkey, EVP_sha256());
  }
  ~Cert() { X509_free(x509); }
  Cert(const Cert&) = delete;
  Cert& operator=(const Cert&) = delete;
  std::string pem() const {
    BIO* b = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(b, x509);
    return Key::drain(b);
  }
};

}  // namespace testcerts
