// A fresh SoftHSM2 token per test: its own token folder, configuration file
// and module list file; keys and certificates made with the openssl tool.
#pragma once

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "files.h"
#include "process.h"
#include "softhsm.h"
#include "vlntoken.h"

// Records what the library shows: progress texts and message boxes.
struct Shown {
  std::mutex mx;
  std::vector<std::pair<int, std::string>> events;
  static void sink(void* ctx, const TokenData*, int event, const char* text) {
    auto* s = static_cast<Shown*>(ctx);
    std::lock_guard<std::mutex> g(s->mx);
    s->events.emplace_back(event, text ? text : "");
  }
  bool has_text(const std::string& t) {
    std::lock_guard<std::mutex> g(mx);
    for (auto& e : events)
      if (e.second == t) return true;
    return false;
  }
};

struct KeyPair {
  X509* cert = nullptr;
  EVP_PKEY* key = nullptr;
  ~KeyPair() {
    X509_free(cert);
    EVP_PKEY_free(key);
  }
};

class TokenTest : public ::testing::Test {
 protected:
  TempDir tmp{"vlntoken-test"};
  std::string dir;
  TokenData* handle = nullptr;
  Shown shown;

  void SetUp() override {
    dir = tmp.path();
    std::string error;
    ASSERT_TRUE(SoftHsmToken(dir).init(&error)) << error;
    setenv("VLNTOKEN_INI", (dir + "/vlntoken.ini").c_str(), 1);
    TokenSetProgressSink(&Shown::sink, &shown);
    TokenDataInit();
  }

  void TearDown() override {
    if (handle) TokenFree(handle);
    handle = nullptr;
    TokenDataFree();
    TokenSetProgressSink(nullptr, nullptr);
  }

  std::string p11tool(const std::string& args, const char* module = kSoftHsm) {
    return run_command(SoftHsmToken::tool(module) + " " + args);
  }

  // An RSA key and a self-signed certificate with the given common name.
  void make_keypair(KeyPair* kp, const std::string& cn, const std::string& issuer_cn = "") {
    std::string key = dir + "/key.pem", cert = dir + "/cert.pem";
    int st = 0;
    std::string out = run_command("openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout " + key + " -out " +
                                      cert + " -subj '/O=Velarn/CN=" + cn + "'",
                                  &st);
    ASSERT_EQ(st, 0) << out;
    if (!issuer_cn.empty()) {
      std::string ca_key = dir + "/ca.pem", ca_cert = dir + "/ca.crt", csr = dir + "/req.csr";
      out = run_command("openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout " + ca_key + " -out " + ca_cert +
                            " -subj '/CN=" + issuer_cn + "' && openssl x509 -x509toreq -in " + cert + " -signkey " +
                            key + " -out " + csr + " && openssl x509 -req -in " + csr + " -CA " + ca_cert + " -CAkey " +
                            ca_key + " -set_serial 7 -days 30 -out " + cert,
                        &st);
      ASSERT_EQ(st, 0) << out;
    }
    FILE* f = fopen(key.c_str(), "r");
    ASSERT_TRUE(f);
    kp->key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    fclose(f);
    f = fopen(cert.c_str(), "r");
    ASSERT_TRUE(f);
    kp->cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    fclose(f);
    ASSERT_TRUE(kp->key && kp->cert);
  }

  void load(const char* module = kSoftHsm) {
    ASSERT_EQ(TokenLoad(module, &handle), 0);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(TokenNow(handle), 0);
    ASSERT_EQ(handle->token_present, 1);
  }
};

inline const char* kProfile =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<profile version=\"1.0\">\n"
    "  <host> vpn.example.net </host>\n"
    "  <port>5711</port>\n"
    "  <switch>office</switch>\n"
    "  <authtype>token</authtype>\n"
    "  <driver>/usr/lib/softhsm/libsofthsm2.so</driver>\n"
    "  <pin>1234</pin>\n"
    "  <enc_pin>c2VjcmV0</enc_pin>\n"
    "  <reconnect>1</reconnect>\n"
    "  <setting><lang>ja</lang></setting>\n"
    "  <ciphers>DEFAULT</ciphers>\n"
    "</profile>\n";
