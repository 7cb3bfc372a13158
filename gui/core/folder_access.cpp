#include "folder_access.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include "catalog_ids.h"
#include "platform/account.h"
#include "platform/identity.h"
#include "platform/user_files.h"

namespace vlngui {

bool is_administrator() { return velarn::identity::is_administrator(); }

bool has_full_access(const std::string& path) { return velarn::identity::has_full_access(path); }

std::string current_user_name() {
  std::string name = velarn::identity::current_user_name();
  return name.empty() ? velarn::current_account_id() : name;
}

bool EnsureDataFolderAccess(const FolderAccess& ctx) {
  if (!ctx.administrator) {
    if (ctx.show_message) ctx.show_message(ids::kNeedAdministrator);
    return false;
  }
  if (has_full_access(ctx.data_folder)) return true;
  if (ctx.run_elevated) ctx.run_elevated(ctx.security_program, {current_user_name()});
  return has_full_access(ctx.data_folder);
}

bool run_with_pkexec(const std::string& program, const std::vector<std::string>& args) {
  QStringList list{QString::fromStdString(program)};
  for (const std::string& a : args) list << QString::fromStdString(a);
  // The terminal stays the user's, as for any program started from here:
  // pkexec's text agent asks for the password on it.
  QProcess p;
  p.setProcessChannelMode(QProcess::ForwardedChannels);
  p.setInputChannelMode(QProcess::ForwardedInputChannel);
  p.start(QStringLiteral("pkexec"), list);
  if (!p.waitForStarted(-1)) return false;
  p.waitForFinished(-1);
  // pkexec answers 127 when it could not run the program at all.
  return !(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 127);
}

bool delete_data_folder(const std::string& folder) { return velarn::remove_folder_files(folder); }

}  // namespace vlngui
