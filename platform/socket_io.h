// Plain I/O on sockets the parts already hold: the waits, sends and receives
// under the TLS channel and the proxy exchange, and the shut-down that wakes
// another thread's wait. Failures come back as -1 with errno set to the
// standard codes of <cerrno> (EAGAIN, EINTR, ECONNRESET ...), which the
// callers already log in their own words.
#pragma once
#include <cstddef>

#include "platform/socket_options.h"

namespace velarn {

// What a wait asks of the socket (or-ed together).
enum SocketEvents : int {
  kSocketReadable = 1,
  kSocketWritable = 2,
};

// Waits at most timeout_ms (-1: no limit) for events on sock: 1 when it is
// ready, or has an error or a hang-up pending (the next call says which);
// 0 when the time ran out or a signal cut the wait short; -1 on failure.
int socket_wait(SocketHandle sock, int events, int timeout_ms);

// One send or receive; a peer that has gone gives EPIPE, never a signal.
// Bytes moved (0 from a receive: the peer closed), or -1.
long socket_send(SocketHandle sock, const void* data, size_t len);
long socket_recv(SocketHandle sock, void* buf, size_t len);

// Shuts sock down both ways: every wait and call on it, in any thread, ends
// at once. The handle itself stays open. 0 or -1.
int socket_shutdown(SocketHandle sock);

// The error a non-blocking connect ended with (0: connected), or the
// error of asking for it.
int socket_pending_error(SocketHandle sock);

// A socket that child processes do not inherit, or -1. family, type and
// protocol in the sockets API's own numbering (as a resolver hands them out).
SocketHandle socket_open(int family, int type, int protocol);
// 0 or -1.
int socket_close(SocketHandle sock);

}  // namespace velarn
