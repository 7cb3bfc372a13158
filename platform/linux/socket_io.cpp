#include "platform/socket_io.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velarn {

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
