// Who the user is and what they may do with the data folder: the
// administrator test, the full-access check with the process's own rights,
// and the repair through VLNSecurity that an administrator may run.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace vlngui {

// Effective uid 0, or a member of the group "sudo".
bool is_administrator();
// Read, write and search on path, checked with the effective ids.
bool has_full_access(const std::string& path);
// The login name of the real user (the account VLNSecurity grants access to).
std::string current_user_name();

struct FolderAccess {
  bool administrator = false;
  std::string data_folder;
  // VLNSecurity's path (beside the program when installed).
  std::string security_program;
  // Shows a TravixID.txt message by id.
  std::function<void(int id)> show_message;
  // Runs program with args as the administrator and waits for it to end;
  // false when it could not be started.
  std::function<bool(const std::string& program, const std::vector<std::string>& args)> run_elevated;
};

// True when the data folder grants this process full access, repairing its
// rights through VLNSecurity first when an administrator lacks them.
bool EnsureDataFolderAccess(const FolderAccess& ctx);

// pkexec <program> <args...>, waited for; the polkit action of VLNSecurity
// decides whether the user is asked for a password.
bool run_with_pkexec(const std::string& program, const std::vector<std::string>& args);

// -cmd -delete: every file of the data folder, then the folder. Links are
// removed, never followed; a sub-folder keeps the folder in place.
bool delete_data_folder(const std::string& folder);

}  // namespace vlngui
