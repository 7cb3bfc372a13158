// Sockets the parts already hold (the server connection, the proxy exchange,
// the control device's connections): their options, the waits, sends and
// receives under the TLS channel, and the shut-down that wakes another
// thread's wait.
#pragma once
#include <cstddef>

namespace velarn {

// The system's handle of an open socket (what apr_os_sock_get hands out).
using SocketHandle = int;

// --- Options: each returns 0 or the system's error number, so the caller
// logs it in its own words.

// Limits each blocking receive, or each blocking send, to seconds.
int set_receive_timeout(SocketHandle sock, int seconds);
int set_send_timeout(SocketHandle sock, int seconds);

// Calls on sock return at once instead of waiting for the peer.
int set_nonblocking(SocketHandle sock);

// Sets the send buffer to bytes, beyond the system's limit where the
// process may (root), else as far as that limit allows.
int set_send_buffer(SocketHandle sock, int bytes);

// --- I/O: failures come back as -1 with errno set to the standard codes of
// <cerrno> (EAGAIN, EINTR, ECONNRESET ...), which the callers already log.

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
