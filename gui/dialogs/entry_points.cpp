#include "entry_points.h"

#include "dialog_support.h"
#include "dialogs.h"
#include "property_sheet.h"
#include "vlntoken.h"

namespace vlngui::dlg {

void SetCatalogs(const Catalogs* catalogs) { env().catalogs = catalogs; }

int RunSettingsSheet(QWidget* parent, CMainFileFunction& store, TokenData** token, const TokenNotifier* notifier) {
  CPropertySheetSetting sheet(parent);
  sheet.load(store.Current(), token ? *token : nullptr);
  int rc = run(sheet);
  // A new device choice has freed the old record whatever the outcome, so
  // the caller's pointer follows the sheet's even after Cancel.
  TokenData* chosen = sheet.state().token;
  if (token) *token = chosen;
  if (rc != QDialog::Accepted) return rc;
  sheet.store(store.Current(), store.GetHooks().encrypt);
  if (chosen && chosen->driver_flag && notifier && sheet.state().loginMethod == 2)
    TokenStartMonitor(chosen, nullptr, notifier);
  store.ApplySettings();
  return rc;
}

int RunAuthUserPwd(QWidget* parent, CMainFileFunction& store) {
  ProfileRecord& r = store.Current();
  CDlgAuthUserPwd d(parent);
  d.userName = r.username;
  d.password = r.password;
  d.encPassword = r.encPassword;
  int rc = run(d);
  if (rc != QDialog::Accepted) return rc;
  r.username = d.userName;
  if (!d.encrypted) {
    r.password = d.password;
    r.encPassword.clear();
  }
  return rc;
}

bool RunProxySetup(QWidget* parent, ProxyDialogData& data) {
  CDlgProxy d(parent);
  d.host = data.host;
  d.port = data.port;
  d.authentication = !data.username.isEmpty();
  d.userName = data.username;
  // The store hands over the held password, encrypted or not; only a field
  // the user changed counts as a typed password, so the held one is passed
  // as the value to compare against.
  d.encPassword = data.password;
  if (run(d) != QDialog::Accepted) return false;
  data.host = d.host;
  data.port = d.port;
  data.username = d.authentication ? d.userName : QString();
  data.passwordTyped = d.authentication && !d.encrypted;
  data.password = data.passwordTyped ? d.password : QString();
  return true;
}

int RunTcpSetting(QWidget* parent, CMainFileFunction& store) {
  ProfileRecord& r = store.Current();
  CDlgTcpSetting d(parent);
  d.staticAddress = r.useAddress;
  d.ip = r.ip;
  d.mask = r.subnetmask;
  d.gateway = r.gateway;
  int rc = run(d);
  if (rc != QDialog::Accepted) return rc;
  r.useAddress = d.staticAddress;
  if (d.staticAddress) {
    r.ip = d.ip, r.subnetmask = d.mask, r.gateway = d.gateway;
  } else {
    r.ip.clear(), r.subnetmask.clear(), r.gateway.clear();
  }
  return rc;
}

int RunCertificate(QWidget* parent, const QByteArray& certificate) {
  CDlgCertificate d(parent);
  d.certificate = certificate;
  return run(d);
}

int RunConnectingLog(QWidget* parent, const QStringList& lines, const QString& sessionLogPath) {
  CDlgConnectingLog d(parent);
  d.lines = lines;
  d.sessionLogPath = sessionLogPath;
  return run(d);
}

}  // namespace vlngui::dlg
