// The main connection window: hidden most of the time, it owns the tray icon,
// receives forwarded command lines and the library's notifications, and acts
// on -connect. The login form, the tray menu and the dialogs build on it.
#pragma once
#include <QSystemTrayIcon>
#include <QWidget>
#include <deque>
#include <functional>
#include <memory>

#include "cmdline.h"
#include "library_worker.h"

namespace vlngui {

class CClientGUIApp;

class CMainConnection : public QWidget {
  Q_OBJECT
 public:
  explicit CMainConnection(CClientGUIApp& app);
  ~CMainConnection() override;

  // Tray icon and the start flow of the command line; false when the tray
  // cannot be had and the program must end.
  bool init(const StartPlan& plan);
  void shutdown();

  void HandleForwardedCommand(const std::string& text, std::function<void(int)> reply);
  void UpdateTrayState(int state);
  void RemoveTrayIcon();
  void DoDisconnect();
  void AskDisconnect();

  // Called on the window thread by the library worker.
  void showMessage(const QString& text);
  void onClientEvent(int value, int kind);
  void onTokenPending(int arg);

  bool idle() const { return idle_; }
  bool interaction() const { return interaction_; }

 private:
  bool add_tray_icon();
  // StartLibrary and the state query on the library thread; then(state) on
  // this thread once both succeeded and the tray shows the state.
  void start_library(std::function<void(int)> then);
  void connect_command(const std::string& path);
  void connect_file(const std::string& path);
  void show_next_message();
  void set_interaction(bool v) { interaction_ = v; }

  CClientGUIApp& app_;
  std::unique_ptr<LibraryWorker> worker_;
  QSystemTrayIcon tray_;
  bool idle_ = true;
  bool interaction_ = true;
  bool profile_restored_ = true;
  // The profile's IgnoreDisconnection: the user may not disconnect here.
  bool ignore_disconnection_ = false;
  bool showing_message_ = false;
  bool popup_up_ = false;
  std::deque<QString> messages_;
  std::string connected_to_;
};

}  // namespace vlngui
