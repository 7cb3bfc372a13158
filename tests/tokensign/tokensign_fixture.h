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

#include <array>
#include <cstdio>
#include <string>

#include "log.h"
#include "profile.h"
#include "tests/core/test_support.h"
#include "token.h"

inline const char* kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";
inline const char* kPin = "1234";

inline std::string run_command(const std::string& cmd, int* status = nullptr) {
  std::string out;
  FILE* p = popen(("(" + cmd + ") 2>&1").c_str(), "r");
  if (!p) return out;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  int st = pclose(p);
  if (status) *status = st;
  return out;
}

class TokenFixture : public ::testing::Test, public PoolFixtureBase {
 protected:
  std::string dir;
  apr_pool_t* session_pool = nullptr;
  int terminations = 0;

  void SetUp() override {
    char tmpl[] = "/tmp/velarn-tokensign-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    ASSERT_EQ(0, system(("mkdir -p " + dir + "/tokens").c_str()));
    write_file(dir + "/softhsm2.conf", "directories.tokendir = " + dir +
                                           "/tokens\nobjectstore.backend = file\n"
                                           "log.level = ERROR\n");
    setenv("SOFTHSM2_CONF", (dir + "/softhsm2.conf").c_str(), 1);
    unsetenv("P11SHIM_HIDE");
    int st = 0;
    std::string out = run_command(
        std::string("softhsm2-util --init-token --free --label velarn --so-pin 87654321 --pin ") +
            kPin,
        &st);
    ASSERT_EQ(0, st) << out;
    apr_pool_create(&session_pool, pool);
  }

  void TearDown() override {
    // Sessions and keys first: they call into the modules.
    if (session_pool) apr_pool_destroy(session_pool);
    session_pool = nullptr;
    token_unload_all();
    if (!dir.empty()) system(("rm -rf '" + dir + "'").c_str());
  }

  // A key and a self-signed certificate (PEM files name.key, name.crt) with
  // the common name cn.
  void make_identity(const std::string& name, const std::string& cn) {
    int st = 0;
    std::string out = run_command("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -keyout " +
                                      dir + "/" + name + ".key -out " + dir + "/" + name +
                                      ".crt -subj '/O=Velarn/CN=" + cn + "'",
                                  &st);
    ASSERT_EQ(0, st) << out;
  }

  // Writes name's key and/or certificate to the token under the given id.
  void import(const std::string& name, const std::string& id, bool key = true, bool cert = true) {
    std::string base = dir + "/" + name;
    std::string tool = std::string("pkcs11-tool --module ") + kSoftHsm + " --login --pin " + kPin;
    int st = 0;
    std::string out;
    if (key) {
      out = run_command("openssl pkey -in " + base + ".key -outform DER -out " + base +
                            ".key.der && " + tool + " --write-object " + base +
                            ".key.der --type privkey --id " + id + " --label " + name,
                        &st);
      ASSERT_EQ(0, st) << out;
    }
    if (cert) {
      out = run_command("openssl x509 -in " + base + ".crt -outform DER -out " + base +
                            ".crt.der && " + tool + " --write-object " + base +
                            ".crt.der --type cert --id " + id + " --label " + name,
                        &st);
      ASSERT_EQ(0, st) << out;
    }
  }

  X509* read_cert(const std::string& name) {
    FILE* f = fopen((dir + "/" + name + ".crt").c_str(), "r");
    if (!f) return nullptr;
    X509* c = PEM_read_X509(f, nullptr, nullptr, nullptr);
    fclose(f);
    return c;
  }

  std::string token_profile(const std::string& driver, const std::string& pin,
                            const std::string& more = "") {
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
