#include "platform/socket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace velarn {
namespace {

int set_timeout(SocketHandle sock, int option, int seconds) {
  struct timeval tv;
  tv.tv_sec = seconds;
  tv.tv_usec = 0;
  return setsockopt(sock, SOL_SOCKET, option, &tv, sizeof tv) == 0 ? 0 : errno;
}

}  // namespace

int set_receive_timeout(SocketHandle sock, int seconds) { return set_timeout(sock, SO_RCVTIMEO, seconds); }

int set_send_timeout(SocketHandle sock, int seconds) { return set_timeout(sock, SO_SNDTIMEO, seconds); }

int set_nonblocking(SocketHandle sock) {
  int flags = fcntl(sock, F_GETFL);
  if (flags < 0 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
  return 0;
}

int set_send_buffer(SocketHandle sock, int bytes) {
  if (setsockopt(sock, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) == 0) return 0;
  return setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0 ? 0 : errno;
}

int socket_wait(SocketHandle sock, int events, int timeout_ms) {
  short want = 0;
  if (events & kSocketReadable) want |= POLLIN;
  if (events & kSocketWritable) want |= POLLOUT;
  struct pollfd p = {sock, want, 0};
  int r = poll(&p, 1, timeout_ms);
  if (r > 0) return 1;
  if (r == 0 || errno == EINTR) return 0;
  return -1;
}

long socket_send(SocketHandle sock, const void* data, size_t len) { return send(sock, data, len, MSG_NOSIGNAL); }

long socket_recv(SocketHandle sock, void* buf, size_t len) { return recv(sock, buf, len, 0); }

int socket_shutdown(SocketHandle sock) { return shutdown(sock, SHUT_RDWR); }

int socket_pending_error(SocketHandle sock) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

SocketHandle socket_open(int family, int type, int protocol) { return socket(family, type | SOCK_CLOEXEC, protocol); }

int socket_close(SocketHandle sock) { return close(sock); }

}  // namespace velarn
