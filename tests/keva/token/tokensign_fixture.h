// A SoftHSM2 token of the test's own: its folder and configuration, an RSA
// key and certificate made with the openssl tool and written to the token
// with pkcs11-tool, and a session pool that is gone before the modules are
// unloaded.
#pragma once
#include <apr_pools.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "files.h"
#include "in_process.h"
#include "log.h"
#include "process.h"
#include "profile.h"
#include "softhsm.h"
#include "token.h"

class TokenFixture : public ::testing::Test, public PoolFixtureBase {
 protected:
  TempDir tmp{"velarn-tokensign"};
  std::string dir;
  SoftHsmToken token{tmp.path()};
  apr_pool_t* session_pool = nullptr;
  int terminations = 0;

  void SetUp() override {
    dir = tmp.path();
    unsetenv("P11SHIM_HIDE");
    std::string error;
    ASSERT_TRUE(token.init(&error)) << error;
    apr_pool_create(&session_pool, pool);
  }

  void TearDown() override {
    // Sessions and keys first: they call into the modules.
    if (session_pool) apr_pool_destroy(session_pool);
    session_pool = nullptr;
    token_unload_all();
  }

  // A key and a self-signed certificate (PEM files name.key, name.crt) with
  // the common name cn.
  void make_identity(const std::string& name, const std::string& cn) {
    std::string error;
    ASSERT_TRUE(token.make_identity(name, cn, &error)) << error;
  }

  // Writes name's key and/or certificate to the token under the given id.
  void import(const std::string& name, const std::string& id, bool key = true, bool cert = true) {
    std::string error;
    ASSERT_TRUE(token.import(name, id, &error, key, cert)) << error;
  }

  X509* read_cert(const std::string& name) {
    FILE* f = fopen((dir + "/" + name + ".crt").c_str(), "r");
    if (!f) return nullptr;
    X509* c = PEM_read_X509(f, nullptr, nullptr, nullptr);
    fclose(f);
    return c;
  }

  std::string token_profile(const std::string& driver, const std::string& pin, const std::string& more = "") {
    return "<profile version=\"1.0\"><host>127.0.0.1</host><switch>office</switch>"
           "<authtype>token</authtype><driver>" +
           driver + "</driver><pin>" + pin + "</pin>" + more + "</profile>";
  }

  SessionProfile* parse(const std::string& xml) {
    SessionProfile* p = nullptr;
    EXPECT_EQ(0, profile_parse(session_pool, xml.data(), xml.size(), &p));
    return p;
  }

  static void count_termination(void* ctx) { ++static_cast<TokenFixture*>(ctx)->terminations; }

  // The session's token as the controller sets it up.
  TokenSession* setup(SessionProfile* p) {
    TokenSession* ts = token_sign_setup(&p->auth, session_pool);
    if (ts) token_set_terminate(ts, count_termination, this);
    return ts;
  }

  // Logins the test module has passed on since it was loaded.
  static int shim_logins() {
    void* h = dlopen(P11SHIM_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (!h) return -1;
    auto fn = reinterpret_cast<int (*)()>(dlsym(h, "p11shim_login_calls"));
    int n = fn ? fn() : -1;
    dlclose(h);
    return n;
  }
};
