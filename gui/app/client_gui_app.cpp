#include "client_gui_app.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "catalog_ids.h"
#include "client_library.h"
#include "dialog_wiring.h"
#include "instance_channel.h"
#include "main_connection.h"
#include "platform/roots.h"

namespace vlngui {

namespace {
CClientGUIApp* g_app = nullptr;

bool display_present() {
  return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
         !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

bool is_file(const std::string& p) {
  std::error_code ec;
  return std::filesystem::is_regular_file(p, ec);
}
}  // namespace

CClientGUIApp& CClientGUIApp::instance() { return *g_app; }

int CClientGUIApp::run(int argc, char** argv) {
  CClientGUIApp app;
  g_app = &app;
  int rc = app.start(argc, argv);
  g_app = nullptr;
  return rc;
}

bool CClientGUIApp::load_catalogs() {
  std::string lang = catalog_language();
  std::string folder = find_catalog_folder(program_folder_, lang);
  // A missing translation is no reason to stop: the English set is the default.
  if (folder.empty() && lang != "en") folder = find_catalog_folder(program_folder_, "en");
  return !folder.empty() && catalogs_.load(folder);
}

std::string CClientGUIApp::security_program() const {
  // Installed, pkexec runs it from libexec (where its polkit action points);
  // the build tree keeps each program in its part's folder.
  std::string built = program_folder_ + "/../../security/VLNSecurity";
  std::string installed = velarn::roots::helper_program("VLNSecurity");
  return is_file(installed) || !is_file(built) ? installed : built;
}

void CClientGUIApp::message(const std::string& text) const {
  if (gui_) {
    QMessageBox box(QMessageBox::Warning, QString::fromStdString(product_title_), QString::fromStdString(text),
                    QMessageBox::Ok);
    box.exec();
  } else {
    std::fprintf(stderr, "vlngui: %s\n", text.c_str());
  }
}

bool CClientGUIApp::EnsureDataFolderAccess() const {
  FolderAccess ctx;
  ctx.administrator = administrator_;
  ctx.data_folder = data_folder_;
  ctx.security_program = security_program();
  ctx.show_message = [this](int id) { message(text(id)); };
  ctx.run_elevated = run_with_pkexec;
  return vlngui::EnsureDataFolderAccess(ctx);
}

AppContext CClientGUIApp::context() const {
  AppContext c;
  c.catalogs = &catalogs_;
  c.product_title = product_title_;
  c.title_with_version = title_with_version_;
  c.main_title = main_title_;
  c.program_folder = program_folder_;
  c.data_folder = data_folder_;
  c.current_profile_path = current_profile_path_;
  c.settings_path = settings_path_;
  c.startup_profile_path = startup_profile_path_;
  c.ensure_access = [this] { return EnsureDataFolderAccess(); };
  return c;
}

int CClientGUIApp::start(int argc, char** argv) {
  CommandLine line = CommandLine::from_args(argc, argv);
  gui_ = display_present();
  std::unique_ptr<QCoreApplication> qt;
  if (gui_) {
    qt = std::make_unique<QApplication>(argc, argv);
  } else {
    qt = std::make_unique<QCoreApplication>(argc, argv);
  }

  program_folder_ = velarn::roots::program_folder();
  data_folder_ = velarn::roots::data_folder();
  // An existing folder is no error, and one the user may not create is
  // reported where it is written.
  velarn::roots::make_dirs(data_folder_);

  if (!load_catalogs()) return 1;
  WireDialogs(&catalogs_);
  product_title_ = text(ids::kProductTitle);
  title_with_version_ = text(ids::kTitleWithVersion);
  main_title_ = product_title_ + " " + text(ids::kLoginSuffix);
  QCoreApplication::setApplicationName(QString::fromStdString(product_title_));
  current_profile_path_ = data_folder_ + "/" + text(ids::kCurrentProfileFile);
  startup_profile_path_ = data_folder_ + "/" + text(ids::kStartupProfileFile);
  settings_path_ = data_folder_ + "/" + text(ids::kSettingsFile);
  administrator_ = is_administrator();

  const QString name = instance_name();
  StartPlan plan = plan_start(line, instance_running(name));
  switch (plan.action) {
    case StartAction::ShowAlreadyRunning: message(text(ids::kAlreadyRunning)); return 0;
    case StartAction::Forward:
      forward_command_line(name, line.with_absolute_connect(QDir::currentPath().toStdString()).text());
      return 0;
    case StartAction::ExitAtOnce: return 0;
    case StartAction::Rename:
    case StartAction::Proxy: {
      // The installer's steps: the store does them without a window of its
      // own, its messages going where this run's messages go.
      CMainFileFunction store;
      AppContext c = context();
      CMainFileFunction::Paths paths;
      paths.programFolder = QString::fromStdString(c.program_folder);
      paths.dataFolder = QString::fromStdString(c.data_folder);
      paths.currentProfile = QString::fromStdString(c.current_profile_path);
      paths.settingsFile = QString::fromStdString(c.settings_path);
      paths.startupProfile = QString::fromStdString(c.startup_profile_path);
      store.SetPaths(paths);
      store.GetHooks().message = [this](unsigned id, unsigned, const QString& arg) {
        std::string t = text(int(id));
        if (!arg.isEmpty()) t += "\n\n" + arg.toStdString();
        message(t);
        return 1;
      };
      store.GetHooks().catalogText = [this](unsigned id) { return QString::fromStdString(text(int(id))); };
      store.GetHooks().ensureAccess = c.ensure_access;
      store.GetHooks().proxyDialog = [](ProxyDialogData& d) {
        return DialogHooks::proxy ? DialogHooks::proxy(nullptr, d) : false;
      };
      // The installer goes on whatever came of it; the user was told.
      if (plan.action == StartAction::Rename)
        store.RenameCommand();
      else
        store.ProxySetup();
      return 0;
    }
    case StartAction::Delete: delete_data_folder(data_folder_); return 0;
    case StartAction::Interactive: break;
  }
  if (plan.run_execute) LaunchCommand(plan.execute_command, data_folder_);
  if (!gui_) {
    std::fprintf(stderr, "vlngui: no display to show the tray client on\n");
    return 1;
  }

  CMainConnection window(context());
  InstanceServer server([&window](const std::string& text, std::function<void(int)> reply) {
    window.HandleForwardedCommand(text, std::move(reply));
  });
  if (!server.listen(name)) std::fprintf(stderr, "vlngui: cannot listen as the running instance\n");
  QApplication::setQuitOnLastWindowClosed(false);
  if (!window.init(plan)) return 1;
  int rc = qt->exec();
  window.shutdown();
  return rc;
}

}  // namespace vlngui
