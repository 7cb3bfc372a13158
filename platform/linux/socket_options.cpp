#include "platform/socket_options.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>

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

}  // namespace velarn
