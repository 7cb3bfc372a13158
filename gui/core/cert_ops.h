// Certificates and keys as the settings and the certificate window need them,
// all on bytes held in memory (OpenSSL 3). Passwords and key material go only
// to OpenSSL; no function here logs or returns them in an error text.
#pragma once
#include <QByteArray>
#include <QString>
#include <QStringList>

namespace vlngui::cert {

// Result codes shared with the rest of the GUI.
enum : int {
  kDecodeOk = 256,
  kNoInput = 257,
  kNameConvert = 260,
  kNoSource = 261,
  kSourceRelease = 262,
  kNotCertificate = 263,
  kNoIssuerName = 264,
  kNoSubjectName = 265,
  kNoValidity = 266,
  kValidityConvert = 267,
  kKeyMismatch = 271,
  kKeyUnreadable = 272,
  kKeyMatches = 273,
  kP12Done = 512,
  kP12MemoryIn = 515,
  kP12MemoryOut = 516,
  kP12CertWrite = 520,
  kP12Password = 522,
};

struct CertInfo {
  QString fingerprint;  // SHA-1, "ab cd ... " (each pair followed by a blank)
  QString issuer, subject;
  QString notBefore, notAfter;  // local date "Y/M/D" without leading zeros
};

// Decodes a certificate (PEM, else DER). kDecodeOk, or a code above with a
// reason in *error where the library gave one.
int DecodeCertificate(const QByteArray& bytes, CertInfo* info, QString* error = nullptr);

// True when bytes hold a certificate (PEM, else DER).
bool IsCertificate(const QByteArray& bytes);

// Every certificate of a PEM text, or the one certificate of DER bytes, as
// PEM texts; empty when any part is not a readable certificate.
QStringList CertificatesAsPem(const QByteArray& bytes);

// The subject's common name, else its organisation; empty when unreadable.
QString SubjectShortName(const QByteArray& bytes);

// Splits a PEM text after every END CERTIFICATE line into single trimmed
// certificates; text after the last one is dropped.
QStringList SplitPem(const QString& text);

enum class KeyRead { Ok, Unreadable, NeedsPassword, WrongPassword, WrongKind };
// Reads a private key (PEM, else DER) with password (at most 259 characters
// used) and hands it back as unencrypted PEM in *pem.
KeyRead ReadPrivateKey(const QByteArray& bytes, const QString& password, QByteArray* pem);

// kKeyMatches, kKeyMismatch, or the reading result (0 when the certificate
// cannot be read, kKeyUnreadable when the key cannot).
int KeyMatchesCertificate(const QByteArray& cert, const QByteArray& key, const QString& password);

// Bytes that are a PKCS #12 container at all (whatever the password).
bool IsPkcs12(const QByteArray& bytes);

// PKCS #12 import: certificate and unencrypted key as PEM. kP12Done (outputs
// empty when the bytes are no PKCS #12), kP12Password for a wrong password or
// a damaged container, kP12CertWrite, kP12MemoryIn/Out; *error then holds the
// library's reason, never the password.
int ImportPkcs12(const QByteArray& bytes, const QString& password, QByteArray* certPem, QByteArray* keyPem,
                 QString* error = nullptr);

}  // namespace vlngui::cert
