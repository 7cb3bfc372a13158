// What the program calls to open the dialogs: each runs one dialog modally
// against the profile store's current profile and returns QDialog's result.
#pragma once
#include <QStringList>

#include "profile_store.h"

class QWidget;
struct TokenData;
struct TokenNotifier;
namespace vlngui {
struct Catalogs;
}

namespace vlngui::dlg {

// Every dialog takes its texts from these catalogs from now on.
void SetCatalogs(const Catalogs* catalogs);

// The settings sheet over the store's current profile. On OK the pages are
// stored into it and the store saves it; *token may be replaced by a new
// choice of device (the old record is then freed). With a notifier, a chosen
// device whose list entry asks for it is watched from then on.
int RunSettingsSheet(QWidget* parent, CMainFileFunction& store, TokenData** token,
                     const TokenNotifier* notifier = nullptr);

// The password login's user name and password, into the current profile.
int RunAuthUserPwd(QWidget* parent, CMainFileFunction& store);

// The proxy dialog for the installer's proxy set-up: fits the store's
// proxyDialog hook.
bool RunProxySetup(QWidget* parent, ProxyDialogData& data);

// The adapter's address settings of the current profile.
int RunTcpSetting(QWidget* parent, CMainFileFunction& store);

// Shows a certificate (PEM or DER).
int RunCertificate(QWidget* parent, const QByteArray& certificate);

// The connection log over a copy of the event log.
int RunConnectingLog(QWidget* parent, const QStringList& lines, const QString& sessionLogPath);

}  // namespace vlngui::dlg
