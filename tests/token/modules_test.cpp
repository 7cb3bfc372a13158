// The module list: its list file, the probe, the limit and loading by path.
#include <sys/stat.h>

#include <cstring>

#include "token_fixture.h"

namespace {

struct Seen {
  std::vector<TokenDriver> entries;
  static void add(const TokenDriver* e, void* user) { static_cast<Seen*>(user)->entries.push_back(*e); }
  const TokenDriver* find(const std::string& path) const {
    for (auto& e : entries)
      if (path == e.path) return &e;
    return nullptr;
  }
};

class ModuleListTest : public TokenTest {};

TEST_F(ModuleListTest, ListFileFlagsPlaceholdersAndRejects) {
  setenv("PKCS11SPY", kSoftHsm, 1);
  setenv("PKCS11SPY_OUTPUT", (dir + "/spy.log").c_str(), 1);
  write_file(dir + "/vlntoken.ini",
             "; modules known to this installation\n"
             "[Other]\n"
             "x=/usr/lib/softhsm/libsofthsm2.so\t0\n"
             "[PKCS11]\n"
             "soft=%ProgramFiles%softhsm/libsofthsm2.so\t 0 \n"
             "spy=%SystemDirectory%pkcs11-spy.so\tyes\n"
             "shim=" P11SHIM_PATH
             "\n"
             "libc=/lib/x86_64-linux-gnu/libc.so.6\t1\n"
             "missing=/nonexistent/module.so\t1\n");
  Seen seen;
  EXPECT_EQ(TokenLookup(&Seen::add, &seen), 1);
  ASSERT_EQ(seen.entries.size(), 3u);
  const TokenDriver* soft = seen.find("/usr/lib/softhsm/libsofthsm2.so");
  ASSERT_TRUE(soft);
  EXPECT_EQ(soft->flag, 0);
  EXPECT_STREQ(soft->title, "Implementation of PKCS11 (ver 2.6)");
  const TokenDriver* spy = seen.find("pkcs11-spy.so");
  ASSERT_TRUE(spy);
  EXPECT_EQ(spy->flag, 1);
  const TokenDriver* shim = seen.find(P11SHIM_PATH);
  ASSERT_TRUE(shim);
  EXPECT_EQ(shim->flag, 1);

  char title[TOKEN_PATH_SIZE];
  EXPECT_EQ(TokenGetTitle("/usr/lib/softhsm/libsofthsm2.so", title), 0);
  EXPECT_STREQ(title, "Implementation of PKCS11 (ver 2.6)");
  EXPECT_EQ(TokenGetTitle("/nonexistent/module.so", title), TOKEN_ERR_MODULE);

  // A second lookup neither duplicates nor drops entries.
  Seen again;
  TokenLookup(&Seen::add, &again);
  EXPECT_EQ(again.entries.size(), 3u);

  // Loading takes the flag of the list entry; what is no module stays empty.
  ASSERT_EQ(TokenLoad(kSoftHsm, &handle), 0);
  EXPECT_EQ(handle->driver_flag, 0);
  EXPECT_STREQ(handle->driver_title, "Implementation of PKCS11 (ver 2.6)");
  EXPECT_EQ(IsTokenInfo(kSoftHsm, handle), 1);
  EXPECT_EQ(IsTokenInfo(P11SHIM_PATH, handle), 0);
  EXPECT_EQ(TokenLoad("/lib/x86_64-linux-gnu/libc.so.6", &handle), TOKEN_ERR_MODULE);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(TokenLoad("", &handle), TOKEN_ERR_MODULE);
  EXPECT_EQ(TokenLoad(nullptr, &handle), TOKEN_ERR_MODULE);
  EXPECT_EQ(TokenGetInfo(nullptr), TOKEN_ERR_MODULE);
  EXPECT_EQ(TokenNow(nullptr), TOKEN_ERR_MODULE);
}

TEST_F(ModuleListTest, ListHoldsAtMostTwentyModules) {
  std::string ini = "[PKCS11]\n";
  for (int i = 1; i <= 21; ++i) {
    std::string link = dir + "/module" + std::to_string(i) + ".so";
    ASSERT_EQ(symlink(kSoftHsm, link.c_str()), 0);
    ini += "m" + std::to_string(i) + "=" + link + "\t" + (i % 2 ? "1" : "0") + "\n";
  }
  write_file(dir + "/vlntoken.ini", ini);
  Seen seen;
  TokenLookup(&Seen::add, &seen);
  ASSERT_EQ(seen.entries.size(), 20u);
  EXPECT_EQ(seen.entries[19].path, dir + "/module20.so");
  EXPECT_EQ(seen.entries[19].flag, 0);
  EXPECT_EQ(seen.entries[0].flag, 1);
  EXPECT_FALSE(seen.find(dir + "/module21.so"));
  // Not in the full list: cannot be loaded, and nothing is disturbed.
  EXPECT_EQ(TokenLoad((dir + "/module21.so").c_str(), &handle), TOKEN_ERR_MODULE);
  EXPECT_EQ(handle, nullptr);
  ASSERT_EQ(TokenLoad((dir + "/module3.so").c_str(), &handle), 0);
  EXPECT_EQ(TokenGetInfo(handle), 0);
}

TEST_F(ModuleListTest, PathOutsideTheListIsProbedAndAdded) {
  write_file(dir + "/vlntoken.ini", "[PKCS11]\n");
  ASSERT_EQ(TokenLoad(kSoftHsm, &handle), 0);
  EXPECT_EQ(handle->driver_flag, 1);
  Seen seen;
  TokenLookup(&Seen::add, &seen);
  ASSERT_EQ(seen.entries.size(), 1u);
  EXPECT_STREQ(seen.entries[0].path, kSoftHsm);
  // Loading the same module again in another handle accepts the module's
  // "already initialised" answer.
  TokenData* second = nullptr;
  ASSERT_EQ(TokenLoad(kSoftHsm, &second), 0);
  EXPECT_EQ(TokenGetInfo(second), 0);
  // Loading into an occupied pointer frees what was there.
  ASSERT_EQ(TokenLoad(kSoftHsm, &second), 0);
  TokenFree(second);
  EXPECT_EQ(TokenGetInfo(handle), 0);
  EXPECT_STREQ(handle->token_label, "velarn");
}

}  // namespace
