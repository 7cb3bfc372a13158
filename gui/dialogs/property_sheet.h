// The settings window: a modal sheet of four pages over one copy of the
// profile (SheetState). load() copies a profile in, store() copies the pages
// back after OK; pages never opened keep the loaded values.
#pragma once
#include <QDialog>
#include <QStringList>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>

#include "dialogs.h"
#include "profile_store.h"

struct TokenData;
struct TokenNotifier;
class QTabWidget;
class QDialogButtonBox;
class CPropertySheetSetting;

namespace Ui {
class CPageGeneral;
class CPageAuth;
class CPageOption;
class CPageVersion;
}  // namespace Ui

struct SheetState {
  // General
  std::array<QString, 99> hosts, ports;  // pair 0 is the first server
  int serverCount = 0;
  int changeType = 0;
  QString switchName;
  QString proxyHost, proxyPort, proxyUser, proxyPassword, encProxyPassword;
  int method = 0;  // 0 direct, 1 through the proxy
  // Auth
  int loginMethod = 0;  // 0 password, 1 certificate, 2 token
  QString userName, password, encPassword;
  QString certificate, privateKey;  // PEM
  QString driver, driverTitle;
  TokenData* token = nullptr;  // the loaded record; the caller owns it
  QString pin, encPin;
  QStringList caPem, caNames;
  // Option
  bool autoConnect = false, showLogin = true, tokenInsert = false;
  QString program;
  QStringList macAllow, macDeny;
};

// Each page validates only once it was shown; a failed check keeps it open.
class CSheetPage : public QWidget {
 public:
  CSheetPage(CPropertySheetSetting* sheet, SheetState& s) : sheet_(sheet), s_(s) {}
  bool opened() const { return opened_; }
  void open() {
    if (!opened_) onOpen();
    opened_ = true;
  }
  virtual bool validate() { return true; }

 protected:
  virtual void onOpen() = 0;
  CPropertySheetSetting* sheet_;
  SheetState& s_;

 private:
  bool opened_ = false;
};

class CPageGeneral : public CSheetPage {
 public:
  CPageGeneral(CPropertySheetSetting* sheet, SheetState& s);
  ~CPageGeneral() override;
  bool validate() override;
  int completenessFault() const;  // 0 or the catalog id

 private:
  void onOpen() override;
  void updateLabel();
  void proxyDetails();
  void serverList();
  std::unique_ptr<Ui::CPageGeneral> ui;
};

class CPageAuth : public CSheetPage {
 public:
  CPageAuth(CPropertySheetSetting* sheet, SheetState& s);
  ~CPageAuth() override;
  bool validate() override;
  int completenessFault() const;
  int pinFault() const;
  int method() const;
  void refresh();

 private:
  void onOpen() override;
  void registerCredential();
  void registerCertificate();
  void registerToken();
  void deleteCredential();
  void showCredential();
  void registerAuthority();
  void deleteAuthority();
  void showAuthority();
  std::unique_ptr<Ui::CPageAuth> ui;
};

class CPageOption : public CSheetPage {
 public:
  CPageOption(CPropertySheetSetting* sheet, SheetState& s);
  ~CPageOption() override;
  bool validate() override;
  // The Auth page's method changed while this page is open.
  void methodChanged(int method);

 private:
  void onOpen() override;
  void tokenRule();
  void radioChanged();
  std::unique_ptr<Ui::CPageOption> ui;
};

class CPageVersion : public CSheetPage {
 public:
  CPageVersion(CPropertySheetSetting* sheet, SheetState& s);
  ~CPageVersion() override;

 private:
  void onOpen() override;
  std::unique_ptr<Ui::CPageVersion> ui;
};

class CPropertySheetSetting : public CVlnDialog {
 public:
  explicit CPropertySheetSetting(QWidget* parent = nullptr);
  ~CPropertySheetSetting() override;

  void load(const ProfileRecord& record, TokenData* token);
  // Shows and opens the start page for the loaded state (exec() does it).
  void load() override { start(); }
  void start();
  // The OK handler (button id 1).
  void onOk() override;
  // Copies the pages into record. A typed secret is encrypted through
  // encrypt when one is given; otherwise it stays plain for the store to
  // encrypt when it writes.
  void store(ProfileRecord& record, const std::function<QString(const QString&)>& encrypt = {}) const;

  SheetState& state() { return state_; }
  CPageGeneral* general() { return general_; }
  CPageAuth* auth() { return auth_; }
  CPageOption* option() { return option_; }
  CPageVersion* version() { return version_; }
  QTabWidget* tabs() { return tabs_; }
  // The login method the Option page goes by.
  int loginMethod() const;

 private:
  void pageChanging(int index);
  SheetState state_;
  QTabWidget* tabs_;
  QDialogButtonBox* buttons_;
  CPageGeneral* general_;
  CPageAuth* auth_;
  CPageOption* option_;
  CPageVersion* version_;
  int current_ = 0;
  bool switching_ = false;
};
