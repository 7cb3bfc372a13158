#include "platform/secure_file.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace velarn {
namespace {

struct Fd {
  int fd = -1;
  explicit Fd(int f = -1) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int release() {
    int f = fd;
    fd = -1;
    return f;
  }
};

std::string errno_text(const std::string& what, int e) { return what + ": " + std::strerror(e); }

// A folder nobody but root can change. A world-writable folder with the
// sticky bit (/tmp) is accepted when root owns it: others cannot rename or
// remove the entries root has made in it.
bool folder_safe(int fd, const std::string& name, std::string* reason) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *reason = errno_text(name, errno);
    return false;
  }
  if (st.st_uid != 0) {
    *reason = name + ": folder not owned by root";
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX)) {
    *reason = name + ": folder writable by others";
    return false;
  }
  return true;
}

gid_t log_group() {
  struct group gr, *res = nullptr;
  char buf[4096];
  if (getgrnam_r("adm", &gr, buf, sizeof buf, &res) == 0 && res) return res->gr_gid;
  return 0;
}

// Opens path for reading only when it is an administrator's file (the rules
// of read_admin_file). Links in the path are resolved once, then every step
// is opened without following links, so nothing can be swapped in between
// the check and the use. A descriptor, or -1 with *reason set.
int open_admin_file(const std::string& path, std::string* reason) {
  std::string dummy;
  if (!reason) reason = &dummy;
  char real[PATH_MAX];
  if (path.empty() || !realpath(path.c_str(), real)) {
    *reason = errno_text(path, path.empty() ? ENOENT : errno);
    return -1;
  }
  Fd dir(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd < 0 || !folder_safe(dir.fd, "/", reason)) {
    if (dir.fd < 0) *reason = errno_text("/", errno);
    return -1;
  }
  std::string walked;
  const char* p = real + 1;
  for (;;) {
    const char* slash = std::strchr(p, '/');
    std::string step = slash ? std::string(p, slash) : std::string(p);
    walked += "/" + step;
    if (!slash) {
      // O_NONBLOCK: a planted FIFO must not hold the service in open().
      Fd file(openat(dir.fd, step.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
      if (file.fd < 0) {
        *reason = errno_text(walked, errno);
        return -1;
      }
      struct stat st;
      if (fstat(file.fd, &st) != 0) {
        *reason = errno_text(walked, errno);
        return -1;
      }
      if (!S_ISREG(st.st_mode)) {
        *reason = walked + ": not a regular file";
        return -1;
      }
      if (st.st_uid != 0) {
        *reason = walked + ": not owned by root";
        return -1;
      }
      if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        *reason = walked + ": writable by others";
        return -1;
      }
      int flags = fcntl(file.fd, F_GETFL);
      if (flags >= 0) fcntl(file.fd, F_SETFL, flags & ~O_NONBLOCK);
      return file.release();
    }
    Fd next(openat(dir.fd, step.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (next.fd < 0) {
      *reason = errno_text(walked, errno);
      return -1;
    }
    if (!folder_safe(next.fd, walked, reason)) return -1;
    std::swap(dir.fd, next.fd);
    p = slash + 1;
  }
}

}  // namespace

bool load_admin_module(const std::string& path, DynLib* lib, std::string* reason) {
  Fd fd(open_admin_file(path, reason));
  if (fd.fd < 0) return false;
  // The resolved path is loaded, not /proc/self/fd/N: the loader remembers
  // every name a library was opened by and hands that library out again for
  // the same name, and descriptor numbers come back. Nobody but root can
  // change what the resolved path names (every folder on it is root's and
  // writable by nobody else), and the identity is checked after the load.
  char real[PATH_MAX];
  struct stat checked, loaded;
  if (!realpath(path.c_str(), real) || fstat(fd.fd, &checked) != 0) {
    *reason = errno_text(path, errno);
    return false;
  }
  if (!lib->open(real)) {
    *reason = path + ": " + lib->error();
    return false;
  }
  if (stat(real, &loaded) != 0 || loaded.st_dev != checked.st_dev || loaded.st_ino != checked.st_ino) {
    lib->close();
    *reason = path + ": changed while it was loaded";
    return false;
  }
  return true;
}

bool read_admin_file(const std::string& path, std::string* out, std::string* reason) {
  Fd fd(open_admin_file(path, reason));
  if (fd.fd < 0) return false;
  out->clear();
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd.fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *reason = errno_text(path, errno);
      return false;
    }
    if (n == 0) return true;
    if (out->size() + static_cast<size_t>(n) > (16u << 20)) {
      *reason = path + ": file too large";
      return false;
    }
    out->append(buf, static_cast<size_t>(n));
  }
}

FILE* open_service_file(const std::string& path, const char* mode) {
  bool append = mode && mode[0] == 'a';
  int base = O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (append ? O_APPEND : 0);
  int fd = open(path.c_str(), base | O_CREAT, 0640);
  bool replace = fd < 0 && (errno == ELOOP || errno == ENXIO || errno == EISDIR);
  if (fd >= 0) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != geteuid()) {
      close(fd);
      fd = -1;
      replace = true;
    }
  }
  if (replace) {
    // A link or a foreign file planted under our name: the name is ours, the
    // thing it points at is not. Put a fresh file in its place.
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return nullptr;
    fd = open(path.c_str(), base | O_CREAT | O_EXCL, 0640);
  }
  if (fd < 0) return nullptr;
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  if (!append && ftruncate(fd, 0) != 0) {
    int e = errno;
    close(fd);
    errno = e;
    return nullptr;
  }
  // The folder may pass on ACL entries for users; none of them may read
  // what the service writes.
  fremovexattr(fd, "system.posix_acl_access");
  if (geteuid() == 0 && fchown(fd, 0, log_group()) != 0) {
  }
  fchmod(fd, 0640);
  FILE* f = fdopen(fd, append ? "a" : "w");
  if (!f) {
    int e = errno;
    close(fd);
    errno = e;
  }
  return f;
}

}  // namespace velarn
