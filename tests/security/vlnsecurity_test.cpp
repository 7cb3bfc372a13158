// VLNSecurity on a throwaway root: the access list getfacl reads back, its
// inheritance, and the folders it must refuse.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "files.h"

namespace {

class VlnSecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    root_ = tmp_.path();
    ASSERT_EQ(mkdir((root_ + "/var").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root_ + "/var/lib").c_str(), 0755), 0);
    data_ = root_ + "/var/lib/Velarn";
  }

  // Exit code; the standard error is kept in err_. No display: the failure
  // message goes to standard error.
  int run(const std::string& args) {
    std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY VELARN_ROOT='" + root_ + "' " + VLNSECURITY_PATH + " " + args +
                      " 2>'" + root_ + "/err'";
    int st = std::system(cmd.c_str());
    err_ = read_file(root_ + "/err");
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  std::string acl(const std::string& path) {
    std::string out = root_ + "/acl";
    std::system(("getfacl -E -p --omit-header '" + path + "' >'" + out + "' 2>&1").c_str());
    return read_file(out);
  }

  TempDir tmp_{"vlnsec"};
  std::string root_, data_, err_;
};

const char kFourEntries[] =
    "user::rwx\n"
    "group::r-x\n"
    "group:sudo:rwx\n"
    "group:users:r-x\n"
    "mask::rwx\n"
    "other::r-x\n";

std::string with_default(const std::string& entries) {
  std::string out = entries;
  size_t pos = 0, next;
  while ((next = entries.find('\n', pos)) != std::string::npos) {
    out += "default:" + entries.substr(pos, next - pos + 1);
    pos = next + 1;
  }
  return out + "\n";
}

TEST_F(VlnSecurityTest, EntriesByAccount) {
  struct Case {
    const char* args;
    const char* named;  // the named-user line, if any
  };
  const Case cases[] = {
      {"", nullptr},
      {"nobody", "user:nobody:rwx\n"},
      {"'HOST\\nobody'", "user:nobody:rwx\n"},
      {"no-such-account-here", nullptr},
  };
  ASSERT_EQ(mkdir(data_.c_str(), 0700), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    EXPECT_EQ(run(c.args), 0) << err_;
    EXPECT_EQ(err_, "");
    std::string entries = kFourEntries;
    if (c.named) entries.insert(strlen("user::rwx\n"), c.named);
    EXPECT_EQ(acl(data_), with_default(entries));
  }

  // Files made afterwards inherit the list (within the mode they are made with).
  std::ofstream(data_ + "/later.txt") << "x";
  std::string file = acl(data_ + "/later.txt");
  for (const char* line : {"user::rw-\n", "group:sudo:rwx\n", "group:users:r-x\n", "mask::rw-\n", "other::r--\n"})
    EXPECT_NE(file.find(line), std::string::npos) << line << file;
}

TEST_F(VlnSecurityTest, RefusesWhatItMustNotTouch) {
  const std::string target = root_ + "/elsewhere";
  ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
  const std::string before = acl(target);
  struct Case {
    const char* what;
    std::function<void()> make;
    const char* reason;
  };
  const Case cases[] = {
      {"missing folder", [] {}, "No such file"},
      {"link to a folder", [&] { ASSERT_EQ(symlink(target.c_str(), data_.c_str()), 0); }, "symbolic link"},
      {"folder of another owner",
       [&] {
         ASSERT_EQ(mkdir(data_.c_str(), 0755), 0);
         ASSERT_EQ(chown(data_.c_str(), 65534, 65534), 0);
       },
       "not owned by root"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::system(("rm -rf '" + data_ + "'").c_str());
    c.make();
    EXPECT_EQ(run("nobody"), 1);
    EXPECT_NE(err_.find("DACLの設定が出来ません。\n"), std::string::npos) << err_;
    EXPECT_NE(err_.find(c.reason), std::string::npos) << err_;
    EXPECT_EQ(acl(target), before);
  }
}

}  // namespace
