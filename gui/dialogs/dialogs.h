// The GUI's small dialogs. Each is built on its .ui form, whose widgets carry
// control ids; captions come from the catalog by those ids. The caller fills
// the public inputs, calls load() (exec() does it), and reads the outputs
// when the dialog ended with Accepted. No dialog writes a profile itself.
#pragma once
#include <QByteArray>
#include <QDialog>
#include <QStringList>
#include <array>
#include <memory>

struct TokenData;
class QListWidgetItem;

namespace Ui {
class CDlgAuthUserPwd;
class CDlgCertPasswd;
class CDlgCertificate;
class CDlgTokenSelect;
class CDlgTokenInfo;
class CDlgConnectingLog;
class CDlgMessage;
class CDlgProxy;
class CDlgChangeConnect;
class CDlgMacFilter;
class CDlgTcpSetting;
}  // namespace Ui

// A dialog whose load() runs once before it is shown modally.
class CVlnDialog : public QDialog {
 public:
  using QDialog::QDialog;
  int exec() override {
    load();
    return QDialog::exec();
  }
  virtual void load() = 0;
  // The OK action: validates, and accepts when everything passes.
  virtual void onOk() { accept(); }
};

class CDlgAuthUserPwd : public CVlnDialog {
 public:
  explicit CDlgAuthUserPwd(QWidget* parent = nullptr);
  ~CDlgAuthUserPwd() override;
  void load() override;
  void onOk() override;

  QString userName, password, encPassword;  // in; userName, password out
  bool encrypted = false;                   // out: encPassword stays in force

 private:
  std::unique_ptr<Ui::CDlgAuthUserPwd> ui;
};

class CDlgCertPasswd : public CVlnDialog {
 public:
  explicit CDlgCertPasswd(QWidget* parent = nullptr);
  ~CDlgCertPasswd() override;
  void load() override;
  void onOk() override;
  QString password;  // out

 private:
  std::unique_ptr<Ui::CDlgCertPasswd> ui;
};

class CDlgCertificate : public CVlnDialog {
 public:
  explicit CDlgCertificate(QWidget* parent = nullptr);
  ~CDlgCertificate() override;
  void load() override;
  void onOk() override;
  QByteArray certificate;  // in: PEM or DER

 private:
  std::unique_ptr<Ui::CDlgCertificate> ui;
};

class CDlgTokenSelect : public CVlnDialog {
 public:
  explicit CDlgTokenSelect(QWidget* parent = nullptr);
  ~CDlgTokenSelect() override;
  void load() override;
  void onOk() override;

  QStringList paths;           // in: module paths as found; listed ones after load()
  QString path, title;         // out: the choice
  TokenData* token = nullptr;  // out: loaded record (the caller frees it with TokenFree)

 private:
  std::unique_ptr<Ui::CDlgTokenSelect> ui;
};

class CDlgTokenInfo : public CVlnDialog {
 public:
  explicit CDlgTokenInfo(QWidget* parent = nullptr);
  ~CDlgTokenInfo() override;
  void load() override;
  void onOk() override;

  TokenData* token = nullptr;  // in (may be null)
  QString pin, encPin;         // in; pin out
  bool savePin = false;        // out
  bool encrypted = false;      // out: encPin stays in force

 private:
  void enablePin();
  std::unique_ptr<Ui::CDlgTokenInfo> ui;
};

class CDlgConnectingLog : public CVlnDialog {
 public:
  explicit CDlgConnectingLog(QWidget* parent = nullptr);
  ~CDlgConnectingLog() override;
  void load() override;
  // Adds one log line: up to 60 bytes in the Japanese code page make one
  // entry; a longer line is split once, never through a double-byte
  // character, and the rest forms a second entry.
  void addLine(const QString& line);

  QStringList lines;       // in: a copy of the event log
  QString sessionLogPath;  // in: opened by the details button

 private:
  std::unique_ptr<Ui::CDlgConnectingLog> ui;
};

// The processing notice: modeless, without a caption.
class CDlgMessage : public QDialog {
 public:
  explicit CDlgMessage(QWidget* parent = nullptr);
  ~CDlgMessage() override;
  void setText(const QString& text);

 private:
  std::unique_ptr<Ui::CDlgMessage> ui;
};

class CDlgProxy : public CVlnDialog {
 public:
  explicit CDlgProxy(QWidget* parent = nullptr);
  ~CDlgProxy() override;
  void load() override;
  void onOk() override;

  QString host, port;
  bool authentication = false;
  QString userName, password, encPassword;
  bool encrypted = false;  // out: encPassword stays in force

 private:
  void updateEnabling();
  std::unique_ptr<Ui::CDlgProxy> ui;
};

class CDlgChangeConnect : public CVlnDialog {
 public:
  explicit CDlgChangeConnect(QWidget* parent = nullptr);
  ~CDlgChangeConnect() override;
  void load() override;
  void onOk() override;

  std::array<QString, 99> hosts, ports;  // index 0 is the first server
  int mode = 0;                          // index into the switching modes

 private:
  std::unique_ptr<Ui::CDlgChangeConnect> ui;
};

class CDlgMacFilter : public CVlnDialog {
 public:
  explicit CDlgMacFilter(QWidget* parent = nullptr);
  ~CDlgMacFilter() override;
  void load() override;
  void onOk() override;

  QStringList allow, deny;

  // The list's entries read in fixed 19-character steps (an address and a
  // line break): the first empty piece ends the list. 0, or the catalog id
  // of the fault with the entry in *bad.
  static int parse(const QString& crlfText, QStringList* out, QString* bad);
  static bool validMac(const QString& entry);

 private:
  std::unique_ptr<Ui::CDlgMacFilter> ui;
};

class CDlgTcpSetting : public CVlnDialog {
 public:
  explicit CDlgTcpSetting(QWidget* parent = nullptr);
  ~CDlgTcpSetting() override;
  void load() override;
  void onOk() override;

  bool staticAddress = false;
  QString ip, mask, gateway;

 private:
  void applyRule(bool offerMask);
  std::unique_ptr<Ui::CDlgTcpSetting> ui;
  bool applying_ = false;
};
