#include "platform/registry_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velarn::registry_files {

namespace {

constexpr const char* kLockFile = ".lock";
constexpr int kLockWaitMs = 5000;

}  // namespace

TreeLock::TreeLock(const std::string& dir, bool exclusive) {
  if (!exclusive && ::geteuid() != 0) {
    unlocked_reader_ = true;
    return;
  }
  std::string path = dir + "/" + kLockFile;
  handle_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (handle_ < 0 && !exclusive) {
    unlocked_reader_ = true;
    return;
  }
  if (handle_ < 0) return;
  struct stat st;
  if (::fstat(handle_, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 077)) ::fchmod(handle_, 0600);
  for (int waited_ms = 0;; waited_ms += 10) {
    if (::flock(handle_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return;
    if (errno != EINTR && errno != EWOULDBLOCK) break;
    if (waited_ms >= kLockWaitMs) {
      errno = ETIMEDOUT;
      break;
    }
    ::usleep(10000);
  }
  int e = errno;
  ::close(handle_);
  handle_ = -1;
  errno = e;
  if (!exclusive) unlocked_reader_ = true;
}

TreeLock::~TreeLock() {
  if (handle_ >= 0) ::close(handle_);
}

bool is_dir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> folders_in(const std::string& path) {
  std::vector<std::string> out;
  DIR* d = ::opendir(path.c_str());
  if (!d) return out;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    if (e->d_type != DT_DIR && e->d_type != DT_UNKNOWN) continue;
    std::string file = e->d_name;
    if (e->d_type == DT_UNKNOWN && !is_dir(path + "/" + file)) continue;
    out.push_back(std::move(file));
  }
  ::closedir(d);
  return out;
}

bool make_folder(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

bool remove_tree(const std::string& path) {
  DIR* d = ::opendir(path.c_str());
  if (!d) return errno == ENOENT;
  bool ok = true;
  while (dirent* e = ::readdir(d)) {
    std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    std::string p = path + "/" + n;
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      ok = remove_tree(p) && ok;
    } else if (::unlink(p.c_str()) != 0) {
      ok = false;
    }
  }
  ::closedir(d);
  return ::rmdir(path.c_str()) == 0 && ok;
}

bool rename_path(const std::string& from, const std::string& to) { return ::rename(from.c_str(), to.c_str()) == 0; }

Read read_whole(const std::string& file, std::string& text) {
  text.clear();
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? Read::kMissing : Read::kFailed;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      ::close(fd);
      errno = e;
      return Read::kFailed;
    }
    if (n == 0) break;
    text.append(buf, size_t(n));
  }
  ::close(fd);
  return Read::kDone;
}

Replace replace_file(const std::string& file, const std::string& tmp, const std::string& text) {
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Replace::kWriteFailed;
  auto fail = [&](Replace why) {
    int e = errno;
    if (fd >= 0) ::close(fd);
    ::unlink(tmp.c_str());
    errno = e;
    return why;
  };
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail(Replace::kWriteFailed);
    done += size_t(n);
  }
  // The data must be on disk before the rename makes it the values file,
  // or a crash could leave an empty file where the values were.
  if (::fsync(fd) != 0) return fail(Replace::kWriteFailed);
  int closed = ::close(fd);
  fd = -1;
  if (closed != 0) return fail(Replace::kWriteFailed);
  if (::rename(tmp.c_str(), file.c_str()) != 0) return fail(Replace::kRenameFailed);
  return Replace::kDone;
}

unsigned long process_id() { return static_cast<unsigned long>(::getpid()); }

}  // namespace velarn::registry_files
