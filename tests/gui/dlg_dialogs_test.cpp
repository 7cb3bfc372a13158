// The credential, status and network dialogs driven as a user would.
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTabWidget>

#include "cert_ops.h"
#include "dialog_fixture.h"
#include "entry_points.h"
#include "property_sheet.h"

using guitest::DialogTest;
using vlngui::dlg::control;

namespace {
const QString kEnc = QStringLiteral("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=");
}

TEST_F(DialogTest, AuthUserPwdChecksInOrderAndKeepsAnUntouchedEncryptedPassword) {
  struct Case {
    const char* user;
    const char* typed;  // nullptr: leave the field as shown
    int message;
    bool encrypted;
  } cases[] = {
      {"alice", "123456789012", 0, false},  {"alice", "1234567890123", 22223, false},
      {"abcdefghijklmnop", "pw", 0, false}, {"abcdefghijklmnopq", "pw", 22221, false},
      {"ありす", "pw", 22220, false},       {"alice", "パスワード", 22220, false},
      {"alice", nullptr, 0, true},  // a long stored secret, re-confirmed
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user + std::string(" / ") + (c.typed ? c.typed : "(kept)"));
    shown.clear();
    CDlgAuthUserPwd d;
    d.userName = "old";
    d.encPassword = kEnc;
    d.load();
    d.show();
    EXPECT_EQ(edit(&d, 13162)->text(), kEnc);
    type(&d, 13161, QString::fromUtf8(c.user));
    if (c.typed) type(&d, 13162, QString::fromUtf8(c.typed));
    clickOk(&d);
    EXPECT_EQ(lastId(), c.message);
    EXPECT_EQ(d.result(), c.message ? QDialog::Rejected : QDialog::Accepted);
    if (c.message) {
      EXPECT_EQ(d.userName, "old");
      EXPECT_FALSE(shown.back().text.contains(QString::fromUtf8(c.typed ? c.typed : "x")) && c.message == 22223)
          << "the password itself is never shown";
      continue;
    }
    EXPECT_EQ(d.encrypted, c.encrypted);
    EXPECT_EQ(d.password, c.encrypted ? QString() : QString::fromUtf8(c.typed));
  }
}

TEST_F(DialogTest, ProxyEnablingAndChecks) {
  struct Case {
    const char* host;
    const char* port;
    bool auth;
    const char* user;
    int message;
  } cases[] = {
      {"proxy.example", "", false, "", 22228},   {"", "", false, "", 0},
      {"proxy.example", "8080", true, "bob", 0}, {"proxy.example", "65536", false, "", 22224},
      {"プロキシ", "8080", false, "", 22220},    {"", "8080", false, "", 0},
  };
  std::string longHost(126, 'h');
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + ":" + c.port);
    shown.clear();
    CDlgProxy d;
    d.load();
    d.show();
    auto* box = control<QCheckBox>(&d, 12031);
    type(&d, 12060, QString::fromUtf8(c.host));
    type(&d, 12061, c.port);
    bool ready = *c.host && *c.port;
    EXPECT_EQ(box->isEnabled(), ready);
    if (c.auth) {
      tick(box);
      EXPECT_TRUE(edit(&d, 12062)->isEnabled());
      type(&d, 12062, c.user);
      type(&d, 12063, "secret");
    } else {
      EXPECT_FALSE(edit(&d, 12062)->isEnabled());
    }
    clickOk(&d);
    EXPECT_EQ(lastId(), c.message);
    if (!c.message) {
      EXPECT_EQ(d.result(), QDialog::Accepted);
      EXPECT_EQ(d.userName, c.user);
      EXPECT_EQ(d.password, c.auth ? "secret" : "");
    }
  }
  CDlgProxy d;
  d.load();
  d.show();
  type(&d, 12060, QString::fromStdString(longHost));
  type(&d, 12061, "1");
  clickOk(&d);
  EXPECT_EQ(lastId(), 22222);
  EXPECT_EQ(shown.back().value, QString::fromStdString(longHost));
}

TEST_F(DialogTest, ServerListParser) {
  auto lines = [](int n) {
    QString t;
    for (int i = 1; i <= n; ++i) t += QStringLiteral("host%1.example:%2\r\n").arg(i).arg(5000 + i);
    return t;
  };
  struct Case {
    QString text;
    int message;
    QString value;
    int kept;  // servers in the slots afterwards
  } cases[] = {
      {lines(99), 0, "", 99},
      {lines(100), 22226, "", 0},
      {"a.example:5711\n\n  b.example:80  \n", 0, "", 2},
      {"a.example:57x1\nb.example:1\n", 22227, "57x1", 2},
      {"a.example\n", 22220, "a.example", 0},
      {"a.example:70000\n", 22224, "70000", 0},
      {":5711\n", 22220, ":5711", 0},
      {"a.example:\n", 22220, "a.example:", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.left(40).toStdString());
    shown.clear();
    CDlgChangeConnect d;
    d.hosts[0] = "old.example";
    d.ports[0] = "1";
    d.mode = 1;
    d.load();
    d.show();
    EXPECT_EQ(control<QComboBox>(&d, 12650)->currentText(), "Random");
    control<QPlainTextEdit>(&d, 12661)->setPlainText(c.text);
    clickOk(&d);
    EXPECT_EQ(lastId(), c.message);
    if (c.message) {
      EXPECT_EQ(shown.back().value, c.value);
    }
    EXPECT_EQ(d.result(), c.message ? QDialog::Rejected : QDialog::Accepted);
    int filled = 0;
    while (filled < 99 && !d.hosts[size_t(filled)].isEmpty()) ++filled;
    if (c.message != 22226) {
      EXPECT_EQ(filled, c.kept);
    }
  }
  CDlgChangeConnect d;
  d.load();
  control<QPlainTextEdit>(&d, 12661)->setPlainText("a.example:5x\n");
  clickOk(&d);
  EXPECT_EQ(d.ports[0], "0");
}

TEST_F(DialogTest, MacListReadsInNineteenCharacterSteps) {
  auto macs = [](int n) {
    QStringList l;
    for (int i = 0; i < n; ++i)
      l << QStringLiteral("02:00:00:00:%1:%2").arg(i / 256, 2, 16, QChar('0')).arg(i % 256, 2, 16, QChar('0'));
    return l;
  };
  struct Case {
    QString text;
    int radio;
    int message;
    int kept;
  } cases[] = {
      {macs(256).join('\n'), 12512, 0, 256},
      {macs(257).join('\n'), 12512, 22225, 0},
      {"02:00:00:00:00:01\n\n", 12513, 0, 1},  // an empty line ends the list
      // An empty line inside shifts the steps: the list is refused, not cut.
      {"02:00:00:00:00:01\n\n02:00:00:00:00:02\n", 12513, 22220, 0},
      {"02:00:00:00:00:01\n02-00-00-00-00-02\n", 12512, 22220, 0},
      {"2:00:00:00:00:01\n02:00:00:00:00:02\n", 12512, 22220, 0},  // a short line shifts the next
      {"02:00:00:00:00:01\n", 12511, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.left(40).toStdString());
    shown.clear();
    CDlgMacFilter d;
    d.deny = QStringList{"02:aa:aa:aa:aa:aa"};
    d.load();
    d.show();
    EXPECT_TRUE(control<QRadioButton>(&d, 12513)->isChecked());
    tick(control<QRadioButton>(&d, c.radio));
    EXPECT_EQ(control(&d, 12561)->isEnabled(), c.radio != 12511);
    control<QPlainTextEdit>(&d, 12561)->setPlainText(c.text);
    clickOk(&d);
    EXPECT_EQ(lastId(), c.message);
    const QStringList& chosen = c.radio == 12512 ? d.allow : d.deny;
    EXPECT_EQ(chosen.size(), c.kept);
    if (!c.message && c.radio == 12512) {
      EXPECT_TRUE(d.deny.isEmpty());
    }
  }
}

TEST_F(DialogTest, TcpSettingOffersAMaskWithoutOverwritingATypedOne) {
  CDlgTcpSetting d;
  d.load();
  d.show();
  EXPECT_EQ(edit(&d, 11371)->text(), "0.0.0.0");
  EXPECT_FALSE(edit(&d, 11371)->isEnabled());
  tick(control<QRadioButton>(&d, 11322));
  EXPECT_TRUE(edit(&d, 11371)->isEnabled());
  EXPECT_EQ(edit(&d, 11372)->text(), "");
  type(&d, 11371, "10.1.2.3");
  EXPECT_EQ(edit(&d, 11372)->text(), "255.255.255.0");
  type(&d, 11372, "255.255.0.0");
  type(&d, 11373, "10.1.0.1");
  EXPECT_EQ(edit(&d, 11372)->text(), "255.255.0.0");
  clickOk(&d);
  EXPECT_TRUE(d.staticAddress);
  EXPECT_EQ(d.mask, "255.255.0.0");
  EXPECT_EQ(d.gateway, "10.1.0.1");
}

TEST_F(DialogTest, ConnectingLogSplitsLongLinesOnceAndNeverInsideACharacter) {
  const QString a59(59, 'a');
  struct Case {
    QString line;
    QStringList entries;
  } cases[] = {
      {QString(60, 'x'), {QString(60, 'x')}},
      {QString(60, 'x') + "yz", {QString(60, 'x'), "yz"}},
      {a59 + QString::fromUtf8("あ"), {a59, QString::fromUtf8("あ")}},
      {a59 + QString::fromUtf8("ｱ"), {a59 + QString::fromUtf8("ｱ")}},  // half-width kana is one byte
      {QString(130, 'q'), {QString(60, 'q'), QString(70, 'q')}},
  };
  CDlgConnectingLog d;
  for (const Case& c : cases) d.lines << c.line;
  d.sessionLogPath = "/var/lib/velarn/session.log";
  d.load();
  auto* list = control<QListWidget>(&d, 19860);
  QStringList got;
  for (int i = 0; i < list->count(); ++i) got << list->item(i)->text();
  QStringList want;
  for (const Case& c : cases) want << c.entries;
  EXPECT_EQ(got, want);
  EXPECT_EQ(list->currentRow(), list->count() - 1);
  EXPECT_EQ(d.windowTitle(), "Connection log");
  QTest::mouseClick(control<QPushButton>(&d, 19820), Qt::LeftButton);
  EXPECT_EQ(started, QStringList{"xdg-open"});
}

TEST_F(DialogTest, CertificateShowsNamesValidityAndFingerprint) {
  std::string base = makeCert("vpn-client");
  std::string fp = run_command("openssl x509 -in " + base + ".crt -noout -fingerprint -sha1");
  QString want = QString::fromStdString(fp.substr(fp.find('=') + 1)).trimmed().toLower().replace(':', ' ');
  QFile f(QString::fromStdString(base + ".crt"));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  QByteArray pem = f.readAll();
  std::string der = run_command("openssl x509 -in " + base + ".crt -outform DER | base64 -w0");
  for (const QByteArray& bytes : {pem, QByteArray::fromBase64(QByteArray::fromStdString(der))}) {
    CDlgCertificate d;
    d.certificate = bytes;
    d.load();
    EXPECT_EQ(control<QLabel>(&d, 12116)->text(), want);
    EXPECT_EQ(control<QLabel>(&d, 12111)->text(), "vpn-client");
    EXPECT_EQ(control<QLabel>(&d, 12112)->text(), "vpn-client");
    EXPECT_EQ(control<QLabel>(&d, 12115)->text(), "sha1");
    EXPECT_TRUE(control<QLabel>(&d, 12113)->text().contains(QRegularExpression("^\\d{4}/\\d{1,2}/\\d{1,2} - \\d{4}/")));
  }
  CDlgCertificate bad;
  bad.certificate = "not a certificate";
  bad.load();
  EXPECT_EQ(control<QLabel>(&bad, 12111)->text(), "");
}

TEST_F(DialogTest, Pkcs12ImportResults) {
  std::string base = makeCert("p12");
  int st = 0;
  run_command(
      "openssl pkcs12 -export -in " + base + ".crt -inkey " + base + ".key -out " + base + ".p12 -passout pass:right",
      &st);
  ASSERT_EQ(st, 0);
  QFile f(QString::fromStdString(base + ".p12"));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  QByteArray p12 = f.readAll(), cert, key;
  QString error;
  EXPECT_EQ(vlngui::cert::ImportPkcs12(p12, "wrong", &cert, &key, &error), vlngui::cert::kP12Password);
  EXPECT_FALSE(error.contains("wrong"));
  EXPECT_EQ(vlngui::cert::ImportPkcs12(p12, "right", &cert, &key), vlngui::cert::kP12Done);
  EXPECT_EQ(vlngui::cert::KeyMatchesCertificate(cert, key, ""), vlngui::cert::kKeyMatches);
  EXPECT_EQ(vlngui::cert::ImportPkcs12("plain text", "", &cert, &key), vlngui::cert::kP12Done);
  EXPECT_TRUE(cert.isEmpty() && key.isEmpty());
}

// Every caption of every dialog and page comes from the catalog: an id the
// catalog lacks would leave a blank button or label in that language.
TEST_F(DialogTest, EveryCaptionIsTranslated) {
  for (const char* lang : {"en", "ja"}) {
    SCOPED_TRACE(lang);
    vlngui::Catalogs c = guitest::shipped(lang);
    vlngui::dlg::env().catalogs = &c;
    std::vector<std::unique_ptr<QWidget>> windows;
    auto add = [&](CVlnDialog* d) {
      d->load();
      windows.emplace_back(d);
    };
    add(new CDlgAuthUserPwd);
    add(new CDlgCertPasswd);
    add(new CDlgCertificate);
    add(new CDlgTokenSelect);
    add(new CDlgTokenInfo);
    add(new CDlgConnectingLog);
    add(new CDlgProxy);
    add(new CDlgChangeConnect);
    add(new CDlgMacFilter);
    add(new CDlgTcpSetting);
    auto* sheet = new CPropertySheetSetting;
    sheet->load(ProfileRecord(), nullptr);
    for (int i = 0; i < 4; ++i) sheet->tabs()->setCurrentIndex(i);
    windows.emplace_back(sheet);
    for (auto& w : windows) {
      SCOPED_TRACE(w->metaObject()->className() + std::string(" ") + w->objectName().toStdString());
      EXPECT_FALSE(w->windowTitle().isEmpty());
      for (QWidget* child : w->findChildren<QWidget*>()) {
        if (!child->property("controlId").isValid()) continue;
        QString text;
        if (auto* b = qobject_cast<QAbstractButton*>(child))
          text = b->text();
        else if (auto* g = qobject_cast<QGroupBox*>(child))
          text = g->title();
        else if (auto* l = qobject_cast<QLabel*>(child); l && !(l->textInteractionFlags() & Qt::TextSelectableByMouse))
          text = l->text();
        else
          continue;
        if (child->objectName().startsWith("IDC_VERSION") || child->objectName().startsWith("IDC_BUILD") ||
            child->objectName() == "IDC_NAME_LABEL" || child->objectName() == "IDC_SERVER_COUNT")
          text += "x";  // filled when the page opens, checked by the page tests
        EXPECT_FALSE(text.trimmed().isEmpty()) << child->objectName().toStdString();
      }
    }
  }
}

// The installer's proxy set-up hands over the held password, encrypted or
// not: only a changed field counts as typed.
TEST_F(DialogTest, ProxySetupTellsATypedPasswordFromTheHeldOne) {
  for (const char* typed : {static_cast<const char*>(nullptr), "fresh"}) {
    ProxyDialogData data{"proxy.example", "3128", "bob", "ZW5jb2RlZA==", false};
    steps.push_back([typed](CVlnDialog& d) {
      if (typed) DialogTest::type(&d, 12063, typed);
      DialogTest::clickOk(&d);
    });
    ASSERT_TRUE(vlngui::dlg::RunProxySetup(nullptr, data));
    EXPECT_EQ(data.passwordTyped, typed != nullptr);
    EXPECT_EQ(data.password, typed ? QString(typed) : QString());
    EXPECT_EQ(data.username, "bob");
  }
}
