#include "platform/local_pipe.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/linux/local_socket.h"
#include "platform/roots.h"

namespace velarn {

// --- events ----------------------------------------------------------------------

WaitEvent::WaitEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
WaitEvent::~WaitEvent() {
  if (fd_ >= 0) close(fd_);
}
void WaitEvent::set() {
  uint64_t one = 1;
  if (::write(fd_, &one, sizeof one) < 0) {
  }
}
void WaitEvent::reset() {
  uint64_t v;
  while (::read(fd_, &v, sizeof v) > 0) {
  }
}
bool WaitEvent::is_set() const {
  struct pollfd p = {fd_, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

// --- connections ---------------------------------------------------------------------

PipeConnection::PipeConnection(NativeHandle fd) : fd_(fd) {}
PipeConnection::~PipeConnection() {
  if (fd_ >= 0) close(fd_);
}

long PipeConnection::read(char* buf, size_t cap, int timeout_ms) {
  if (held_pos_ < held_.size()) {
    size_t n = std::min(cap, held_.size() - held_pos_);
    std::memcpy(buf, held_.data() + held_pos_, n);
    held_pos_ += n;
    if (held_pos_ == held_.size()) {
      held_.clear();
      held_pos_ = 0;
    }
    return static_cast<long>(n);
  }
  struct pollfd p = {fd_, POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, timeout_ms);
  } while (r < 0 && errno == EINTR);
  if (r == 0) {
    errno = ETIMEDOUT;
    return -1;
  }
  if (r < 0) return -1;
  // Learn the whole message's size first: a plain receive would drop what
  // does not fit.
  ssize_t size;
  do {
    size = recv(fd_, nullptr, 0, MSG_PEEK | MSG_TRUNC);
  } while (size < 0 && errno == EINTR);
  if (size <= 0) {
    if (size == 0) {
      // An empty message or the peer's close: take it off the queue.
      char c;
      recv(fd_, &c, 0, 0);
    }
    return size;
  }
  if (static_cast<size_t>(size) <= cap) return recv(fd_, buf, cap, 0);
  held_.resize(static_cast<size_t>(size));
  ssize_t got = recv(fd_, held_.data(), held_.size(), 0);
  if (got < 0) {
    held_.clear();
    return -1;
  }
  held_.resize(static_cast<size_t>(got));
  held_pos_ = 0;
  return read(buf, cap, 0);
}

bool PipeConnection::write(const char* data, size_t len) {
  ssize_t n;
  do {
    n = send(fd_, data, len, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(len);
}

bool PipeConnection::write(const char* data, size_t len, int timeout_ms, const WaitEvent& stop) {
  for (;;) {
    ssize_t n = send(fd_, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n == static_cast<ssize_t>(len)) return true;
    if (n >= 0) return false;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    struct pollfd p[2] = {{fd_, POLLOUT, 0}, {stop.handle(), POLLIN, 0}};
    int r = poll(p, 2, timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0 || p[1].revents) {
      errno = r == 0 ? ETIMEDOUT : (r < 0 ? errno : ECANCELED);
      return false;
    }
  }
}

bool PipeConnection::try_write(const char* data, size_t len) {
  return send(fd_, data, len, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(len);
}

void PipeConnection::shutdown() { ::shutdown(fd_, SHUT_RDWR); }

bool PipeConnection::readable() {
  if (held_pos_ < held_.size()) return true;
  struct pollfd p = {fd_, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

// --- server ----------------------------------------------------------------------------

LocalPipeServer::~LocalPipeServer() {
  if (fd_ >= 0) {
    close(fd_);
    unlink(path_.c_str());
  }
}

bool LocalPipeServer::create(const std::string& windows_name) {
  path_ = roots::object_path(windows_name);
  auto slash = path_.rfind('/');
  if (slash != std::string::npos) roots::make_dirs(path_.substr(0, slash));
  struct sockaddr_un sa {};
  sa.sun_family = AF_UNIX;
  if (path_.size() >= sizeof sa.sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(sa.sun_path, path_.c_str(), path_.size() + 1);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // A socket file left by a service that died is ours to replace; a live one
  // means another instance serves the channel.
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
    close(fd);
    errno = EADDRINUSE;
    return false;
  }
  unlink(path_.c_str());
  mode_t old = umask(0);
  int r = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  umask(old);
  if (r != 0 || listen(fd, 16) != 0) {
    int e = errno;
    close(fd);
    errno = e;
    return false;
  }
  chmod(path_.c_str(), 0666);
  fd_ = fd;
  return true;
}

LocalPipeServer::WaitResult LocalPipeServer::wait(const WaitEvent& stop,
                                                  const std::vector<const PipeConnection*>& connections,
                                                  std::vector<size_t>* ready, bool* client, int timeout_ms) {
  std::vector<struct pollfd> fds;
  fds.reserve(connections.size() + 2);
  fds.push_back({stop.handle(), POLLIN, 0});
  fds.push_back({fd_, POLLIN, 0});
  for (const PipeConnection* c : connections) fds.push_back({c->fd_, POLLIN, 0});
  ready->clear();
  *client = false;
  for (;;) {
    int r = poll(fds.data(), fds.size(), timeout_ms);
    if (r < 0) {
      if (errno == EINTR) continue;
      return kFailed;
    }
    if (r == 0) return kTimeout;
    if (fds[0].revents) return kStop;
    if (fds[1].revents & ~POLLIN) return kFailed;
    *client = (fds[1].revents & POLLIN) != 0;
    for (size_t i = 2; i < fds.size(); ++i)
      if (fds[i].revents) ready->push_back(i - 2);
    return kReady;
  }
}

std::unique_ptr<PipeConnection> LocalPipeServer::accept() {
  int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return nullptr;
  struct ucred cred {};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || !pipe_peer_allowed(cred.uid)) {
    close(fd);
    return nullptr;
  }
  std::unique_ptr<PipeConnection> conn(new PipeConnection(fd));
  conn->uid_ = cred.uid;
  conn->pid_ = cred.pid;
  return conn;
}

int seqpacket_connect(const std::string& windows_name) {
  std::string path = roots::object_path(windows_name);
  struct sockaddr_un sa {};
  sa.sun_family = AF_UNIX;
  if (path.size() >= sizeof sa.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    int e = errno;
    close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

std::unique_ptr<PipeConnection> local_pipe_connect(const std::string& windows_name) {
  int fd = seqpacket_connect(windows_name);
  return fd < 0 ? nullptr : std::unique_ptr<PipeConnection>(new PipeConnection(fd));
}

bool pipe_peer_allowed(UserId uid) {
  if (uid == 0) return true;
  struct passwd pw, *res = nullptr;
  char buf[4096];
  if (getpwuid_r(uid, &pw, buf, sizeof buf, &res) != 0 || !res) return false;
  if (std::strcmp(res->pw_name, "nobody") != 0 && uid >= 1000 && uid != 65534) return true;
  return pipe_peer_is_admin(uid);
}

bool pipe_peer_is_admin(UserId uid) {
  if (uid == 0) return true;
  struct passwd pw, *res = nullptr;
  char buf[4096];
  if (getpwuid_r(uid, &pw, buf, sizeof buf, &res) != 0 || !res) return false;
  // Administrators: members of sudo.
  int ngroups = 64;
  std::vector<gid_t> groups(ngroups);
  if (getgrouplist(res->pw_name, res->pw_gid, groups.data(), &ngroups) < 0) {
    groups.resize(ngroups);
    if (getgrouplist(res->pw_name, res->pw_gid, groups.data(), &ngroups) < 0) return false;
  }
  groups.resize(ngroups);
  struct group gr, *gres = nullptr;
  char gbuf[4096];
  if (getgrnam_r("sudo", &gr, gbuf, sizeof gbuf, &gres) != 0 || !gres) return false;
  for (gid_t g : groups)
    if (g == gres->gr_gid) return true;
  return false;
}

}  // namespace velarn
