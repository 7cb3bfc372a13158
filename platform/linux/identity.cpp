// Identity and access checks on the user and group databases (NSS).
#include "platform/identity.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace velarn::identity {
namespace {

// The reentrant lookups want a caller's buffer; the sizes the system suggests
// may be too small for large groups, so grow until it fits.
template <typename Fn>
bool with_buffer(long suggested, Fn fn) {
  size_t size = suggested > 0 ? size_t(suggested) : 4096;
  for (int tries = 0; tries < 8; ++tries, size *= 4) {
    std::vector<char> buf(size);
    int rc = fn(buf.data(), buf.size());
    if (rc != ERANGE) return rc == 0;
  }
  return false;
}

bool lookup_group(const std::string& name, gid_t* gid) {
  bool found = false;
  with_buffer(sysconf(_SC_GETGR_R_SIZE_MAX), [&](char* buf, size_t len) {
    group g{};
    group* out = nullptr;
    int rc = getgrnam_r(name.c_str(), &g, buf, len, &out);
    if (rc == 0 && out) {
      found = true;
      if (gid) *gid = out->gr_gid;
    }
    return rc;
  });
  return found;
}

}  // namespace

bool is_administrator() {
  if (geteuid() == 0) return true;
  gid_t sudo = 0;
  if (!lookup_group("sudo", &sudo)) return false;
  if (getegid() == sudo) return true;
  int n = getgroups(0, nullptr);
  if (n <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(n));
  n = getgroups(n, groups.data());
  for (int i = 0; i < n; ++i)
    if (groups[size_t(i)] == sudo) return true;
  return false;
}

bool has_full_access(const std::string& path) {
  return faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK | X_OK, AT_EACCESS) == 0;
}

std::string current_user_name() {
  std::string name;
  with_buffer(sysconf(_SC_GETPW_R_SIZE_MAX), [&](char* buf, size_t len) {
    passwd pw{};
    passwd* out = nullptr;
    int rc = getpwuid_r(getuid(), &pw, buf, len, &out);
    if (rc == 0 && out) name = out->pw_name;
    return rc;
  });
  return name;
}

bool user_exists(const std::string& name) {
  if (name.empty()) return false;
  bool found = false;
  with_buffer(sysconf(_SC_GETPW_R_SIZE_MAX), [&](char* buf, size_t len) {
    passwd pw{};
    passwd* out = nullptr;
    int rc = getpwnam_r(name.c_str(), &pw, buf, len, &out);
    found = rc == 0 && out;
    return rc;
  });
  return found;
}

bool group_exists(const std::string& name) { return !name.empty() && lookup_group(name, nullptr); }

}  // namespace velarn::identity
