// The main connection window: hidden most of the time, it owns the tray icon,
// serves as the login window, receives forwarded command lines, the library's
// notifications and the token monitor's, and runs the automatic flows.
//
// Everything here runs on the window thread; the client library runs on the
// worker's thread and answers through queued calls, so the window never waits
// for the service.
#pragma once
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cmdline.h"
#include "connection_log.h"
#include "library_worker.h"
#include "platform/network_info.h"
#include "profile_store.h"

class QMenu;
struct TokenData;

namespace vlngui {

// What the window needs of the application: texts, titles and files.
struct AppContext {
  const Catalogs* catalogs = nullptr;
  std::string product_title, title_with_version, main_title;
  std::string program_folder, data_folder;
  std::string current_profile_path, settings_path, startup_profile_path;
  std::function<bool()> ensure_access;  // unset: the store checks itself
};

// The dialogs another part of the program provides; unset until they are
// linked in, in which case the action says so and does nothing.
struct DialogHooks {
  // The settings property sheet on the store's current profile.
  static bool (*settings)(QWidget* parent, CMainFileFunction& store);
  // The proxy dialog of the proxy set-up.
  static bool (*proxy)(QWidget* parent, ProxyDialogData& data);
};

// The tray's icon for a state: 0 idle, 2 connected, 1/3/4 in progress.
QIcon tray_state_icon(int state);

// The first other adapter whose network overlaps the virtual adapter's, by
// the leading non-zero octets of the two masks; empty when none does.
std::string address_conflict(const std::vector<velarn::AdapterInfo>& adapters);

// What the login window shows of a PEM certificate: the subject's and the
// issuer's first present name, and the validity as local days.
struct CertificateLines {
  bool ok = false;
  std::string subject, issuer, validity;
};
CertificateLines certificate_lines(const std::string& pem);

// "1:02:03", "12.3 KB": the counters as the tip shows them.
std::string format_duration(int64_t seconds);
std::string format_bytes(uint64_t bytes);

class CMainConnection : public QWidget, public CMainFileFunction {
  Q_OBJECT
 public:
  enum class Mode { Password = 0, Certificate = 1, Token = 2 };

  explicit CMainConnection(const AppContext& ctx, const VlnApi& api = VlnApi::real());
  ~CMainConnection() override;

  // Adds the tray icon (with the no-tray retries) and runs the start flow;
  // false when no tray can be had and the program must end.
  bool init(const StartPlan& plan);
  void shutdown();

  // Operations of the window used by the flows.
  void HandleForwardedCommand(const std::string& text, std::function<void(int)> reply);
  void UpdateTrayState(int state);
  void RefreshState(std::function<void()> then = {});
  bool ConnectRequest();
  void DoConnect();
  void DoDisconnect();
  void AskDisconnect();
  void RemoveTrayIcon();
  void ShowLoginWindow();
  void ConnectButton();
  // Reloads the user's profile file; the next token notice only re-arms
  // the token flow.
  void reloadCurrentProfile();

  // From the library's thread, queued onto this one.
  void showMessage(const QString& text);
  void onClientEvent(int value, int kind);
  void onTokenPending(int arg);
  void appendLogLine(const QString& line);
  // The token monitor's presence notice, and the system's suspend notice.
  void onTokenState();
  void onPrepareForSleep(bool going);

  // The tray menu as a right click builds it; ids in each action's data.
  std::unique_ptr<QMenu> buildTrayMenu();
  void trayMenuAction(int id);
  void openConnectionLog();

  // What the window shows and holds, for the program's own checks.
  bool idle() const { return idle_; }
  bool interaction() const { return interaction_; }
  int trayIconState() const { return icon_state_; }
  QString trayTip() const { return tray_.toolTip(); }
  QString statusText() const;
  Mode mode() const;
  bool tokenArmed() const { return token_armed_; }
  bool suspendFlag() const { return suspend_; }
  bool profileRestored() const { return profile_restored_; }
  ConnectionLog* connectionLog() const { return log_window_; }
  QSystemTrayIcon& tray() { return tray_; }
  // Runs ExecuteConnected; the program's launcher unless replaced.
  std::function<int(const std::string&)> launch;
  // The token record the monitor reports on; the window owns it.
  void setTokenRecord(TokenData* record);
  TokenData* tokenRecord() const { return token_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void build_form();
  void enter_pressed(QWidget* focus);
  bool add_tray_icon();
  void tray_activated(QSystemTrayIcon::ActivationReason reason);
  void show_tray_menu();
  void start_library(std::function<void(bool)> then);
  void start_flow(const StartPlan& plan);
  void startup_flow();
  void connect_command(const std::string& path);
  void fill_connected_to(std::function<void()> then);
  void update_controls();
  bool validate_login();
  void hide_window();
  void bring_forward();
  bool reload_current();
  bool load_profile(const QString& path);
  void start_token_monitor();
  bool prepare_token();
  void release_token();
  void exit_program();
  void import_profile();
  void export_profile();
  int ask(const QString& text, bool question);
  void show_next_message();
  void poll_statistics();
  QString extra_tip() const;
  void notify(const QString& text);
  bool popup_box_open() const;
  QLineEdit* edit(int id) const;
  QWidget* control(int id) const;
  QString text(int id) const { return QString::fromStdString(ctx_.catalogs->text(id)); }
  bool auto_connect() const { return Current().reconnect; }
  bool token_monitor() const { return auto_connect() || Current().settings.tokenMonitor; }
  bool show_connect() const { return !auto_connect() && Current().settings.showConnect; }
  bool ignore_disconnection() const { return Current().settings.ignoreDisconnection; }

  AppContext ctx_;
  std::unique_ptr<LibraryWorker> worker_;
  QSystemTrayIcon tray_;
  QStatusBar* status_ = nullptr;
  QPointer<ConnectionLog> log_window_;
  QPointer<QWidget> processing_;
  QTimer stats_timer_;
  bool idle_ = true;
  bool profile_restored_ = true;
  bool token_armed_ = true;
  bool suspend_ = false;
  bool interaction_ = true;
  bool executed_ = false;
  bool showing_message_ = false;
  bool popup_up_ = false;
  bool library_started_ = false;
  int icon_state_ = 0;
  int last_state_ = 0;
  bool lost_ = false;  // the connection dropped without being asked to
  bool user_disconnect_ = false;
  std::deque<QString> messages_;
  std::string connected_to_;
  QString statistics_, adapter_address_;
  TokenData* token_ = nullptr;
  std::string token_title_;
};

}  // namespace vlngui
