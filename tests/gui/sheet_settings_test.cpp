// The settings sheet driven as a user would: pages, checks, the OK handler
// and what ends up in the profile.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTabWidget>

#include "cert_ops.h"
#include "dialog_fixture.h"
#include "entry_points.h"
#include "property_sheet.h"

using guitest::DialogTest;
using vlngui::dlg::control;

namespace {
ProfileRecord complete() {
  ProfileRecord r;
  r.host = "vpn.example";
  r.port = "5711";
  r.switchName = "office";
  r.authType = "password";
  r.username = "alice";
  r.encPassword = "ZW5j";
  return r;
}

QByteArray readAll(const std::string& path) {
  QFile f(QString::fromStdString(path));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
}  // namespace

TEST_F(DialogTest, SheetStartPage) {
  std::string ca = makeCert("start-ca");
  struct Case {
    std::function<void(ProfileRecord&)> change;
    int page;
  } cases[] = {
      {[](ProfileRecord& r) { r.switchName.clear(); }, 0},
      {[](ProfileRecord&) {}, 1},  // no trusted authority
      {[&](ProfileRecord& r) { r.trust << QString::fromUtf8(readAll(ca + ".crt")); }, 0},
      {[&](ProfileRecord& r) {
         r.trust << QString::fromUtf8(readAll(ca + ".crt"));
         r.authKind = 1;
       },
       1},
  };
  for (const Case& c : cases) {
    ProfileRecord r = complete();
    c.change(r);
    CPropertySheetSetting sheet;
    sheet.load(r, nullptr);
    sheet.start();
    EXPECT_EQ(sheet.tabs()->currentIndex(), c.page);
  }
}

TEST_F(DialogTest, SheetGeneralChecks) {
  struct Case {
    int id;
    QString text;
    int message;
  } cases[] = {
      {11071, QString(125, 'h'), 0},
      {11071, QString(126, 'h'), 22222},
      {11072, QString(16, 's'), 0},
      {11072, QString(17, 's'), 22221},
      {11073, "65535", 0},
      {11073, "65536", 22224},
      {11072, QString::fromUtf8("本社"), 22220},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.left(20).toStdString());
    shown.clear();
    CPropertySheetSetting sheet;
    sheet.load(complete(), nullptr);
    sheet.start();
    sheet.show();
    sheet.tabs()->setCurrentIndex(0);
    type(sheet.general(), c.id, c.text);
    clickOk(&sheet);
    EXPECT_EQ(lastId(), c.message);
    EXPECT_EQ(sheet.result(), c.message ? QDialog::Rejected : QDialog::Accepted);
    if (!c.message) {
      ProfileRecord out;
      sheet.store(out);
      EXPECT_EQ(c.id == 11071 ? out.host : c.id == 11072 ? out.switchName : out.port, c.text);
    }
    // A refused value also keeps the user on the page when leaving it.
    if (c.message) {
      sheet.tabs()->setCurrentIndex(2);
      EXPECT_EQ(sheet.tabs()->currentIndex(), 0);
    }
  }
}

TEST_F(DialogTest, SheetAutomaticConnectionNeedsTheLoginParts) {
  std::string ca = makeCert("auto-ca");
  struct Case {
    std::function<void(ProfileRecord&)> change;
    int message;
  } cases[] = {
      {[](ProfileRecord&) {}, 22264},
      {[&](ProfileRecord& r) { r.trust << QString::fromUtf8(readAll(ca + ".crt")); }, 0},
      {[&](ProfileRecord& r) {
         r.trust << QString::fromUtf8(readAll(ca + ".crt"));
         r.encPassword.clear();
       },
       22267},
      {[](ProfileRecord& r) { r.host.clear(); }, 22261},
      {[](ProfileRecord& r) {
         r.authKind = 2;
         r.driver = "/usr/lib/softhsm/libsofthsm2.so";
       },
       22266},
  };
  for (const Case& c : cases) {
    shown.clear();
    ProfileRecord r = complete();
    c.change(r);
    CPropertySheetSetting sheet;
    sheet.load(r, nullptr);
    sheet.start();
    sheet.show();
    sheet.tabs()->setCurrentIndex(2);
    tick(control<QRadioButton>(sheet.option(), 11231));
    EXPECT_FALSE(control(sheet.option(), 11240)->isEnabled());
    clickOk(&sheet);
    EXPECT_EQ(lastId(), c.message);
    EXPECT_EQ(sheet.result(), c.message ? QDialog::Rejected : QDialog::Accepted);
  }
}

TEST_F(DialogTest, SheetAuthoritiesAndCredentials) {
  std::string a = makeCert("ca-one"), b = makeCert("ca-two");
  std::string both = tmp.path() + "/both.pem";
  run_command("cat " + a + ".crt " + b + ".crt > " + both);
  std::string client = makeCert("client", "-passout pass:kpw");
  ProfileRecord r = complete();
  CPropertySheetSetting sheet;
  sheet.load(r, nullptr);
  sheet.start();
  sheet.show();
  CPageAuth* auth = sheet.auth();
  auto* list = control<QListWidget>(auth, 11152);

  files = {QString::fromStdString(both), QString::fromStdString(a + ".crt"), "/nonexistent.pem"};
  for (int i = 0; i < 3; ++i) QTest::mouseClick(control<QPushButton>(auth, 11140), Qt::LeftButton);
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].id, 22017);  // the second file repeats the first's authority
  EXPECT_EQ(shown[1].id, 22016);
  EXPECT_EQ(sheet.state().caPem.size(), 1);  // one text holding two certificates
  EXPECT_TRUE(control(auth, 11142)->isEnabled());

  // Certificate login: PEM certificate, then its key with a wrong and a
  // right password.
  auto* method = control<QComboBox>(auth, 11150);
  method->setCurrentIndex(1);
  emit method->activated(1);
  EXPECT_FALSE(control(auth, 11132)->isEnabled());
  auto password = [this](const char* pw) {
    steps.push_back([pw](CVlnDialog& d) {
      DialogTest::type(&d, 13060, pw);
      DialogTest::clickOk(&d);
    });
  };
  shown.clear();
  files = {QString::fromStdString(client + ".crt"), QString::fromStdString(client + ".key")};
  password("nope");
  QTest::mouseClick(control<QPushButton>(auth, 11130), Qt::LeftButton);
  EXPECT_EQ(lastId(), 22015);
  files = {QString::fromStdString(client + ".crt"), QString::fromStdString(client + ".key")};
  password("kpw");
  QTest::mouseClick(control<QPushButton>(auth, 11130), Qt::LeftButton);
  EXPECT_EQ(edit(auth, 11105)->text(), "client");
  EXPECT_TRUE(control(auth, 11132)->isEnabled());
  shown.clear();
  // A key of another certificate is refused rather than saved.
  files = {QString::fromStdString(a + ".crt"), QString::fromStdString(client + ".key")};
  password("kpw");
  QTest::mouseClick(control<QPushButton>(auth, 11130), Qt::LeftButton);
  EXPECT_EQ(lastId(), 22011);
  EXPECT_EQ(edit(auth, 11105)->text(), "client");

  // Browse: a path with a blank is quoted.
  sheet.tabs()->setCurrentIndex(2);
  files = {"/opt/Velarn Tools/after connect.sh"};
  QTest::mouseClick(control<QPushButton>(sheet.option(), 11223), Qt::LeftButton);
  EXPECT_FALSE(control(sheet.option(), 11222)->isVisible());
  shown.clear();
  clickOk(&sheet);
  ASSERT_EQ(sheet.result(), QDialog::Accepted) << lastId();
  ProfileRecord out = r;
  sheet.store(out);
  EXPECT_EQ(out.trust.size(), 2);  // split when the page was checked
  EXPECT_EQ(list->count(), 2);
  EXPECT_EQ(out.authType, "x509");
  EXPECT_EQ(vlngui::cert::KeyMatchesCertificate(out.certificate.toUtf8(), out.privateKey.toUtf8(), ""),
            vlngui::cert::kKeyMatches);
  EXPECT_FALSE(out.privateKey.contains("ENCRYPTED"));
  EXPECT_EQ(out.settings.executeConnected, "\"/opt/Velarn Tools/after connect.sh\"");
}

TEST_F(DialogTest, SheetStoresTypedSecretsEncryptedAndTheProxyBack) {
  ProfileRecord r = complete();
  CPropertySheetSetting sheet;
  sheet.load(r, nullptr);
  sheet.start();
  sheet.show();
  steps.push_back([](CVlnDialog& d) {
    DialogTest::type(&d, 13162, "newpass");
    DialogTest::clickOk(&d);
  });
  sheet.tabs()->setCurrentIndex(1);
  QTest::mouseClick(control<QPushButton>(sheet.auth(), 11130), Qt::LeftButton);
  sheet.tabs()->setCurrentIndex(0);
  auto* method = control<QComboBox>(sheet.general(), 11021);
  method->setCurrentIndex(1);
  emit method->activated(1);
  steps.push_back([](CVlnDialog& d) {
    DialogTest::type(&d, 12060, "proxy.example");
    DialogTest::type(&d, 12061, "3128");
    DialogTest::clickOk(&d);
  });
  QTest::mouseClick(control<QPushButton>(sheet.general(), 11012), Qt::LeftButton);
  clickOk(&sheet);
  ASSERT_EQ(sheet.result(), QDialog::Accepted);
  ProfileRecord out = r;
  sheet.store(out, [](const QString& plain) { return "enc:" + plain; });
  EXPECT_EQ(out.encPassword, "enc:newpass");
  EXPECT_TRUE(out.password.isEmpty());
  EXPECT_EQ(out.proxyHost, "proxy.example");
  EXPECT_EQ(out.proxyPort, "3128");
}

TEST_F(DialogTest, SheetNetworkConnectionsProgram) {
  CPropertySheetSetting sheet;
  sheet.load(complete(), nullptr);
  sheet.show();
  sheet.tabs()->setCurrentIndex(2);
  QTest::mouseClick(control<QPushButton>(sheet.option(), 11220), Qt::LeftButton);
  if (QStandardPaths::findExecutable("nm-connection-editor").isEmpty()) {
    EXPECT_EQ(lastId(), 22290);
    EXPECT_TRUE(started.isEmpty());
  } else {
    EXPECT_EQ(started.size(), 1);
  }
}

// The program's way in: OK stores the pages into the store's profile and
// saves it; Cancel leaves both alone.
TEST_F(DialogTest, SheetEntryPointStoresAndSaves) {
  for (bool ok : {true, false}) {
    QString data = QString::fromStdString(tmp.path()) + (ok ? "/ok" : "/cancel");
    QDir().mkpath(data);
    CMainFileFunction store;
    store.SetPaths({data, data, data + "/client.xml", data + "/kevad.ini", data + "/startup.vln"});
    auto& h = store.GetHooks();
    h.message = [](unsigned, unsigned, const QString&) { return 0; };
    h.catalogText = [](unsigned) { return QString(); };
    h.encrypt = [](const QString& plain) { return "ENC" + plain.toUtf8().toBase64(); };
    h.ensureAccess = [] { return true; };
    store.Current() = complete();
    steps.push_back([ok](CVlnDialog& d) {
      auto& sheet = static_cast<CPropertySheetSetting&>(d);
      sheet.show();
      sheet.tabs()->setCurrentIndex(0);
      DialogTest::type(sheet.general(), 11071, "vpn9.example");
      if (ok) DialogTest::clickOk(&d);
    });
    TokenData* token = nullptr;
    EXPECT_EQ(vlngui::dlg::RunSettingsSheet(nullptr, store, &token), ok ? QDialog::Accepted : QDialog::Rejected);
    EXPECT_EQ(store.Current().host, ok ? "vpn9.example" : "vpn.example");
    QFile saved(data + "/client.xml");
    EXPECT_EQ(saved.exists(), ok);
    if (ok) {
      ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
      QByteArray xml = saved.readAll();
      EXPECT_TRUE(xml.contains("<host>vpn9.example</host>")) << xml.toStdString();
      EXPECT_TRUE(xml.contains("<enc_password>ZW5j</enc_password>")) << xml.toStdString();
    }
  }
}
