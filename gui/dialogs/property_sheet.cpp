// The settings sheet: page order, start page, leaving a page, the OK handler,
// and the copies between a profile and the pages.
#include "property_sheet.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "cert_ops.h"
#include "dialog_support.h"
#include "vlntoken.h"

using namespace vlngui;

CPropertySheetSetting::CPropertySheetSetting(QWidget* parent) : CVlnDialog(parent) {
  auto* layout = new QVBoxLayout(this);
  tabs_ = new QTabWidget(this);
  general_ = new CPageGeneral(this, state_);
  auth_ = new CPageAuth(this, state_);
  option_ = new CPageOption(this, state_);
  version_ = new CPageVersion(this, state_);
  const int titles[] = {20211, 20212, 20213, 20214};
  CSheetPage* pages[] = {general_, auth_, option_, version_};
  for (int i = 0; i < 4; ++i) tabs_->addTab(pages[i], dlg::text(titles[i]));
  buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons_->button(QDialogButtonBox::Ok)->setText(QStringLiteral("&OK"));
  QString cancel = dlg::text(20215);
  if (!cancel.isEmpty()) buttons_->button(QDialogButtonBox::Cancel)->setText(cancel);
  layout->addWidget(tabs_);
  layout->addWidget(buttons_);
  setWindowTitle(dlg::text(20210));
  setMinimumWidth(460);
  connect(buttons_, &QDialogButtonBox::accepted, this, [this] { onOk(); });
  connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(tabs_, &QTabWidget::currentChanged, this, [this](int i) { pageChanging(i); });
}

CPropertySheetSetting::~CPropertySheetSetting() = default;

int CPropertySheetSetting::loginMethod() const { return auth_->opened() ? auth_->method() : state_.loginMethod; }

void CPropertySheetSetting::load(const ProfileRecord& r, TokenData* token) {
  SheetState& s = state_;
  s = SheetState();
  // Servers up to the first without a host; that slot's port comes along.
  for (int i = 0; i < 99; ++i) {
    s.hosts[size_t(i)] = r.hostAt(i + 1);
    s.ports[size_t(i)] = r.portAt(i + 1);
    if (r.hostAt(i + 1).isEmpty()) break;
    s.serverCount = i + 1;
  }
  s.changeType = r.changeType;
  s.switchName = r.switchName;
  s.proxyHost = r.proxyHost;
  s.proxyPort = r.proxyPort;
  s.proxyUser = r.proxyUsername;
  s.proxyPassword = r.proxyPassword;
  s.encProxyPassword = r.encProxyPassword;
  s.method = r.proxyHost.isEmpty() ? 0 : 1;
  s.loginMethod = r.authKind;
  s.userName = r.username;
  s.encPassword = r.encPassword;
  if (r.encPassword.isEmpty()) s.password = r.password;
  s.certificate = r.certificate;
  s.privateKey = r.privateKey;
  s.driver = r.driver;
  s.token = token;
  s.encPin = r.encPin;
  if (r.encPin.isEmpty()) s.pin = r.pin;
  for (const QString& pem : r.trust) {
    QByteArray bytes = pem.toUtf8();
    if (!cert::IsCertificate(bytes)) continue;
    s.caPem << pem;
    s.caNames << cert::SubjectShortName(bytes);
  }
  s.autoConnect = r.reconnect;
  s.showLogin = r.settings.showConnect != 0;
  s.tokenInsert = r.settings.tokenMonitor != 0;
  s.program = r.settings.executeConnected;
  s.macAllow = r.macAllow;
  s.macDeny = r.macDeny;
}

void CPropertySheetSetting::start() {
  const SheetState& s = state_;
  int page = 0;
  if (s.hosts[0].isEmpty() || s.ports[0].isEmpty() || s.switchName.isEmpty())
    page = 0;
  else if (s.caPem.isEmpty() || (s.loginMethod == 1 && (s.certificate.isEmpty() || s.privateKey.isEmpty())))
    page = 1;
  switching_ = true;
  tabs_->setCurrentIndex(page);
  switching_ = false;
  current_ = page;
  static_cast<CSheetPage*>(tabs_->widget(page))->open();
}

void CPropertySheetSetting::pageChanging(int index) {
  if (switching_) return;
  auto* leaving = static_cast<CSheetPage*>(tabs_->widget(current_));
  if (leaving->opened() && !leaving->validate()) {
    switching_ = true;
    tabs_->setCurrentIndex(current_);
    switching_ = false;
    return;
  }
  current_ = index;
  static_cast<CSheetPage*>(tabs_->widget(index))->open();
}

void CPropertySheetSetting::onOk() {
  for (CSheetPage* p : std::initializer_list<CSheetPage*>{general_, auth_, option_})
    if (p->opened() && !p->validate()) return;
  if (state_.autoConnect) {
    int fault = 0;
    if (loginMethod() == 2) {
      fault = auth_->pinFault();
    } else {
      fault = general_->completenessFault();
      if (!fault) fault = auth_->completenessFault();
    }
    if (fault) {
      dlg::showMessage(this, fault);
      return;
    }
  }
  accept();
}

void CPropertySheetSetting::store(ProfileRecord& r, const std::function<QString(const QString&)>& encrypt) const {
  const SheetState& s = state_;
  for (int n = 1; n <= 99; ++n) r.hostAt(n).clear(), r.portAt(n).clear();
  for (int i = 0; i < 99 && !s.hosts[size_t(i)].isEmpty(); ++i) {
    r.hostAt(i + 1) = s.hosts[size_t(i)];
    r.portAt(i + 1) = s.ports[size_t(i)];
  }
  if (s.hosts[0].isEmpty()) r.port = s.ports[0];
  r.changeType = s.changeType;
  r.switchName = s.switchName;
  if (s.method == 0) {
    r.proxyHost.clear(), r.proxyPort.clear(), r.proxyUsername.clear();
    r.proxyPassword.clear(), r.encProxyPassword.clear();
  } else {
    r.proxyHost = s.proxyHost;
    r.proxyPort = s.proxyPort;
    r.proxyUsername = s.proxyUser;
    r.encProxyPassword = s.encProxyPassword;
    r.proxyPassword = s.encProxyPassword.isEmpty() ? s.proxyPassword : QString();
  }
  // A secret typed here is kept encrypted at once where an encryption is at
  // hand, so that no plain copy outlives the sheet.
  auto secret = [&](const QString& plain, const QString& enc, QString& outPlain, QString& outEnc) {
    outPlain.clear();
    outEnc = enc;
    if (plain.isEmpty()) return;
    QString e = encrypt ? encrypt(plain) : QString();
    if (!e.isEmpty())
      outEnc = e;
    else
      outPlain = plain, outEnc.clear();
  };
  r.authKind = s.loginMethod;
  static const char* const kTypes[] = {"password", "x509", "token"};
  r.authType = QString::fromLatin1(kTypes[qBound(0, s.loginMethod, 2)]);
  r.username = s.userName;
  secret(s.password, s.encPassword, r.password, r.encPassword);
  r.certificate = s.certificate;
  r.privateKey = s.privateKey;
  r.driver = s.driver;
  secret(s.pin, s.encPin, r.pin, r.encPin);
  r.trust = s.caPem;
  r.reconnect = s.autoConnect;
  r.settings.showConnect = s.showLogin ? 1 : 0;
  r.settings.tokenMonitor = s.tokenInsert ? 1 : 0;
  r.settings.executeConnected = s.program;
  r.macAllow = s.macAllow;
  r.macDeny = s.macDeny;
}
