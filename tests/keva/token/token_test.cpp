// Modules, result messages, the token session and signatures made on the
// token, against SoftHSM2 (directly or through the pass-through test module).
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>

#include "tokensign_fixture.h"

namespace {

using TokenModules = TokenFixture;

TEST_F(TokenModules, SamePathIsLoadedOnceAndAnInitialisedModuleIsAccepted) {
  // Someone else in the process has initialised the module already: the
  // module answers 0x191, which must count as success.
  void* lib = dlopen(kSoftHsm, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr);
  auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR f = nullptr;
  ASSERT_EQ(CKR_OK, get(&f));
  ASSERT_EQ(CKR_OK, f->C_Initialize(nullptr));
  ASSERT_EQ(CKR_CRYPTOKI_ALREADY_INITIALIZED, f->C_Initialize(nullptr));

  TokenModule* first = token_driver_open(kSoftHsm);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, token_driver_open(kSoftHsm));
  EXPECT_EQ(f, first->functions);
  TokenModule* shim = token_driver_open(P11SHIM_PATH);
  ASSERT_NE(shim, nullptr);
  EXPECT_NE(first, shim);
  EXPECT_EQ(shim, token_driver_open(P11SHIM_PATH));

  // Unloading finalises: the module can be initialised afresh afterwards.
  token_unload_all();
  EXPECT_EQ(CKR_OK, f->C_Initialize(nullptr));
  f->C_Finalize(nullptr);
  dlclose(lib);
}

TEST_F(TokenModules, LoadFailuresAreReportedAndNotCached) {
  CapturedLog log;
  const std::string missing = dir + "/no-such-module.so";
  EXPECT_EQ(nullptr, token_driver_open(missing.c_str()));
  bool named = false;
  for (auto& e : log.entries())
    if (e.level == KLOG_ERROR && e.message.rfind(missing + ": ", 0) == 0) named = true;
  EXPECT_TRUE(named);

  // A shared library, but not a PKCS#11 module.
  const char* libz = "/lib/x86_64-linux-gnu/libz.so.1";
  EXPECT_EQ(nullptr, token_driver_open(libz));
  EXPECT_TRUE(log.has(std::string("invalid PKCS#11 driver: ") + libz));

  // SoftHSM2 refuses to start without its configuration file.
  setenv("SOFTHSM2_CONF", (dir + "/absent.conf").c_str(), 1);
  EXPECT_EQ(nullptr, token_driver_open(kSoftHsm));
  bool init_error = false;
  for (auto& e : log.entries())
    if (e.message.rfind("error in C_Initialize: ", 0) == 0) init_error = true;
  EXPECT_TRUE(init_error);

  // Nothing of the failure stuck: with the configuration back it loads.
  setenv("SOFTHSM2_CONF", (dir + "/softhsm2.conf").c_str(), 1);
  EXPECT_NE(nullptr, token_driver_open(kSoftHsm));
}

TEST(TokenCheck, ResultMessages) {
  struct Case {
    CK_RV rv;
    const char* message;
  } cases[] = {
      {CKR_DEVICE_ERROR, "device error"},
      {CKR_PIN_INCORRECT, "PIN error"},
      {CKR_PIN_INVALID, "PIN error"},
      {CKR_PIN_LEN_RANGE, "PIN error"},
      {CKR_PIN_EXPIRED, "PIN expired"},
      {CKR_PIN_LOCKED, "PIN locked"},
      {CKR_TOKEN_NOT_PRESENT, "no token available"},
      {CKR_DEVICE_MEMORY, "error in C_Sign: 0x31"},
      {CKR_USER_NOT_LOGGED_IN, "error in C_Sign: 0x101"},
      {CKR_CRYPTOKI_ALREADY_INITIALIZED, "error in C_Sign: 0x191"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    CapturedLog log;
    EXPECT_EQ(-1, token_check("C_Sign", c.rv));
    auto entries = log.entries();
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(KLOG_ERROR, entries[0].level);
    EXPECT_EQ(c.message, entries[0].message);
  }
  CapturedLog log;
  EXPECT_EQ(0, token_check("C_Sign", CKR_OK));
  EXPECT_TRUE(log.entries().empty());
}

using TokenSessions = TokenFixture;

TEST_F(TokenSessions, CertificateIsLoadedAndReleasedWithTheAttempt) {
  make_identity("user", "token-user");
  import("user", "01");
  SessionProfile* p = parse(token_profile(kSoftHsm, kPin));
  ASSERT_NE(p, nullptr);
  TokenSession* ts = setup(p);
  ASSERT_NE(ts, nullptr);
  ASSERT_NE(p->auth.private_key, nullptr);
  EXPECT_EQ(EVP_PKEY_RSA, EVP_PKEY_get_base_id(p->auth.private_key));

  apr_pool_t* attempt;
  apr_pool_create(&attempt, session_pool);
  CapturedLog log;
  ASSERT_EQ(0, token_fetch_certificate(ts, attempt));
  ASSERT_NE(p->auth.certificate, nullptr);
  X509* expected = read_cert("user");
  EXPECT_EQ(0, X509_cmp(expected, p->auth.certificate));
  // The key now answers for the certificate's public key.
  EXPECT_EQ(1, X509_check_private_key(expected, p->auth.private_key));
  X509_free(expected);
  EXPECT_EQ(1, ts->open_count);
  EXPECT_TRUE(log.has("finding token.."));
  EXPECT_TRUE(log.has("opening token session.."));
  EXPECT_TRUE(log.has("finding certificate"));

  // Nested users keep the one session.
  CK_SESSION_HANDLE h = ts->session;
  EXPECT_EQ(1, token_session_open(ts));
  EXPECT_EQ(2, ts->open_count);
  EXPECT_EQ(h, ts->session);
  token_session_close(ts);
  EXPECT_EQ(1, ts->open_count);
  EXPECT_FALSE(log.has("closing token session.."));

  apr_pool_destroy(attempt);
  EXPECT_EQ(nullptr, p->auth.certificate);
  EXPECT_EQ(0, ts->open_count);
  EXPECT_TRUE(log.has("closing token session.."));
  token_session_close(ts);  // once more: nothing to do
  EXPECT_EQ(0, ts->open_count);
  EXPECT_EQ(0, terminations);

  // The next attempt logs in again.
  apr_pool_create(&attempt, session_pool);
  EXPECT_EQ(0, token_fetch_certificate(ts, attempt));
  apr_pool_destroy(attempt);
}

// More readers than a small fixed list holds: the session still finds its token.
TEST_F(TokenSessions, AnyNumberOfSlotsIsRead) {
  for (int i = 0; i < 10; ++i) {
    int st = 0;
    std::string out = run_command(
        "softhsm2-util --init-token --free --label extra" + std::to_string(i) + " --so-pin 87654321 --pin " + kPin,
        &st);
    ASSERT_EQ(0, st) << out;
  }
  make_identity("user", "token-user");
  import("user", "01");
  SessionProfile* p = parse(token_profile(kSoftHsm, kPin));
  ASSERT_NE(p, nullptr);
  TokenSession* ts = setup(p);
  ASSERT_NE(ts, nullptr);
  apr_pool_t* attempt;
  apr_pool_create(&attempt, session_pool);
  CapturedLog log;
  EXPECT_EQ(0, token_fetch_certificate(ts, attempt));
  EXPECT_NE(p->auth.certificate, nullptr);
  EXPECT_FALSE(log.has("error in C_GetSlotList: 0x150"));
  apr_pool_destroy(attempt);
}

TEST_F(TokenSessions, WrongPinIsTriedOnceAndEndsTheSession) {
  make_identity("user", "token-user");
  import("user", "01");
  SessionProfile* p = parse(token_profile(P11SHIM_PATH, "9999"));
  ASSERT_NE(p, nullptr);
  TokenSession* ts = setup(p);
  ASSERT_NE(ts, nullptr);
  int before = shim_logins();
  ASSERT_GE(before, 0);

  apr_pool_t* attempt;
  apr_pool_create(&attempt, session_pool);
  CapturedLog log;
  EXPECT_EQ(-1, token_fetch_certificate(ts, attempt));
  EXPECT_EQ(1, shim_logins() - before);
  EXPECT_TRUE(log.has("PIN error"));
  EXPECT_TRUE(log.has("closing token session.."));
  EXPECT_EQ(1, terminations);
  EXPECT_EQ(0, ts->open_count);
  EXPECT_EQ(nullptr, p->auth.certificate);
  apr_pool_destroy(attempt);

  // The right PIN still opens the token: no try was wasted on it.
  ts->pin = kPin;
  apr_pool_create(&attempt, session_pool);
  EXPECT_EQ(0, token_fetch_certificate(ts, attempt));
  apr_pool_destroy(attempt);
}

TEST_F(TokenSessions, NoTokenMeansWaitNotTerminate) {
  make_identity("user", "token-user");
  import("user", "01");
  std::string hide = dir + "/pulled-out";
  setenv("P11SHIM_HIDE", hide.c_str(), 1);
  write_file(hide, "");
  SessionProfile* p = parse(token_profile(P11SHIM_PATH, kPin));
  ASSERT_NE(p, nullptr);
  TokenSession* ts = setup(p);
  ASSERT_NE(ts, nullptr);

  apr_pool_t* attempt;
  apr_pool_create(&attempt, session_pool);
  CapturedLog log;
  apr_time_t start = apr_time_now();
  EXPECT_EQ(-1, token_fetch_certificate(ts, attempt));
  apr_time_t took = apr_time_now() - start;
  // Three looks at the slots with a half-second pause between them.
  EXPECT_GE(took, apr_time_from_msec(900));
  EXPECT_LT(took, apr_time_from_msec(3000));
  EXPECT_TRUE(log.has("no token available"));
  EXPECT_EQ(0, terminations);
  EXPECT_EQ(0, ts->open_count);

  // Put back in: the next call finds it.
  unlink(hide.c_str());
  EXPECT_EQ(0, token_fetch_certificate(ts, attempt));
  EXPECT_NE(nullptr, p->auth.certificate);
  apr_pool_destroy(attempt);
  EXPECT_EQ(0, ts->open_count);
}

TEST_F(TokenSessions, MissingOrUnreadableObjects) {
  // A key but no certificate: the session ends.
  make_identity("user", "token-user");
  import("user", "01", true, false);
  SessionProfile* p = parse(token_profile(kSoftHsm, kPin));
  ASSERT_NE(p, nullptr);
  TokenSession* ts = setup(p);
  ASSERT_NE(ts, nullptr);
  apr_pool_t* attempt;
  apr_pool_create(&attempt, session_pool);
  {
    CapturedLog log;
    EXPECT_EQ(-1, token_fetch_certificate(ts, attempt));
    EXPECT_TRUE(log.has("certificate not found"));
    EXPECT_EQ(1, terminations);
    EXPECT_EQ(0, ts->open_count);
  }

  // Two certificates: the first is taken and the second noted.
  make_identity("other", "someone-else");
  import("user", "01", false, true);
  import("other", "02", false, true);
  {
    CapturedLog log;
    EXPECT_EQ(0, token_fetch_certificate(ts, attempt));
    EXPECT_TRUE(log.has("multiple certificates"));
    EXPECT_NE(nullptr, p->auth.certificate);
  }
  apr_pool_destroy(attempt);
}

TEST_F(TokenSessions, ModuleThatCannotLoadFailsTheSetUp) {
  SessionProfile* p = parse(token_profile(dir + "/missing.so", kPin));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(nullptr, token_sign_setup(&p->auth, session_pool));
  EXPECT_EQ(nullptr, p->auth.private_key);
}

// Signatures made with the token key, checked with the certificate's public
// key the way a TLS peer checks them.
class TokenSignatures : public TokenFixture {
 protected:
  SessionProfile* profile = nullptr;
  TokenSession* ts = nullptr;
  apr_pool_t* attempt = nullptr;
  EVP_PKEY* pub = nullptr;

  void SetUp() override {
    TokenFixture::SetUp();
    if (HasFatalFailure()) return;
    make_identity("user", "token-user");
    import("user", "01");
    profile = parse(token_profile(kSoftHsm, kPin));
    ASSERT_NE(profile, nullptr);
    ts = setup(profile);
    ASSERT_NE(ts, nullptr);
    apr_pool_create(&attempt, session_pool);
    ASSERT_EQ(0, token_fetch_certificate(ts, attempt));
    pub = X509_get_pubkey(profile->auth.certificate);
  }
  void TearDown() override {
    EVP_PKEY_free(pub);
    TokenFixture::TearDown();
  }

  // Signs data with digest md and padding; empty on failure.
  std::string sign(const EVP_MD* md, int padding) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    std::string sig;
    size_t len = 0;
    if (EVP_DigestSignInit(ctx, &pctx, md, nullptr, profile->auth.private_key) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(pctx, padding) > 0 &&
        (padding != RSA_PKCS1_PSS_PADDING || EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST) > 0) &&
        EVP_DigestSign(ctx, nullptr, &len, kData, sizeof(kData)) == 1) {
      sig.resize(len);
      if (EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(sig.data()), &len, kData, sizeof(kData)) == 1)
        sig.resize(len);
      else
        sig.clear();
    }
    EVP_MD_CTX_free(ctx);
    return sig;
  }

  bool verify(const EVP_MD* md, int padding, const std::string& sig) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_PKEY_CTX* pctx = nullptr;
    bool ok =
        EVP_DigestVerifyInit(ctx, &pctx, md, nullptr, pub) == 1 && EVP_PKEY_CTX_set_rsa_padding(pctx, padding) > 0 &&
        (padding != RSA_PKCS1_PSS_PADDING || EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST) > 0) &&
        EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(sig.data()), sig.size(), kData, sizeof(kData)) ==
            1;
    EVP_MD_CTX_free(ctx);
    return ok;
  }

  static constexpr unsigned char kData[] = "client hello .. server key exchange";
};

TEST_F(TokenSignatures, EveryEncodingTlsUsesVerifies) {
  struct Case {
    const char* name;
    const EVP_MD* md;
    int padding;
  } cases[] = {
      {"TLS 1.0/1.1 MD5+SHA-1", EVP_md5_sha1(), RSA_PKCS1_PADDING},
      {"PKCS #1 v1.5 SHA-256", EVP_sha256(), RSA_PKCS1_PADDING},
      {"PKCS #1 v1.5 SHA-384", EVP_sha384(), RSA_PKCS1_PADDING},
      {"PKCS #1 v1.5 SHA-1", EVP_sha1(), RSA_PKCS1_PADDING},
      {"RSA-PSS SHA-256", EVP_sha256(), RSA_PKCS1_PSS_PADDING},
      {"RSA-PSS SHA-512", EVP_sha512(), RSA_PKCS1_PSS_PADDING},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CapturedLog log;
    std::string sig = sign(c.md, c.padding);
    ASSERT_EQ(256u, sig.size());
    EXPECT_TRUE(verify(c.md, c.padding, sig));
    EXPECT_TRUE(log.has("token sign.."));
    EXPECT_TRUE(log.has("finding private key"));
    // A signature between the attempt's own users leaves the session open.
    EXPECT_EQ(1, ts->open_count);
  }
  // The PKCS #1 v1.5 form is the one a peer expects for the digest: a
  // signature over the bare digest would not pass.
  std::string sig = sign(EVP_sha256(), RSA_PKCS1_PADDING);
  EXPECT_FALSE(verify(EVP_md5_sha1(), RSA_PKCS1_PADDING, sig));
}

TEST_F(TokenSignatures, StopFlagMakesSigningFail) {
  token_set_stop(ts, 1);
  EXPECT_EQ(1, token_stopping(ts));
  EXPECT_TRUE(sign(EVP_sha256(), RSA_PKCS1_PADDING).empty());
  EXPECT_TRUE(sign(EVP_sha256(), RSA_PKCS1_PSS_PADDING).empty());
  EXPECT_EQ(1, ts->open_count);  // the failed signature gave its use back
  token_set_stop(ts, 0);
  EXPECT_EQ(256u, sign(EVP_sha256(), RSA_PKCS1_PADDING).size());
}

TEST_F(TokenSignatures, SigningOpensItsOwnSessionWhenNoneIsOpen) {
  apr_pool_destroy(attempt);  // the attempt is over: session closed
  attempt = nullptr;
  ASSERT_EQ(0, ts->open_count);
  // The public half stays with the key after the certificate is gone.
  CapturedLog log;
  std::string sig = sign(EVP_sha256(), RSA_PKCS1_PSS_PADDING);
  EXPECT_TRUE(verify(EVP_sha256(), RSA_PKCS1_PSS_PADDING, sig));
  EXPECT_EQ(0, ts->open_count);
  EXPECT_TRUE(log.has("closing token session.."));
}

TEST_F(TokenSignatures, KeyMissingFromTheTokenFailsTheSignature) {
  std::string tool = std::string("pkcs11-tool --module ") + kSoftHsm + " --login --pin " + kPin;
  int st = 0;
  std::string out = run_command(tool + " --delete-object --type privkey --id 01", &st);
  ASSERT_EQ(0, st) << out;
  CapturedLog log;
  EXPECT_TRUE(sign(EVP_sha256(), RSA_PKCS1_PADDING).empty());
  EXPECT_TRUE(log.has("private key not found"));
}

}  // namespace
