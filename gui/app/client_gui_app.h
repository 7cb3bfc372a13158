// The application object: folders, titles, catalogs, the administrator flag,
// the single-instance rule and the command-only runs. Every start ends in
// run(): forwarded, acted on without a window, or the tray client's loop.
#pragma once
#include <string>

#include "catalog.h"
#include "cmdline.h"
#include "folder_access.h"

namespace vlngui {

class CClientGUIApp {
 public:
  static int run(int argc, char** argv);
  static CClientGUIApp& instance();

  const Catalogs& catalogs() const { return catalogs_; }
  std::string text(int id) const { return catalogs_.text(id); }
  const std::string& program_folder() const { return program_folder_; }
  const std::string& data_folder() const { return data_folder_; }
  const std::string& current_profile_path() const { return current_profile_path_; }
  const std::string& settings_path() const { return settings_path_; }
  const std::string& startup_profile_path() const { return startup_profile_path_; }
  bool administrator() const { return administrator_; }
  const std::string& product_title() const { return product_title_; }
  const std::string& title_with_version() const { return title_with_version_; }
  const std::string& main_title() const { return main_title_; }

  // A message box with the exclamation icon, or a line on standard error
  // when there is no display (the installer's runs).
  void message(const std::string& text) const;
  bool EnsureDataFolderAccess() const;
  // What the main window needs of the application.
  struct AppContext context() const;

 private:
  int start(int argc, char** argv);
  bool load_catalogs();
  std::string security_program() const;

  Catalogs catalogs_;
  std::string program_folder_, data_folder_;
  std::string current_profile_path_, settings_path_, startup_profile_path_;
  std::string product_title_, title_with_version_, main_title_;
  bool administrator_ = false;
  bool gui_ = false;
};

}  // namespace vlngui
