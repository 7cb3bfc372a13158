// The TLS channel: process-wide library set-up, the client context and
// session on a connected socket, the server check, and blocking read and
// write with time limits whose failures become plain log lines.
#pragma once
#include <apr_network_io.h>
#include <apr_pools.h>

#include "connection.h"

struct SessionProfile;

// Once at service start, after msgbuf_init. Returns 0. Also makes writes to
// a socket whose peer has gone fail with EPIPE instead of ending the process.
int ssl_global_init(apr_pool_t* pool);

// A RemoteConnection for a connected socket, allocated from pool (the socket's
// pool) with info_wanted set; registers connection_close on pool. peer tags
// the trace lines (may be NULL).
RemoteConnection* remote_connection_create(apr_pool_t* pool, apr_socket_t* sock,
                                           apr_sockaddr_t* peer);

// Context, attach, handshake and server check, traced inside its own
// "keva12_client_ssl() {" ... "}" bracket. 0 or -1 (logged; the fatal flag is
// set where no other server may be tried).
int keva12_client_ssl(RemoteConnection* conn, const SessionProfile* profile);

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

// Sends close_notify and marks both directions shut down so nothing more is
// sent on the session. Returns 0.
int ssl_shutdown_session(RemoteConnection* conn);

// The pool clean-up: closes the socket, frees the context and the session and
// gives the message buffers back. Safe to run once per connection (the pool
// clean-up does); callers normally just clear the pool.
apr_status_t connection_close(void* conn);

// "SSL_ERROR_NONE" ... "SSL_ERROR_WANT_ACCEPT"; NULL for other kinds.
const char* ssl_error_kind_name(int kind);
