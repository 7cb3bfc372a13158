// Writes <out>/<lang>-<name>.png for every dialog and settings page, in the
// language the environment chooses (LANG and friends), with sample values.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

#include "catalog.h"
#include "dialog_support.h"
#include "dialogs.h"
#include "progress_dlg.h"
#include "property_sheet.h"

namespace {

QString g_out, g_lang;
int g_failures = 0;

void snap(QWidget* w, const QString& name) {
  w->show();
  w->adjustSize();
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
  QString path = QStringLiteral("%1/%2-%3.png").arg(g_out, g_lang, name);
  if (!w->grab().save(path)) {
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    ++g_failures;
  }
  w->hide();
}

QByteArray sampleCertificate(const QString& dir) {
  QProcess p;
  p.start(QStringLiteral("openssl"),
          {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "365", "-keyout", dir + "/k.pem", "-out",
           dir + "/c.pem", "-subj", "/O=Velarn/OU=Office/CN=Velarn Example CA"});
  p.waitForFinished(60000);
  QFile f(dir + "/c.pem");
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: vlngui-shots <folder>\n");
    return 2;
  }
  g_out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(g_out);
  g_lang = QString::fromStdString(vlngui::catalog_language());
  std::string folder = vlngui::find_catalog_folder(
      QFileInfo(QCoreApplication::applicationFilePath()).absolutePath().toStdString(), g_lang.toStdString());
  vlngui::Catalogs catalogs;
  if (folder.empty() || !catalogs.load(folder)) {
    std::fprintf(stderr, "no %s catalogs found\n", qPrintable(g_lang));
    return 1;
  }
  auto& env = vlngui::dlg::env();
  env.catalogs = &catalogs;
  env.message = [](QWidget*, const vlngui::dlg::Message&) { return true; };
  QTemporaryDir tmp;
  QByteArray cert = sampleCertificate(tmp.path());

  {
    CDlgAuthUserPwd d;
    d.userName = "alice";
    d.password = "secret";
    d.load();
    snap(&d, "auth-user-pwd");
  }
  {
    CDlgCertPasswd d;
    d.load();
    snap(&d, "cert-passwd");
  }
  {
    CDlgCertificate d;
    d.certificate = cert;
    d.load();
    snap(&d, "certificate");
  }
  {
    CDlgTokenSelect d;
    d.load();
    snap(&d, "token-select");
  }
  {
    CDlgTokenInfo d;
    d.pin = "1234";
    d.load();
    snap(&d, "token-info");
  }
  {
    CDlgConnectingLog d;
    d.lines = {QStringLiteral("Dec 07 09:12:01 [notice] Connecting to vpn.example.net:5711"),
               QStringLiteral("Dec 07 09:12:02 [notice] TLS session established (TLSv1.3)"),
               QStringLiteral("Dec 07 09:12:02 [info] Switch: office; adapter up"),
               g_lang == "ja" ? QString::fromUtf8("Dec 07 09:12:03 [notice] 接続しました: vpn.example.net "
                                                  "(スイッチ office) 仮想アダプタのアドレスを取得しました")
                              : QStringLiteral("Dec 07 09:12:03 [notice] Connected: vpn.example.net (switch "
                                               "office); the virtual adapter has its address")};
    d.load();
    snap(&d, "connecting-log");
  }
  {
    CDlgMessage d;
    snap(&d, "message");
  }
  {
    CProgressDlg d;
    d.handle(2, vlngui::dlg::text(19011));
    snap(&d, "progress");
  }
  {
    CDlgProxy d;
    d.host = "proxy.example.net";
    d.port = "3128";
    d.authentication = true;
    d.userName = "alice";
    d.password = "secret";
    d.load();
    snap(&d, "proxy");
  }
  {
    CDlgChangeConnect d;
    d.hosts[0] = "vpn1.example.net", d.ports[0] = "5711";
    d.hosts[1] = "vpn2.example.net", d.ports[1] = "5711";
    d.hosts[2] = "203.0.113.7", d.ports[2] = "443";
    d.load();
    snap(&d, "change-connect");
  }
  {
    CDlgMacFilter d;
    d.allow = {"02:00:5e:10:00:01", "02:00:5e:10:00:02"};
    d.load();
    snap(&d, "mac-filter");
  }
  {
    CDlgTcpSetting d;
    d.staticAddress = true;
    d.ip = "10.8.0.20", d.mask = "255.255.255.0", d.gateway = "10.8.0.1";
    d.load();
    snap(&d, "tcp-setting");
  }
  {
    ProfileRecord r;
    r.host = "vpn1.example.net", r.port = "5711";
    r.hostN[2] = "vpn2.example.net", r.portN[2] = "5711";
    r.switchName = "office";
    r.username = "alice", r.encPassword = "ZW5j";
    r.trust << QString::fromUtf8(cert);
    CPropertySheetSetting sheet;
    sheet.load(r, nullptr);
    sheet.start();
    const char* names[] = {"sheet-general", "sheet-auth", "sheet-option", "sheet-version"};
    sheet.show();
    sheet.tabs()->setCurrentIndex(0);
    for (int i = 0; i < 4; ++i) {
      sheet.tabs()->setCurrentIndex(i);
      snap(&sheet, QString::fromLatin1(names[i]));
    }
  }
  return g_failures ? 1 : 0;
}
