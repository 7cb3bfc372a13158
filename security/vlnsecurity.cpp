// VLNSecurity [ACCOUNT]: gives the data folder its access list. root and the
// administrators get full control, the users and everyone read and traverse,
// and ACCOUNT (the user of the GUI that started us, "domain\user" or "user")
// full control as well. Files made in the folder later inherit the list.
//
// The GUI runs this through pkexec and checks the folder again afterwards,
// so the outcome travels through the folder itself; the exit code (1 on
// failure) is for administrators and scripts.
#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/child_process.h"
#include "platform/folder_acl.h"
#include "platform/roots.h"
#include "platform/text.h"

namespace {

const char* const kInitError = "Init Proc Error[SHGetMalloc]";
const char* const kAclError = "DACLの設定が出来ません。";

bool display_present() {
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

// A message box for the desktop user; without a display, standard error. The
// reason is for administrators and goes to standard error only. The box is
// shown by a child process: a display that is named but cannot be reached
// makes Qt abort, and that must not become this program's outcome.
void fail(int argc, char** argv, const char* text, const std::string& reason) {
  std::fprintf(stderr, "%s\n", text);
  if (!reason.empty()) std::fprintf(stderr, "(%s)\n", reason.c_str());
  std::fflush(stderr);
  if (!display_present()) return;
  velarn::run_in_copy([&] {
    QApplication app(argc, argv);
    QMessageBox::warning(nullptr, QStringLiteral("VLNSecurity"), QString::fromUtf8(text));
  });
}

}  // namespace

int main(int argc, char** argv) {
  // The whole command line is the account name.
  std::string account;
  for (int i = 1; i < argc; ++i) account += (i > 1 ? " " : "") + std::string(argv[i]);
  account = velarn::trim(account);
  // The domain part of "domain\user" means this computer here.
  size_t slash = account.rfind('\\');
  if (slash != std::string::npos) account = account.substr(slash + 1);

  std::string folder = velarn::roots::data_folder();
  if (folder.empty() || folder[0] != '/') {
    fail(argc, argv, kInitError, "the data folder " + folder + " is not an absolute path");
    return 1;
  }

  using E = velarn::FolderAclEntry;
  std::vector<E> wanted = {
      {E::System, "", true}, {E::Administrators, "", true}, {E::Users, "", false}, {E::Everyone, "", false}};
  if (!account.empty()) wanted.push_back({E::Named, account, true});
  // Whatever does not resolve is left out, without a message.
  std::vector<E> entries;
  for (const E& e : wanted)
    if (velarn::FolderAcl::resolves(e)) entries.push_back(e);

  std::string error;
  if (!velarn::FolderAcl::apply(folder, entries, error)) {
    fail(argc, argv, kAclError, error);
    return 1;
  }
  return 0;
}
