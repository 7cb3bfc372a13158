// Options on sockets the parts already hold (the server connection, the
// control device's connections). Each call returns 0 or the system's error
// number, so the caller logs it in its own words.
#pragma once

namespace velarn {

// The system's handle of an open socket (what apr_os_sock_get hands out).
using SocketHandle = int;

// Limits each blocking receive, or each blocking send, to seconds.
int set_receive_timeout(SocketHandle sock, int seconds);
int set_send_timeout(SocketHandle sock, int seconds);

// Calls on sock return at once instead of waiting for the peer.
int set_nonblocking(SocketHandle sock);

// Sets the send buffer to bytes, beyond the system's limit where the
// process may (root), else as far as that limit allows.
int set_send_buffer(SocketHandle sock, int bytes);

}  // namespace velarn
