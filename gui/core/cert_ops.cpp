#include "cert_ops.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <cstring>
#include <ctime>
#include <memory>

namespace vlngui::cert {

namespace {

template <class T, void (*F)(T*)>
struct Deleter {
  void operator()(T* p) const { F(p); }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;

QString lastError() {
  unsigned long e = ERR_peek_last_error();
  char buf[256] = {};
  if (e) ERR_error_string_n(e, buf, sizeof buf);
  ERR_clear_error();
  return QString::fromUtf8(buf);
}

BioPtr memBio(const QByteArray& bytes) { return BioPtr(BIO_new_mem_buf(bytes.constData(), int(bytes.size()))); }

X509Ptr readCert(const QByteArray& bytes) {
  if (bytes.isEmpty()) return nullptr;
  BioPtr bio = memBio(bytes);
  if (!bio) return nullptr;
  X509* x = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
  if (!x) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    x = d2i_X509(nullptr, &p, long(bytes.size()));
  }
  ERR_clear_error();
  return X509Ptr(x);
}

QString firstEntry(X509_NAME* name, std::initializer_list<int> nids) {
  for (int nid : nids) {
    int at = X509_NAME_get_index_by_NID(name, nid, -1);
    if (at < 0) continue;
    ASN1_STRING* s = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, at));
    unsigned char* utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, s);
    if (n < 0) continue;
    QString out = QString::fromUtf8(reinterpret_cast<char*>(utf8), n);
    OPENSSL_free(utf8);
    return out;
  }
  return QString();
}

// UTC times of years 50 to 80 are refused: the two-digit year is ambiguous
// there and the certificates this client meets never carry such dates.
int localDate(const ASN1_TIME* t, QString* out) {
  if (!t) return kNoValidity;
  if (ASN1_STRING_type(t) == V_ASN1_UTCTIME) {
    const unsigned char* d = ASN1_STRING_get0_data(t);
    if (ASN1_STRING_length(t) < 2) return kValidityConvert;
    int yy = (d[0] - '0') * 10 + (d[1] - '0');
    if (yy >= 50 && yy <= 80) return kValidityConvert;
  }
  struct tm utc = {};
  if (!ASN1_TIME_to_tm(t, &utc)) return kValidityConvert;
  time_t when = timegm(&utc);
  struct tm local = {};
  if (!localtime_r(&when, &local)) return kValidityConvert;
  *out = QStringLiteral("%1/%2/%3").arg(local.tm_year + 1900).arg(local.tm_mon + 1).arg(local.tm_mday);
  return kDecodeOk;
}

struct PasswordArg {
  QByteArray password;
  bool asked = false;
};

int passwordCallback(char* buf, int size, int, void* u) {
  auto* arg = static_cast<PasswordArg*>(u);
  arg->asked = true;
  int n = int(std::min<qsizetype>(arg->password.size(), std::min(size, 259)));
  std::memcpy(buf, arg->password.constData(), size_t(n));
  return n;
}

}  // namespace

int DecodeCertificate(const QByteArray& bytes, CertInfo* info, QString* error) {
  if (bytes.isEmpty()) return kNoInput;
  X509Ptr x = readCert(bytes);
  if (!x) {
    if (error) *error = lastError();
    return kNotCertificate;
  }
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdLen = 0;
  if (!X509_digest(x.get(), EVP_sha1(), md, &mdLen)) {
    if (error) *error = lastError();
    return kNotCertificate;
  }
  CertInfo r;
  for (unsigned i = 0; i < mdLen; ++i) r.fingerprint += QStringLiteral("%1 ").arg(md[i], 2, 16, QChar('0'));
  r.issuer =
      firstEntry(X509_get_issuer_name(x.get()), {NID_commonName, NID_organizationalUnitName, NID_organizationName});
  if (r.issuer.isEmpty()) return kNoIssuerName;
  int rc = localDate(X509_get0_notBefore(x.get()), &r.notBefore);
  if (rc == kDecodeOk) rc = localDate(X509_get0_notAfter(x.get()), &r.notAfter);
  if (rc != kDecodeOk) {
    if (error) *error = rc == kNoValidity ? QString() : QStringLiteral("invalid time");
    return rc;
  }
  r.subject =
      firstEntry(X509_get_subject_name(x.get()), {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                                                  NID_stateOrProvinceName, NID_localityName, NID_countryName});
  if (r.subject.isEmpty()) return kNoSubjectName;
  if (info) *info = r;
  return kDecodeOk;
}

bool IsCertificate(const QByteArray& bytes) { return readCert(bytes) != nullptr; }

QString SubjectShortName(const QByteArray& bytes) {
  X509Ptr x = readCert(bytes);
  if (!x) return QString();
  return firstEntry(X509_get_subject_name(x.get()), {NID_commonName, NID_organizationName});
}

QStringList SplitPem(const QString& text) {
  static const QString kEnd = QStringLiteral("-----END CERTIFICATE-----");
  QStringList out;
  qsizetype from = 0;
  for (;;) {
    qsizetype at = text.indexOf(kEnd, from);
    if (at < 0) break;
    QString one = text.mid(from, at + kEnd.size() - from).trimmed();
    if (!one.isEmpty()) out << one;
    from = at + kEnd.size();
  }
  return out;
}

QStringList CertificatesAsPem(const QByteArray& bytes) {
  QStringList out = SplitPem(QString::fromUtf8(bytes));
  for (const QString& one : out)
    if (!IsCertificate(one.toUtf8())) return {};
  if (!out.isEmpty()) return out;
  X509Ptr x = readCert(bytes);
  BioPtr mem(BIO_new(BIO_s_mem()));
  if (!x || !mem || !PEM_write_bio_X509(mem.get(), x.get())) return {};
  char* data = nullptr;
  long n = BIO_get_mem_data(mem.get(), &data);
  return {QString::fromUtf8(data, n).trimmed()};
}

KeyRead ReadPrivateKey(const QByteArray& bytes, const QString& password, QByteArray* pem) {
  if (bytes.isEmpty()) return KeyRead::Unreadable;
  PasswordArg arg{password.toUtf8().left(259)};
  BioPtr bio = memBio(bytes);
  KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, passwordCallback, &arg));
  if (!key && !arg.asked) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.constData());
    key.reset(d2i_AutoPrivateKey(nullptr, &p, long(bytes.size())));
  }
  ERR_clear_error();
  if (!key) {
    if (arg.asked) return password.isEmpty() ? KeyRead::NeedsPassword : KeyRead::WrongPassword;
    return KeyRead::Unreadable;
  }
  int type = EVP_PKEY_get_base_id(key.get());
  if (type != EVP_PKEY_RSA && type != EVP_PKEY_EC) return KeyRead::WrongKind;
  if (pem) {
    BioPtr out(BIO_new(BIO_s_mem()));
    if (!out || !PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr))
      return KeyRead::Unreadable;
    char* data = nullptr;
    long n = BIO_get_mem_data(out.get(), &data);
    *pem = QByteArray(data, n);
  }
  return KeyRead::Ok;
}

int KeyMatchesCertificate(const QByteArray& cert, const QByteArray& key, const QString& password) {
  X509Ptr x = readCert(cert);
  if (!x) return 0;
  QByteArray pem;
  if (ReadPrivateKey(key, password, &pem) != KeyRead::Ok) return kKeyUnreadable;
  BioPtr bio = memBio(pem);
  KeyPtr k(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  int rc = k && X509_check_private_key(x.get(), k.get()) == 1 ? kKeyMatches : kKeyMismatch;
  ERR_clear_error();
  return rc;
}

bool IsPkcs12(const QByteArray& bytes) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.constData());
  PKCS12* p12 = d2i_PKCS12(nullptr, &p, long(bytes.size()));
  ERR_clear_error();
  PKCS12_free(p12);
  return p12 != nullptr;
}

int ImportPkcs12(const QByteArray& bytes, const QString& password, QByteArray* certPem, QByteArray* keyPem,
                 QString* error) {
  certPem->clear();
  keyPem->clear();
  BioPtr in = memBio(bytes);
  if (!in) {
    if (error) *error = lastError();
    return kP12MemoryIn;
  }
  std::unique_ptr<PKCS12, Deleter<PKCS12, PKCS12_free>> p12(d2i_PKCS12_bio(in.get(), nullptr));
  if (!p12) {
    ERR_clear_error();
    return kP12Done;  // not a container at all: the caller's certificate check rejects it
  }
  EVP_PKEY* rawKey = nullptr;
  X509* rawCert = nullptr;
  QByteArray pw = password.toUtf8();
  if (!PKCS12_parse(p12.get(), pw.constData(), &rawKey, &rawCert, nullptr)) {
    if (error) *error = lastError();
    return kP12Password;
  }
  KeyPtr key(rawKey);
  X509Ptr cert(rawCert);
  auto take = [](BIO* b) {
    char* data = nullptr;
    long n = BIO_get_mem_data(b, &data);
    return QByteArray(data, n);
  };
  BioPtr cOut(BIO_new(BIO_s_mem())), kOut(BIO_new(BIO_s_mem()));
  if (!cOut || !kOut) {
    if (error) *error = lastError();
    return kP12MemoryOut;
  }
  if (!cert || !PEM_write_bio_X509(cOut.get(), cert.get())) {
    if (error) *error = lastError();
    return kP12CertWrite;
  }
  if (key && !PEM_write_bio_PrivateKey(kOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr)) {
    if (error) *error = lastError();
    return kP12MemoryOut;
  }
  *certPem = take(cOut.get());
  *keyPem = take(kOut.get());
  return kP12Done;
}

}  // namespace vlngui::cert
