// The device dialogs and the progress window against a SoftHSM2 token made
// fresh for each test; what is written to the token is read back with
// pkcs11-tool.
#include <openssl/pem.h>

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <cstring>
#include <fstream>

#include "dialog_fixture.h"
#include "progress_dlg.h"
#include "softhsm.h"
#include "vlntoken.h"

using vlngui::dlg::control;

namespace {
const char* kModule = kSoftHsm;

class TokenDialogTest : public guitest::DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    if (access(kModule, R_OK) != 0) GTEST_SKIP() << "SoftHSM2 is not installed";
    std::string d = tmp.path();
    std::ofstream(d + "/vlntoken.ini") << "[PKCS11]\nsoft=" << kModule << "\t1\n";
    setenv("VLNTOKEN_INI", (d + "/vlntoken.ini").c_str(), 1);
    std::string error;
    ASSERT_TRUE(SoftHsmToken(d).init(&error)) << error;
    TokenDataInit();
    TokenLookup(nullptr, nullptr);
  }
  void TearDown() override {
    if (token) TokenFree(token);
    TokenDataFree();
    DialogTest::TearDown();
  }
  // Logs in and writes a certificate with its key and a profile to the token.
  void writeCredentials() {
    ASSERT_EQ(TokenLoad(kModule, &token), 0);
    ASSERT_EQ(TokenNow(token), 0);
    ASSERT_EQ(TokenLogin(token, "1234", 0), 0);
    std::string base = makeCert("alice");
    FILE* f = fopen((base + ".crt").c_str(), "r");
    X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    fclose(f);
    f = fopen((base + ".key").c_str(), "r");
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    fclose(f);
    std::strcpy(token->key_id, "4b31");
    EXPECT_EQ(TokenWriteCertificate(token, cert, key, 1), 0);
    X509_free(cert);
    EVP_PKEY_free(key);
    EXPECT_EQ(TokenWriteConfig(token,
                               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<profile version=\"1.0\">"
                               "<host>vpn.example.net</host><port>5711</port><switch>office</switch>"
                               "<authtype>token</authtype></profile>\n",
                               nullptr, 1),
              0);
  }
  QString label(QWidget* w, int id) { return control<QLabel>(w, id)->text(); }

  TokenData* token = nullptr;
};
}  // namespace

TEST_F(TokenDialogTest, DeviceInformationFromTheTokenAndThePinChoice) {
  CProgressDlg progress;
  progress.install();
  writeCredentials();
  QCoreApplication::processEvents();
  EXPECT_FALSE(progress.text().isEmpty());  // the library reported its steps

  std::string objs = run_command(SoftHsmToken::tool() + " --list-objects --login --pin 1234");
  EXPECT_NE(objs.find("Certificate Object; type = X.509 cert"), std::string::npos) << objs;
  EXPECT_NE(objs.find("client.vln"), std::string::npos) << objs;

  CDlgTokenInfo d;
  d.token = token;
  d.encPin = "ZW5jcGlu";
  d.load();
  d.show();
  EXPECT_TRUE(shown.empty()) << shown.front().text.toStdString();
  EXPECT_EQ(label(&d, 12231), kModule);
  EXPECT_EQ(label(&d, 12235), "velarn");
  EXPECT_EQ(label(&d, 12236), "SoftHSM project");
  EXPECT_EQ(label(&d, 12242), "alice");
  EXPECT_EQ(label(&d, 12244), "vpn.example.net");
  EXPECT_EQ(label(&d, 12245), "5711");
  EXPECT_EQ(label(&d, 12246), "office");
  auto* save = control<QCheckBox>(&d, 12262);
  EXPECT_TRUE(save->isChecked());
  type(&d, 12260, "4321");  // a new PIN replaces the stored one
  clickOk(&d);
  EXPECT_TRUE(d.savePin);
  EXPECT_FALSE(d.encrypted);
  EXPECT_EQ(d.pin, "4321");

  CDlgTokenInfo off;
  off.token = token;
  off.encPin = "ZW5jcGlu";
  off.load();
  off.show();
  tick(control<QCheckBox>(&off, 12262));
  EXPECT_FALSE(control(&off, 12260)->isEnabled());
  clickOk(&off);
  EXPECT_FALSE(off.savePin);

  CDlgTokenInfo none;
  none.load();
  EXPECT_EQ(label(&none, 12235), "(no authentication device)");
  EXPECT_EQ(label(&none, 12242), "(no certificate found)");
  EXPECT_EQ(label(&none, 12244), "(none)");
}

TEST_F(TokenDialogTest, DeviceChoiceSkipsUntitledModulesAndKeepsPositions) {
  CDlgTokenSelect d;
  d.paths = {"/nonexistent/module.so", kModule};
  d.load();
  d.show();
  auto* list = control<QListWidget>(&d, 12460);
  ASSERT_EQ(list->count(), 2);
  EXPECT_EQ(list->item(1)->text(), QString::fromStdString(catalogs.token_text(40020)));
  EXPECT_EQ(d.paths, QStringList{kModule});
  // The free choice with the file dialog cancelled: the load fails and the
  // dialog stays.
  list->setCurrentRow(1);
  clickOk(&d);
  EXPECT_EQ(d.result(), QDialog::Rejected);
  EXPECT_GE(lastId(), 40000);
  list->setCurrentRow(0);
  clickOk(&d);
  ASSERT_EQ(d.result(), QDialog::Accepted);
  EXPECT_EQ(d.path, kModule);
  EXPECT_FALSE(d.title.isEmpty());
  ASSERT_NE(d.token, nullptr);
  token = d.token;
}
