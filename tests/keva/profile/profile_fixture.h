#pragma once
#include <apr_general.h>
#include <apr_pools.h>
#include <gtest/gtest.h>

#include <string>

#include "in_process.h"
#include "keva/profile.h"

class ProfileTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { apr_initialize(); }
  void SetUp() override { apr_pool_create(&pool_, nullptr); }
  void TearDown() override { apr_pool_destroy(pool_); }

  // Wraps elements in the root element.
  static std::string doc(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<profile version=\"1.0\">" + body + "</profile>";
  }
  static std::string minimal(const std::string& extra = "") {
    return doc(
        "<host>vpn.example.net</host><switch>office</switch><authtype>password</authtype>"
        "<username>alice</username><password>pw1</password>" +
        extra);
  }
  SessionProfile* parse(const std::string& text) {
    SessionProfile* p = nullptr;
    rc_ = profile_parse(pool_, text.data(), text.size(), &p);
    return p;
  }
  const ServerEntry* server(const SessionProfile* p, int i) {
    return static_cast<const ServerEntry*>(ptrlist_get(p->servers, i));
  }

  apr_pool_t* pool_ = nullptr;
  int rc_ = 0;
  CapturedLog log_{CapturedLog::kDebugMode};
};
