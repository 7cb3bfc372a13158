// Writing, reading back and deleting the certificate, key and profile on a
// SoftHSM2 token; login and PIN handling.
#include <dlfcn.h>
#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <p11-kit/pkcs11.h>

#include <cstring>

#include "token_fixture.h"

namespace {

std::string profile_with(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<profile version=\"1.0\">" + body + "</profile>\n";
}

TEST_F(TokenTest, WrittenObjectsAreSeenByOtherToolsAndReadBack) {
  load();
  KeyPair kp;
  make_keypair(&kp, "alice@example.com", "Velarn Test CA");
  ASSERT_EQ(TokenLogin(handle, kPin, 0), 0);
  std::strcpy(handle->key_id, "4b31");
  ASSERT_EQ(TokenWriteCertificate(handle, kp.cert, kp.key, 1), 0);
  EXPECT_EQ(handle->cert_loaded, 1);
  EXPECT_STREQ(handle->cert_subject, "alice@example.com");
  EXPECT_STREQ(handle->cert_issuer, "Velarn Test CA");
  ASSERT_EQ(TokenWriteConfig(handle, kProfile, nullptr, 1), 0);
  EXPECT_EQ(handle->profile_found, 1);
  EXPECT_TRUE(shown.has_text("証明書を書き込んでいます"));
  EXPECT_TRUE(shown.has_text("秘密鍵を書き込んでいます"));
  EXPECT_TRUE(shown.has_text("接続プロファイルを削除しています"));

  std::string objs = p11tool(std::string("--list-objects --login --pin ") + kPin);
  // Certificate: label has the at sign replaced; the key shares the caller's id.
  EXPECT_NE(objs.find("Certificate Object; type = X.509 cert"), std::string::npos) << objs;
  EXPECT_NE(objs.find("label:      alice example.com"), std::string::npos) << objs;
  EXPECT_EQ(count_of(objs, "ID:         34623331"), 2u) << objs;  // "4b31" as bytes
  EXPECT_NE(objs.find("Private Key Object; RSA"), std::string::npos) << objs;
  size_t usage = objs.find("Usage:", objs.find("Private Key Object"));
  ASSERT_NE(usage, std::string::npos);
  EXPECT_NE(objs.substr(usage, objs.find('\n', usage) - usage).find("sign"), std::string::npos);
  // The profile is public and cannot be modified.
  EXPECT_NE(objs.find("label:          'client.vln'"), std::string::npos) << objs;
  EXPECT_NE(objs.find("application:    'Velarn'"), std::string::npos) << objs;
  size_t data = objs.find("Data object");
  ASSERT_NE(data, std::string::npos);
  std::string flags = objs.substr(objs.find("flags:", data), 40);
  EXPECT_EQ(flags.find("modifiable"), std::string::npos) << flags;
  EXPECT_EQ(flags.find("private"), std::string::npos) << flags;
  // Visible without logging in: a public object.
  EXPECT_NE(p11tool("--list-objects").find("client.vln"), std::string::npos);

  // The stored profile keeps only what is needed to connect.
  std::string stored = p11tool("--read-object --type data --label client.vln --application-label Velarn");
  EXPECT_NE(stored.find("<host> vpn.example.net </host>"), std::string::npos) << stored;
  EXPECT_NE(stored.find("<ciphers>DEFAULT</ciphers>"), std::string::npos) << stored;
  for (const char* gone : {"authtype", "driver", "<pin>", "enc_pin", "reconnect", "setting", "lang"})
    EXPECT_EQ(stored.find(gone), std::string::npos) << gone << " in " << stored;

  // A new handle reads everything back from the token.
  TokenData* other = nullptr;
  ASSERT_EQ(TokenLoad(kSoftHsm, &other), 0);
  ASSERT_EQ(TokenGetInfo(other), 0);
  EXPECT_EQ(other->token_present, 1);
  EXPECT_EQ(other->cert_loaded, 1);
  EXPECT_EQ(other->profile_found, 1);
  EXPECT_STREQ(other->cert_subject, "alice@example.com");
  EXPECT_STREQ(other->cert_issuer, "Velarn Test CA");
  EXPECT_EQ(std::strlen(other->cert_expiry), 10u) << other->cert_expiry;
  EXPECT_EQ(other->cert_expiry[4], '/');
  EXPECT_STREQ(other->host, "vpn.example.net");
  EXPECT_STREQ(other->port, "5711");
  EXPECT_STREQ(other->switch_name, "office");
  EXPECT_STREQ(other->token_label, "velarn");
  EXPECT_STREQ(other->token_model, "SoftHSM v2");
  EXPECT_STREQ(other->token_manufacturer, "SoftHSM project");
  EXPECT_STREQ(other->manufacturer, "SoftHSM");
  EXPECT_STREQ(other->library_title, "Implementation of PKCS11 (ver 2.6)");
  EXPECT_STREQ(other->interface_version, "2.40");
  EXPECT_GT(std::strlen(other->serial_number), 0u);
  EXPECT_EQ(std::strstr(other->profile, "<pin>"), nullptr);
  // Sign set-up needs the right PIN and finds both halves.
  EXPECT_EQ(TokenSignSetup(other, kPin), 1);
  EXPECT_EQ(other->key_found, 1);
  EXPECT_EQ(TokenSignSetup(other, "9999"), 0);
  TokenFree(other);

  // Both handles shared one module; freeing the second must not have
  // finalised it under the first.
  EXPECT_EQ(TokenGetInfo(handle), 0);
  EXPECT_STREQ(handle->host, "vpn.example.net");
}

TEST_F(TokenTest, DeletingLeavesNothingBehind) {
  load();
  KeyPair kp;
  make_keypair(&kp, "bob");
  ASSERT_EQ(TokenLogin(handle, kPin, 0), 0);
  ASSERT_EQ(TokenWriteCertificate(handle, kp.cert, kp.key, 0), 0);
  ASSERT_EQ(TokenWriteConfig(handle, kProfile, nullptr, 0), 0);
  ASSERT_NE(p11tool(std::string("--list-objects --login --pin ") + kPin).find("Private Key"), std::string::npos);

  // Without a login the certificate calls refuse rather than act blind.
  EXPECT_EQ(TokenDeleteCertificate(handle), TOKEN_ERR_OPEN_SESSION);
  ASSERT_EQ(TokenLogin(handle, kPin, 0), 0);
  EXPECT_EQ(TokenDeleteCertificate(handle), 0);
  EXPECT_EQ(handle->cert_loaded, 0);
  EXPECT_STREQ(handle->cert_subject, "");
  EXPECT_EQ(TokenDeleteConfig(handle), 0);
  EXPECT_EQ(handle->profile_found, 0);
  EXPECT_STREQ(handle->host, "");
  EXPECT_STREQ(handle->profile, "");

  std::string objs = p11tool(std::string("--list-objects --login --pin ") + kPin);
  EXPECT_EQ(objs.find("Object"), std::string::npos) << objs;
  EXPECT_EQ(objs.find("object"), std::string::npos) << objs;

  // Nothing left: the certificate delete says so, the profile delete does not mind.
  ASSERT_EQ(TokenLogin(handle, kPin, 0), 0);
  EXPECT_EQ(TokenDeleteCertificate(handle), TOKEN_ERR_CERT_REMOVE);
  EXPECT_EQ(TokenDeleteConfig(handle), 0);
  ASSERT_EQ(TokenGetInfo(handle), 0);
  EXPECT_EQ(handle->cert_loaded, 0);
  EXPECT_EQ(handle->profile_found, 0);
}

TEST_F(TokenTest, ReplacingCertificateKeepsOnePairAndRefusesBadKeys) {
  load();
  KeyPair first, second, stranger;
  make_keypair(&first, "first");
  make_keypair(&second, "second");
  make_keypair(&stranger, "stranger");
  ASSERT_EQ(TokenLogin(handle, kPin, 0), 0);
  ASSERT_EQ(TokenWriteCertificate(handle, first.cert, first.key, 0), 0);
  ASSERT_EQ(TokenLogin(handle, kPin, 0), 0);
  ASSERT_EQ(TokenWriteCertificate(handle, second.cert, second.key, 1), 0);
  std::string objs = p11tool(std::string("--list-objects --login --pin ") + kPin);
  EXPECT_EQ(count_of(objs, "Certificate Object"), 1u) << objs;
  EXPECT_EQ(count_of(objs, "Private Key Object"), 1u) << objs;
  EXPECT_NE(objs.find("label:      second"), std::string::npos) << objs;

  // A key that does not belong to the certificate, or no RSA key at all, is
  // refused before anything is touched.
  ASSERT_EQ(TokenLogin(handle, kPin, 0), 0);
  EXPECT_EQ(TokenWriteCertificate(handle, first.cert, stranger.key, 1), TOKEN_ERR_KEY_CREATE);
  EVP_PKEY* ec = EVP_EC_gen("P-256");
  ASSERT_TRUE(ec);
  ASSERT_EQ(TokenLogin(handle, kPin, 0), 0);
  EXPECT_EQ(TokenWriteCertificate(handle, first.cert, ec, 1), TOKEN_ERR_KEY_CREATE);
  EVP_PKEY_free(ec);
  objs = p11tool(std::string("--list-objects --login --pin ") + kPin);
  EXPECT_EQ(count_of(objs, "Certificate Object"), 1u) << objs;
  EXPECT_NE(objs.find("label:      second"), std::string::npos) << objs;
}

TEST_F(TokenTest, ExpiryYearsOfUtcTime) {
  load();
  KeyPair kp;
  make_keypair(&kp, "expiry");
  struct Case {
    const char* time;
    const char* shown;
  } cases[] = {{"491231235959Z", "2049/12/31"}, {"500101000000Z", "1950/01/01"}, {"20610704120000Z", "2061/07/04"}};
  for (const auto& c : cases) {
    ASN1_TIME* t = ASN1_TIME_new();
    ASSERT_TRUE(std::strlen(c.time) == 13 ? ASN1_UTCTIME_set_string(t, c.time)
                                          : ASN1_GENERALIZEDTIME_set_string(t, c.time));
    ASSERT_TRUE(X509_set1_notAfter(kp.cert, t));
    ASN1_TIME_free(t);
    ASSERT_GT(X509_sign(kp.cert, kp.key, EVP_sha256()), 0);
    ASSERT_EQ(TokenLogin(handle, kPin, 0), 0);
    ASSERT_EQ(TokenWriteCertificate(handle, kp.cert, kp.key, 1), 0);
    EXPECT_STREQ(handle->cert_expiry, c.shown);
    TokenData* other = nullptr;
    ASSERT_EQ(TokenLoad(kSoftHsm, &other), 0);
    ASSERT_EQ(TokenGetInfo(other), 0);
    EXPECT_STREQ(other->cert_expiry, c.shown);
    TokenFree(other);
  }
}

TEST_F(TokenTest, ProfileTextIsCheckedBeforeWriting) {
  load();
  EXPECT_EQ(TokenWriteConfig(handle, "<profile version=\"1.0\"><host>h</host></profile>", nullptr, 1),
            TOKEN_ERR_NOT_PROFILE);
  EXPECT_EQ(TokenWriteConfig(handle, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><other/>", nullptr, 1),
            TOKEN_ERR_NOT_PROFILE);
  EXPECT_EQ(TokenWriteConfig(handle, profile_with("<host>h</hostx>").c_str(), nullptr, 1), TOKEN_ERR_NOT_PROFILE);
  EXPECT_EQ(TokenWriteConfig(handle, nullptr, nullptr, 1), TOKEN_ERR_NOT_PROFILE);
  EXPECT_EQ(TokenWriteConfig(handle, profile_with("<authtype>password</authtype>").c_str(), nullptr, 1),
            TOKEN_ERR_AUTHTYPE);
  // Longer than the token's profile can be read back: refused, not cut.
  std::string big = profile_with("<host>h</host><trust>" + std::string(5000, 'A') + "</trust>");
  EXPECT_EQ(TokenWriteConfig(handle, big.c_str(), nullptr, 1), TOKEN_ERR_DEVICE_MEMORY);
  EXPECT_EQ(p11tool("--list-objects").find("client.vln"), std::string::npos);

  // No authtype at all, the lower-case declaration and two driver elements:
  // neither module path is stored.
  std::string two_drivers =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<profile version=\"1.0\"><host>a</host>"
      "<driver>one.so</driver><driver>two.so</driver><pin/><port>1</port></profile>";
  ASSERT_EQ(TokenWriteConfig(handle, two_drivers.c_str(), nullptr, 1), 0);
  EXPECT_EQ(std::strstr(handle->profile, ".so"), nullptr);
  EXPECT_EQ(std::strstr(handle->profile, "<pin"), nullptr);
  EXPECT_STREQ(handle->host, "a");
  EXPECT_STREQ(handle->port, "1");

  // The wrapped export of the GUI is stored with its wrapper, minus its settings.
  std::string wrapped =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Velarn version=\"1.0\"><profile version=\"1.0\">"
      "<host>w.example</host><switch>sw</switch><authtype>token</authtype></profile>"
      "<setting><language>en</language></setting></Velarn>\n";
  ASSERT_EQ(TokenWriteConfig(handle, wrapped.c_str(), nullptr, 1), 0);
  ASSERT_EQ(TokenGetInfo(handle), 0);
  EXPECT_EQ(std::string(handle->profile),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Velarn version=\"1.0\"><profile "
            "version=\"1.0\"><host>w.example</host><switch>sw</switch></profile></Velarn>\n");
  EXPECT_STREQ(handle->switch_name, "sw");
  EXPECT_STREQ(handle->port, "");
}

// However a PIN hides in the document, the public object never holds it:
// the element goes wherever and however often it occurs, or the document is
// refused.
TEST_F(TokenTest, NoPinReachesThePublicProfile) {
  load();
  struct Case {
    const char* body;
    int result;
  } cases[] = {
      {"<host>h</host><pin>1111</pin><switch>s</switch><pin>2222</pin><!-- <pin>3333</pin> -->", TOKEN_OK},
      {"<host>h</host><x><enc_pin>MjIyMg==</enc_pin></x><pin\n>2222</pin\n><pin/>", TOKEN_OK},
      {"<host pin=\"2222\">h</host><p:pin xmlns:p=\"urn:x\">2222</p:pin><?pin 3333?>", TOKEN_OK},
      {"<host>h</host><trust><![CDATA[<pin>2222</pin>]]></trust>", TOKEN_ERR_NOT_PROFILE},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(TokenWriteConfig(handle, profile_with(c.body).c_str(), nullptr, 1), c.result) << c.body;
    std::string stored = p11tool("--read-object --type data --label client.vln --application-label Velarn");
    for (const char* secret : {"1111", "2222", "3333", "MjIyMg"})
      EXPECT_EQ(stored.find(secret), std::string::npos) << c.body << " stored " << stored;
    if (c.result == TOKEN_OK) {
      EXPECT_NE(stored.find("<host"), std::string::npos) << stored;
    }
  }
  // A document type could define the PIN away from any element: refused.
  std::string typed =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE profile [<!ENTITY p \"2222\">]>"
      "<profile version=\"1.0\"><host>&p;</host></profile>";
  EXPECT_EQ(TokenWriteConfig(handle, typed.c_str(), nullptr, 1), TOKEN_ERR_NOT_PROFILE);
}

TEST_F(TokenTest, ProfileWrittenTwiceWithoutReplaceUsesTheFirst) {
  load();
  ASSERT_EQ(TokenWriteConfig(handle, profile_with("<host>first</host>").c_str(), nullptr, 0), 0);
  ASSERT_EQ(TokenWriteConfig(handle, profile_with("<host>second</host>").c_str(), nullptr, 0), 0);
  EXPECT_EQ(count_of(p11tool("--list-objects"), "client.vln"), 2u);
  ASSERT_EQ(TokenGetInfo(handle), 0);
  EXPECT_TRUE(shown.has_text("複数の接続プロファイルが登録されています。最初のものを利用します。"));
  EXPECT_EQ(handle->profile_found, 1);
  EXPECT_TRUE(std::string(handle->host) == "first" || std::string(handle->host) == "second");

  // Replacing removes one of them per write.
  ASSERT_EQ(TokenWriteConfig(handle, profile_with("<host>third</host>").c_str(), nullptr, 1), 0);
  EXPECT_EQ(count_of(p11tool("--list-objects"), "client.vln"), 2u);
}

// A token that runs out of room keeps the profile it had, whether the module
// created nothing or left a half-made object behind.
TEST_F(TokenTest, FullTokenKeepsTheOldProfile) {
  load(P11SHIM_PATH);
  ASSERT_EQ(TokenWriteConfig(handle, profile_with("<host>old</host>").c_str(), nullptr, 0), 0);
  for (const char* mode : {"1", "half"}) {
    setenv("P11SHIM_FULL", mode, 1);
    EXPECT_EQ(TokenWriteConfig(handle, profile_with("<host>new</host>").c_str(), nullptr, 0), TOKEN_ERR_DEVICE_MEMORY);
    unsetenv("P11SHIM_FULL");
    std::string objs = p11tool("--list-objects");
    EXPECT_EQ(count_of(objs, "client.vln"), 1u) << mode << ": " << objs;
    ASSERT_EQ(TokenGetInfo(handle), 0);
    EXPECT_STREQ(handle->host, "old") << mode;
  }
}

// An old profile the token refuses to destroy: the write must fail visibly
// and leave the old profile alone.
TEST_F(TokenTest, ReplaceFailsWhenOldProfileCannotBeRemoved) {
  load();
  void* lib = dlopen(kSoftHsm, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_TRUE(lib);
  auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList"));
  CK_FUNCTION_LIST_PTR fl = nullptr;
  ASSERT_EQ(get(&fl), CKR_OK);
  CK_SLOT_ID slots[8];
  CK_ULONG n = 8;
  ASSERT_EQ(fl->C_GetSlotList(CK_TRUE, slots, &n), CKR_OK);
  CK_SESSION_HANDLE s;
  ASSERT_EQ(fl->C_OpenSession(slots[0], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), CKR_OK);
  CK_OBJECT_CLASS cls = CKO_DATA;
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  std::string old = profile_with("<host>old</host>");
  CK_ATTRIBUTE attrs[] = {{CKA_CLASS, &cls, sizeof cls},        {CKA_TOKEN, &yes, sizeof yes},
                          {CKA_PRIVATE, &no, sizeof no},        {CKA_DESTROYABLE, &no, sizeof no},
                          {CKA_LABEL, (void*)"client.vln", 10}, {CKA_APPLICATION, (void*)"Velarn", 6},
                          {CKA_VALUE, old.data(), old.size()}};
  CK_OBJECT_HANDLE obj;
  ASSERT_EQ(fl->C_CreateObject(s, attrs, 7, &obj), CKR_OK);
  fl->C_CloseSession(s);
  dlclose(lib);

  EXPECT_EQ(TokenWriteConfig(handle, profile_with("<host>new</host>").c_str(), nullptr, 1), TOKEN_ERR_PROFILE_REMOVE);
  EXPECT_EQ(count_of(p11tool("--list-objects"), "client.vln"), 1u);
  ASSERT_EQ(TokenGetInfo(handle), 0);
  EXPECT_STREQ(handle->host, "old");
}

TEST_F(TokenTest, WrongPinCostsOneTryAndPinCanBeChanged) {
  load(P11SHIM_PATH);
  void* shim = dlopen(P11SHIM_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_TRUE(shim);
  auto login_calls = reinterpret_cast<int (*)()>(dlsym(shim, "p11shim_login_calls"));
  ASSERT_TRUE(login_calls);

  int before = login_calls();
  EXPECT_EQ(TokenLogin(handle, "0000", 0), TOKEN_ERR_PIN_INCORRECT);
  EXPECT_EQ(login_calls() - before, 1);
  EXPECT_NE(p11tool("-T").find("user PIN count low"), std::string::npos);

  EXPECT_EQ(TokenSetPIN(handle, "0000", "5555"), TOKEN_ERR_LOGIN);
  EXPECT_EQ(TokenSetPIN(handle, kPin, "5555"), 0);
  EXPECT_EQ(TokenLogin(handle, kPin, 0), TOKEN_ERR_PIN_INCORRECT);
  EXPECT_EQ(TokenLogin(handle, "5555", 1), 0);
  // A follow-up operation closes the session the login left open.
  EXPECT_EQ(TokenGetInfo(handle), 0);
  int st = 0;
  run_command(SoftHsmToken::tool() + " --login --pin 5555 --list-objects", &st);
  EXPECT_EQ(st, 0);
  dlclose(shim);
}

}  // namespace
