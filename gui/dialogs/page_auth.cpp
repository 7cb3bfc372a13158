// Settings, Auth page: the login method with its credential, and the trusted
// certificate authorities.
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "cert_ops.h"
#include "dialog_support.h"
#include "dialogs.h"
#include "property_sheet.h"
#include "ui_page_auth.h"
#include "vlntoken.h"

using namespace vlngui;

namespace {
bool readFile(const QString& path, QByteArray* bytes) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return false;
  *bytes = f.read(1 << 20);  // certificates and keys are small; a huge file is not one
  return true;
}

void collectModule(const TokenDriver* entry, void* user) {
  static_cast<QStringList*>(user)->append(QString::fromUtf8(entry->path));
}
}  // namespace

CPageAuth::CPageAuth(CPropertySheetSetting* sheet, SheetState& s) : CSheetPage(sheet, s), ui(new Ui::CPageAuth) {
  ui->setupUi(this);
  connect(ui->IDC_LOGIN_METHOD, &QComboBox::activated, this, [this] {
    refresh();
    sheet_->option()->methodChanged(method());
  });
  connect(ui->IDC_CRED_REGISTER, &QPushButton::clicked, this, [this] { registerCredential(); });
  connect(ui->IDC_CRED_DELETE, &QPushButton::clicked, this, [this] { deleteCredential(); });
  connect(ui->IDC_CRED_SHOW, &QPushButton::clicked, this, [this] { showCredential(); });
  connect(ui->IDC_CA_REGISTER, &QPushButton::clicked, this, [this] { registerAuthority(); });
  connect(ui->IDC_CA_DELETE, &QPushButton::clicked, this, [this] { deleteAuthority(); });
  connect(ui->IDC_CA_SHOW, &QPushButton::clicked, this, [this] { showAuthority(); });
  connect(ui->IDC_CA_LIST, &QListWidget::currentRowChanged, this, [this] { refresh(); });
}

CPageAuth::~CPageAuth() = default;

int CPageAuth::method() const {
  int i = ui->IDC_LOGIN_METHOD->currentIndex();
  return i < 0 ? s_.loginMethod : i;
}

void CPageAuth::onOpen() {
  dlg::applyCaptions(this, 11100, 11199);
  ui->IDC_LOGIN_METHOD->clear();
  for (int id = 21150; id < 21159; ++id)
    if (QString t = dlg::text(id); !t.isEmpty()) ui->IDC_LOGIN_METHOD->addItem(t);
  ui->IDC_NAME->setText(dlg::text(21121));
  ui->IDC_CA_LIST->clear();
  ui->IDC_CA_LIST->addItems(s_.caNames);
  ui->IDC_LOGIN_METHOD->setCurrentIndex(s_.loginMethod);
  if (s_.loginMethod == 2 && !s_.driver.isEmpty() && s_.driverTitle.isEmpty()) {
    if (s_.token && s_.token->driver_title[0]) {
      s_.driverTitle = QString::fromUtf8(s_.token->driver_title);
    } else {
      char title[TOKEN_PATH_SIZE] = {};
      int rc = TokenGetTitle(s_.driver.toUtf8().constData(), title);
      if (rc != TOKEN_OK)
        dlg::showTokenMessage(this, rc);
      else
        s_.driverTitle = QString::fromUtf8(title);
    }
  }
  refresh();
}

void CPageAuth::refresh() {
  int m = method();
  ui->IDC_NAME_LABEL->setText(dlg::text(m == 0 ? 11121 : m == 1 ? 11122 : 11123));
  ui->IDC_CRED_SHOW->setText(dlg::text(m == 2 ? 11133 : 11132));
  QString name = m == 0 ? s_.userName : m == 1 ? cert::SubjectShortName(s_.certificate.toUtf8()) : s_.driverTitle;
  // Registering is how a credential is set in the first place, so it stays
  // open for every method; deleting clears the password login's fields only.
  ui->IDC_CRED_REGISTER->setEnabled(true);
  ui->IDC_CRED_DELETE->setEnabled(m == 0 && !name.isEmpty());
  ui->IDC_CRED_SHOW->setEnabled(m != 0 && !name.isEmpty());
  ui->IDC_NAME->setText(name.isEmpty() ? dlg::text(21121) : name);
  bool selected = ui->IDC_CA_LIST->currentRow() >= 0;
  ui->IDC_CA_DELETE->setEnabled(selected);
  ui->IDC_CA_SHOW->setEnabled(selected);
}

void CPageAuth::registerCredential() {
  switch (method()) {
    case 0: {
      CDlgAuthUserPwd d(this);
      d.userName = s_.userName;
      d.password = s_.password;
      d.encPassword = s_.encPassword;
      if (dlg::run(d) == QDialog::Accepted) {
        s_.userName = d.userName;
        if (!d.encrypted) {
          s_.password = d.password;
          s_.encPassword.clear();
        }
      }
      break;
    }
    case 1: registerCertificate(); break;
    default: registerToken(); break;
  }
  refresh();
}

void CPageAuth::registerCertificate() {
  QString file = dlg::openFile(this, QString(), dlg::text(21160));
  if (file.isEmpty()) return;
  QByteArray bytes;
  if (!readFile(file, &bytes)) {
    dlg::showMessage(this, 22011, file);
    return;
  }
  QByteArray certPem, keyPem;
  if (file.contains(QStringLiteral(".p12"), Qt::CaseInsensitive) ||
      file.contains(QStringLiteral(".pfx"), Qt::CaseInsensitive)) {
    int rc = cert::ImportPkcs12(bytes, QString(), &certPem, &keyPem);
    if (rc == cert::kP12Password) {
      CDlgCertPasswd pw(this);
      if (dlg::run(pw) != QDialog::Accepted) return;
      rc = cert::ImportPkcs12(bytes, pw.password, &certPem, &keyPem);
      if (rc == cert::kP12Password) {
        dlg::showMessage(this, 22014);
        return;
      }
    }
    if (rc != cert::kP12Done || certPem.isEmpty() || keyPem.isEmpty()) {
      dlg::showMessage(this, 22011);
      return;
    }
  } else {
    QStringList pems = cert::CertificatesAsPem(bytes);
    if (pems.isEmpty()) {
      dlg::showMessage(this, 22011);
      return;
    }
    certPem = pems.first().toUtf8() + '\n';
    QString keyFile = dlg::openFile(this, QString(), dlg::text(21162));
    if (keyFile.isEmpty()) return;
    QByteArray keyBytes;
    if (!readFile(keyFile, &keyBytes)) {
      dlg::showMessage(this, 22011, keyFile);
      return;
    }
    cert::KeyRead kr = cert::ReadPrivateKey(keyBytes, QString(), &keyPem);
    if (kr == cert::KeyRead::NeedsPassword) {
      CDlgCertPasswd pw(this);
      if (dlg::run(pw) != QDialog::Accepted) return;
      kr = cert::ReadPrivateKey(keyBytes, pw.password, &keyPem);
    }
    if (kr != cert::KeyRead::Ok) {
      dlg::showMessage(this, kr == cert::KeyRead::WrongKind       ? 22013
                             : kr == cert::KeyRead::WrongPassword ? 22015
                                                                  : 22011);
      return;
    }
  }
  // A key of another certificate would be saved and then refuse every later
  // load of the profile; it is turned away here instead.
  if (cert::KeyMatchesCertificate(certPem, keyPem, QString()) != cert::kKeyMatches) {
    dlg::showMessage(this, 22011);
    return;
  }
  s_.certificate = QString::fromUtf8(certPem).trimmed();
  s_.privateKey = QString::fromUtf8(keyPem).trimmed();
}

void CPageAuth::registerToken() {
  if (s_.token) {
    TokenFree(s_.token);
    s_.token = nullptr;
  }
  QStringList found;
  TokenLookup(collectModule, &found);
  CDlgTokenSelect d(this);
  d.paths = found;
  if (dlg::run(d) != QDialog::Accepted) {
    s_.driver.clear();
    s_.driverTitle.clear();
    return;
  }
  s_.driver = d.path;
  s_.driverTitle = d.title;
  s_.token = d.token;
  if (!s_.driver.isEmpty()) {
    refresh();
    showCredential();
  }
}

void CPageAuth::deleteCredential() {
  if (!dlg::ask(this, 23012)) return;
  s_.userName.clear(), s_.password.clear(), s_.encPassword.clear();
  refresh();
}

void CPageAuth::showCredential() {
  int m = method();
  if (m == 1) {
    CDlgCertificate d(this);
    d.certificate = s_.certificate.toUtf8();
    dlg::run(d);
  } else if (m == 2) {
    CDlgTokenInfo d(this);
    d.token = s_.token;
    d.pin = s_.pin;
    d.encPin = s_.encPin;
    if (dlg::run(d) != QDialog::Accepted) return;
    if (!d.savePin) {
      s_.pin.clear(), s_.encPin.clear();
    } else if (!d.encrypted) {
      s_.pin = d.pin;
      s_.encPin.clear();
    }
  }
}

void CPageAuth::registerAuthority() {
  QString file = dlg::openFile(this, QString(), dlg::text(21161));
  if (file.isEmpty()) return;
  QByteArray bytes;
  QStringList pems;
  if (readFile(file, &bytes)) pems = cert::CertificatesAsPem(bytes);
  if (pems.isEmpty()) {
    dlg::showMessage(this, 22016, file);
    return;
  }
  QString name = cert::SubjectShortName(pems.first().toUtf8());
  if (s_.caNames.contains(name)) {
    dlg::showMessage(this, 22017, name);
    return;
  }
  s_.caPem << pems.join('\n');
  s_.caNames << name;
  ui->IDC_CA_LIST->addItem(name);
  ui->IDC_CA_LIST->setCurrentRow(ui->IDC_CA_LIST->count() - 1);
  refresh();
}

void CPageAuth::deleteAuthority() {
  int row = ui->IDC_CA_LIST->currentRow();
  if (row < 0 || !dlg::ask(this, 23012)) return;
  s_.caNames.removeAt(row);
  s_.caPem.removeAt(row);
  delete ui->IDC_CA_LIST->takeItem(row);
  refresh();
}

void CPageAuth::showAuthority() {
  int row = ui->IDC_CA_LIST->currentRow();
  if (row < 0 || row >= s_.caPem.size()) return;
  CDlgCertificate d(this);
  d.certificate = s_.caPem[row].toUtf8();
  dlg::run(d);
}

bool CPageAuth::validate() {
  s_.loginMethod = method();
  if (s_.loginMethod == 2) {
    if (s_.driver.isEmpty()) return dlg::showMessage(this, 22203), false;
    if (!dlg::singleByte(s_.driver)) return dlg::showMessage(this, 22220, s_.driver), false;
  }
  QStringList pems, names;
  for (const QString& text : s_.caPem) {
    for (const QString& one : cert::SplitPem(text)) {
      if (!cert::IsCertificate(one.toUtf8())) return dlg::showMessage(this, 22016, one), false;
      pems << one;
      names << cert::SubjectShortName(one.toUtf8());
    }
  }
  s_.caPem = pems;
  s_.caNames = names;
  ui->IDC_CA_LIST->clear();
  ui->IDC_CA_LIST->addItems(names);
  refresh();
  return true;
}

int CPageAuth::completenessFault() const {
  int m = opened() ? method() : s_.loginMethod;
  if (m == 1 && (s_.certificate.isEmpty() || s_.privateKey.isEmpty())) return 22265;
  if (m == 0 && (s_.userName.isEmpty() || (s_.password.isEmpty() && s_.encPassword.isEmpty()))) return 22267;
  if (s_.caPem.isEmpty()) return 22264;
  return 0;
}

int CPageAuth::pinFault() const { return s_.pin.isEmpty() && s_.encPin.isEmpty() ? 22266 : 0; }
