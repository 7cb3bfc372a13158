// The TLS channel: process-wide library set-up, the client context and
// session on a connected socket, the server check, and blocking read and
// write with time limits whose failures become plain log lines.
#pragma once
#include <apr_network_io.h>
#include <apr_pools.h>
#include <apr_time.h>

#include "connection.h"

struct SessionProfile;

// Once at service start, after msgbuf_init. Returns 0. Also makes writes to
// a socket whose peer has gone fail with EPIPE instead of ending the process.
int ssl_global_init(apr_pool_t* pool);

// A RemoteConnection for a connected socket, allocated from pool (the socket's
// pool) with info_wanted set; registers connection_close on pool. peer tags
// the trace lines (may be NULL). The socket is made non-blocking: every call
// on it waits through connection_wait, so that no wait outlives its limit or
// a stop.
RemoteConnection* remote_connection_create(apr_pool_t* pool, apr_socket_t* sock, apr_sockaddr_t* peer);

// Context, attach, handshake and server check, traced inside its own
// "keva12_client_ssl() {" ... "}" bracket. 0 or -1 (logged; the fatal flag is
// set where no other server may be tried).
int keva12_client_ssl(RemoteConnection* conn, const SessionProfile* profile);

// --- Waits -------------------------------------------------------------------
//
// Each read or write waits at most its limit (10 seconds while logging in),
// the whole login at most its deadline, and none of them past a stop: the
// stop hook is asked between short slices, and connection_abort wakes every
// wait at once.

enum { CONN_READY = 1, CONN_TIMEOUT = 0, CONN_ABORTED = -1, CONN_EXPIRED = -2 };

// The session's stop hook and the deadline of the login (0: none).
void connection_guard(RemoteConnection* conn, apr_time_t deadline, int (*stopping)(void* ctx), void* ctx);
// The tunnel phase: reads wait without limit (until an abort or, once the
// TLS close was sent, the drain time), a write at most write_limit_ms.
void connection_enter_tunnel(RemoteConnection* conn, int write_limit_ms);
// From any thread, without a lock: ends every wait on the connection now and
// for good (the socket is shut down both ways). The caller keeps conn alive.
void connection_abort(RemoteConnection* conn);
bool connection_aborted(const RemoteConnection* conn);
// Aborted, or the session's stop hook says it is stopping: a failed call
// then needs no word of its own.
bool connection_stopped(const RemoteConnection* conn);
// Waits for events (velarn::kSocketReadable, kSocketWritable) at most
// limit_ms (-1: no limit of its own): CONN_READY, CONN_TIMEOUT, CONN_ABORTED
// (abort or stop) or CONN_EXPIRED (the login's deadline passed).
int connection_wait(RemoteConnection* conn, int events, int limit_ms);
// Plain socket I/O before TLS (greeting, proxy): bytes, 0 when the peer
// closed or the read limit passed, -1 on failure, abort or deadline (logged
// at debug level only for an abort).
int connection_send(RemoteConnection* conn, const char* data, int len);
int connection_recv(RemoteConnection* conn, char* buf, int len);

// Creates the session on the connection's socket (blocking, 10-second receive
// and send limits, auto-retry) and, when info_wanted, the ServerInfo block.
// 0 or -1.
int ssl_attach(RemoteConnection* conn, SSL_CTX* ctx);

// SSL_connect with its error handling: 1 connected, 0 the peer closed the TLS
// session, -1 failure (logged).
int ssl_connect_wait(RemoteConnection* conn);

// Byte count (> 0), 0 when the peer closed the TLS session cleanly, -1 on
// failure (already logged; "connection timeout" after 10 silent seconds
// while the socket limits are on).
int ssl_read_wait(RemoteConnection* conn, void* buf, int size);
int ssl_write_wait(RemoteConnection* conn, const void* buf, int size);

// One TLS call on the connection, serialised with every other thread's:
// the lock is held for the call alone and the wait for readiness happens
// outside it, within the connection's limits for that kind of call. Returns
// the call's result with *kind its SSL_get_error kind (classified as
// ssl_error_kind does) and *wait the outcome of the last wait (CONN_READY
// when the call itself ended).
enum SslOp { SSL_OP_CONNECT, SSL_OP_READ, SSL_OP_WRITE };
int ssl_call(RemoteConnection* conn, SslOp op, void* buf, int size, int* kind, int* wait);

// SSL_get_error for a call that returned *result, for callers that drive
// SSL_read/SSL_write themselves. OpenSSL 3 reports a peer that drops the TCP
// connection as a protocol error ("unexpected eof while reading"); this turns
// it back into SSL_ERROR_SYSCALL with *result 0, which ssl_report_error logs
// as "disconnected from the peer unexpectedly (EOF)". errno is kept for
// ssl_report_error.
int ssl_error_kind(RemoteConnection* conn, int* result);

// Logs the failure of a TLS call: kind is SSL_get_error's answer, result the
// call's return value.
void ssl_report_error(int kind, RemoteConnection* conn, int result);

// Sends close_notify (when the socket takes it now: it never waits) and marks
// both directions shut down so nothing more is sent on the session. From
// then on a read waits at most the drain time. Returns 0.
int ssl_shutdown_session(RemoteConnection* conn);
// Whether the TLS close was sent or received; marking it (the peer's close
// was read) makes later reads drain the socket instead.
bool ssl_session_closed(const RemoteConnection* conn);
void ssl_session_mark_closed(RemoteConnection* conn);

// The pool clean-up: closes the socket, frees the context and the session and
// gives the message buffers back. Safe to run once per connection (the pool
// clean-up does); callers normally just clear the pool.
apr_status_t connection_close(void* conn);

// "SSL_ERROR_NONE" ... "SSL_ERROR_WANT_ACCEPT"; NULL for other kinds.
const char* ssl_error_kind_name(int kind);
