#include "platform/user_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace velarn {

bool write_file_replacing(const std::string& path, const void* data, size_t len) {
  std::string tmp = path + ".tmp";
  if (unlink(tmp.c_str()) != 0 && errno != ENOENT) return false;
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  const char* p = static_cast<const char*>(data);
  size_t left = len;
  bool ok = true;
  while (ok && left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) {
      p += n;
      left -= static_cast<size_t>(n);
    }
  }
  ok = ok && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  if (ok && std::rename(tmp.c_str(), path.c_str()) == 0) return true;
  unlink(tmp.c_str());
  return false;
}

bool create_new_file(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool remove_folder_files(const std::string& folder) {
  // Every step goes through the folder's own descriptor: a name swapped for
  // a link half-way cannot lead the removal elsewhere.
  int dfd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dfd < 0) return false;
  DIR* dir = fdopendir(dfd);
  if (!dir) {
    close(dfd);
    return false;
  }
  bool ok = true;
  while (struct dirent* e = readdir(dir)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    if (fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) continue;
    if (unlinkat(dfd, e->d_name, 0) != 0) ok = false;
  }
  closedir(dir);
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return rmdir(path.c_str()) == 0 && ok;
}

}  // namespace velarn
