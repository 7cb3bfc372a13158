// A fresh SoftHSM2 token per test: its own token folder, configuration file
// and module list file; keys and certificates made with the openssl tool.
#pragma once

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "vlntoken.h"

inline const char* kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";
inline const char* kPin = "1234";
inline const char* kSoPin = "87654321";

inline std::string run(const std::string& cmd, int* status = nullptr) {
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

inline void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

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
  std::string dir;
  TokenData* handle = nullptr;
  Shown shown;

  void SetUp() override {
    char tmpl[] = "/tmp/vlntoken-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    ASSERT_EQ(system(("mkdir -p " + dir + "/tokens").c_str()), 0);
    write_file(dir + "/softhsm2.conf", "directories.tokendir = " + dir +
                                           "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n");
    setenv("SOFTHSM2_CONF", (dir + "/softhsm2.conf").c_str(), 1);
    setenv("VLNTOKEN_INI", (dir + "/vlntoken.ini").c_str(), 1);
    int st = 0;
    std::string out = run(std::string("softhsm2-util --init-token --free --label velarn --so-pin ") +
                              kSoPin + " --pin " + kPin,
                          &st);
    ASSERT_EQ(st, 0) << out;
    TokenSetProgressSink(&Shown::sink, &shown);
    TokenDataInit();
  }

  void TearDown() override {
    if (handle) TokenFree(handle);
    handle = nullptr;
    TokenDataFree();
    TokenSetProgressSink(nullptr, nullptr);
    if (!dir.empty()) system(("rm -rf " + dir).c_str());
  }

  std::string p11tool(const std::string& args, const char* module = kSoftHsm) {
    return run(std::string("pkcs11-tool --module ") + module + " " + args);
  }

  // An RSA key and a self-signed certificate with the given common name.
  void make_keypair(KeyPair* kp, const std::string& cn, const std::string& issuer_cn = "") {
    std::string key = dir + "/key.pem", cert = dir + "/cert.pem";
    int st = 0;
    std::string out = run("openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout " + key +
                              " -out " + cert + " -subj '/O=Velarn/CN=" + cn + "'",
                          &st);
    ASSERT_EQ(st, 0) << out;
    if (!issuer_cn.empty()) {
      std::string ca_key = dir + "/ca.pem", ca_cert = dir + "/ca.crt", csr = dir + "/req.csr";
      out = run("openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout " + ca_key + " -out " +
                    ca_cert + " -subj '/CN=" + issuer_cn + "' && openssl x509 -x509toreq -in " +
                    cert + " -signkey " + key + " -out " + csr + " && openssl x509 -req -in " +
                    csr + " -CA " + ca_cert + " -CAkey " + ca_key +
                    " -set_serial 7 -days 30 -out " + cert,
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
