#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "files.h"

#ifdef VLNPROFILE_PATH

namespace {

struct Result {
  int code;
  std::string out;  // standard output
  std::string err;  // standard error
};

class VlnprofileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.empty()); }

  std::string write(const std::string& name, const std::string& text) {
    std::string path = dir_ + "/" + name;
    write_file(path, text);
    return path;
  }
  Result run(const std::string& args) {
    std::string out = dir_ + "/stdout", err = dir_ + "/stderr";
    int st = std::system((std::string(VLNPROFILE_PATH) + " " + args + " >" + out + " 2>" + err).c_str());
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, read_file(out), read_file(err)};
  }
  TempDir tmp_{"vlnprofile-test"};
  std::string dir_ = tmp_.path();
};

const char kValid[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<profile version=\"1.0\"><host>vpn1</host>"
    "<host03>vpn3</host03><authtype>ticket</authtype><ticket>TKT-secret</ticket></profile>";

TEST_F(VlnprofileTest, ValidProfilePrintsTheMaskedSummary) {
  Result r = run(write("ok.vln", kValid));
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("valid profile (2 servers)"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("[debug] Session Profile:"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" host03 = vpn3"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" ticket = ********"), std::string::npos) << r.err;
  EXPECT_EQ((r.out + r.err).find("TKT-secret"), std::string::npos);
}

TEST_F(VlnprofileTest, InvalidProfilesExitOneWithTheReason) {
  Result r = run(write("bad.vln", "<profile><authtype>password</authtype></profile>"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("[error] element missing: /profile/host"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("invalid profile"), std::string::npos) << r.out;

  r = run(write("broken.vln", "<profile"));
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("xml error: "), std::string::npos) << r.err;

  r = run(dir_ + "/does-not-exist.vln");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("cannot read"), std::string::npos) << r.out;

  r = run("");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("usage"), std::string::npos);
}

TEST_F(VlnprofileTest, EncryptThenDecryptThroughTheProgram) {
  Result enc = run("--encrypt 'my proxy pw'");
  ASSERT_EQ(enc.code, 0);
  std::string value = enc.out.substr(0, enc.out.find('\n'));
  ASSERT_FALSE(value.empty());
  Result pin = run("--encrypt 1234");
  std::string pin_value = pin.out.substr(0, pin.out.find('\n'));

  std::string text =
      "<profile><host>h</host><proxyHost>p</proxyHost><proxyUsername>u</proxyUsername>"
      "<enc_proxyPassword>" +
      value +
      "</enc_proxyPassword><switch>s</switch>"
      "<authtype>token</authtype><driver>/lib/p11.so</driver><enc_pin>" +
      pin_value + "</enc_pin></profile>";
  std::string path = write("enc.vln", text);
  Result r = run("--decrypt " + path);
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("enc_pin = 1234\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("enc_proxyPassword = my proxy pw\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("enc_password"), std::string::npos);

  // Without --decrypt the secrets stay hidden.
  r = run(path);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ((r.out + r.err).find("my proxy pw"), std::string::npos);
}

}  // namespace

#endif
