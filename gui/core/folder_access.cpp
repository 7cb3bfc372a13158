#include "folder_access.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "catalog_ids.h"

namespace vlngui {

bool is_administrator() {
  if (::geteuid() == 0) return true;
  struct group* sudo = ::getgrnam("sudo");
  if (!sudo) return false;
  if (::getegid() == sudo->gr_gid) return true;
  int n = ::getgroups(0, nullptr);
  if (n <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(n));
  n = ::getgroups(n, groups.data());
  for (int i = 0; i < n; ++i)
    if (groups[static_cast<size_t>(i)] == sudo->gr_gid) return true;
  return false;
}

bool has_full_access(const std::string& path) {
  return ::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) == 0;
}

std::string current_user_name() {
  struct passwd* pw = ::getpwuid(::getuid());
  return pw && pw->pw_name ? pw->pw_name : std::to_string(::getuid());
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
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>("pkexec"));
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    ::execvp("pkexec", argv.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return !(WIFEXITED(status) && WEXITSTATUS(status) == 127);
}

bool delete_data_folder(const std::string& folder) {
  int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dfd < 0) return false;
  DIR* dir = ::fdopendir(dfd);
  if (!dir) {
    ::close(dfd);
    return false;
  }
  bool ok = true;
  while (struct dirent* e = ::readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    if (::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) continue;
    if (::unlinkat(dfd, e->d_name, 0) != 0) ok = false;
  }
  ::closedir(dir);
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return ::rmdir(path.c_str()) == 0 && ok;
}

}  // namespace vlngui
