// FolderAcl on POSIX ACLs (libacl).
#include "platform/folder_acl.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/identity.h"

namespace velarn {
namespace {

const char* const kAdministratorsGroup = "sudo";
const char* const kUsersGroup = "users";

bool uid_of(const std::string& name, uid_t& uid) {
  std::vector<char> buf(16384);
  passwd pw{};
  passwd* out = nullptr;
  if (getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &out) != 0 || !out) return false;
  uid = out->pw_uid;
  return true;
}

bool gid_of(const std::string& name, gid_t& gid) {
  std::vector<char> buf(65536);
  group g{};
  group* out = nullptr;
  if (getgrnam_r(name.c_str(), &g, buf.data(), buf.size(), &out) != 0 || !out) return false;
  gid = out->gr_gid;
  return true;
}

struct Acl {
  acl_t acl = nullptr;
  ~Acl() {
    if (acl) acl_free(acl);
  }
};

bool add(acl_t* acl, acl_tag_t tag, const void* qualifier, bool read, bool write, bool exec) {
  acl_entry_t e;
  acl_permset_t perms;
  if (acl_create_entry(acl, &e) != 0 || acl_set_tag_type(e, tag) != 0) return false;
  if (qualifier && acl_set_qualifier(e, qualifier) != 0) return false;
  if (acl_get_permset(e, &perms) != 0 || acl_clear_perms(perms) != 0) return false;
  if (read && acl_add_perm(perms, ACL_READ) != 0) return false;
  if (write && acl_add_perm(perms, ACL_WRITE) != 0) return false;
  if (exec && acl_add_perm(perms, ACL_EXECUTE) != 0) return false;
  return acl_set_permset(e, perms) == 0;
}

}  // namespace

bool FolderAcl::resolves(const FolderAclEntry& entry) {
  switch (entry.account) {
    case FolderAclEntry::System:
    case FolderAclEntry::Everyone: return true;
    case FolderAclEntry::Administrators: return identity::group_exists(kAdministratorsGroup);
    case FolderAclEntry::Users: return identity::group_exists(kUsersGroup);
    case FolderAclEntry::Named: return identity::user_exists(entry.name);
  }
  return false;
}

bool FolderAcl::apply(const std::string& path, const std::vector<FolderAclEntry>& entries, std::string& error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    struct stat link;
    if (err == ELOOP || (lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)))
      error = path + " is a symbolic link";
    else
      error = path + ": " + std::strerror(err);
    return false;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};

  struct stat st;
  if (fstat(fd, &st) != 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  if (st.st_uid != 0) {
    error = path + " is not owned by root";
    return false;
  }

  Acl list;
  list.acl = acl_init(int(entries.size()) + 3);
  if (!list.acl) {
    error = std::strerror(errno);
    return false;
  }
  bool owner = false, other_read = false, other_full = false, other = false;
  for (const FolderAclEntry& e : entries) {
    bool ok = true;
    switch (e.account) {
      case FolderAclEntry::System:
        owner = true;
        ok = add(&list.acl, ACL_USER_OBJ, nullptr, true, e.full, true);
        break;
      case FolderAclEntry::Everyone:
        other = true;
        other_read = true;
        other_full = e.full;
        ok = add(&list.acl, ACL_OTHER, nullptr, true, e.full, true);
        break;
      case FolderAclEntry::Administrators:
      case FolderAclEntry::Users: {
        gid_t gid;
        const char* name = e.account == FolderAclEntry::Administrators ? kAdministratorsGroup : kUsersGroup;
        if (!gid_of(name, gid)) {
          error = std::string("no group ") + name;
          return false;
        }
        ok = add(&list.acl, ACL_GROUP, &gid, true, e.full, true);
        break;
      }
      case FolderAclEntry::Named: {
        uid_t uid;
        if (!uid_of(e.name, uid)) {
          error = "no user " + e.name;
          return false;
        }
        ok = add(&list.acl, ACL_USER, &uid, true, e.full, true);
        break;
      }
    }
    if (!ok) {
      error = std::string("cannot build the access list: ") + std::strerror(errno);
      return false;
    }
  }
  // POSIX wants an owner, owning-group and other entry in every list, and a
  // mask once named entries exist.
  bool ok = (owner || add(&list.acl, ACL_USER_OBJ, nullptr, false, false, false)) &&
            (other || add(&list.acl, ACL_OTHER, nullptr, false, false, false)) &&
            add(&list.acl, ACL_GROUP_OBJ, nullptr, other_read, other_full, other_read) && acl_calc_mask(&list.acl) == 0;
  if (!ok || acl_valid(list.acl) != 0) {
    error = std::string("cannot build the access list: ") + std::strerror(errno);
    return false;
  }

  if (acl_set_fd(fd, list.acl) != 0) {
    error = "cannot set the access list of " + path + ": " + std::strerror(errno);
    return false;
  }
  // The default list can only be set by name; going through the descriptor
  // keeps it on the folder that was checked above.
  std::string by_fd = "/proc/self/fd/" + std::to_string(fd);
  if (acl_set_file(by_fd.c_str(), ACL_TYPE_DEFAULT, list.acl) != 0) {
    error = "cannot set the inherited access list of " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace velarn
