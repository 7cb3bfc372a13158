// One connection attempt to a server: the TCP socket, the TLS objects put on
// it, the server's information block and the output waiting to be written.
#pragma once
#include <apr_network_io.h>
#include <apr_portable.h>
#include <apr_pools.h>
#include <openssl/ssl.h>
#include <cstdint>

#include "msgbuf.h"

// What the server tells about itself during the information exchange. The
// layout is fixed at 180 bytes; it is zeroed before every use.
struct ServerInfo {
  char version[81];  // zero-terminated, at most 80 characters
  char system[81];   // zero-terminated, at most 80 characters
  uint8_t mac_present;
  uint8_t mac[6];
  uint8_t keepalive_present;
  int32_t keepalive;        // seconds, 1 to 60
  int32_t capability_zero;  // a CAPABILITY byte was 0
};
static_assert(sizeof(ServerInfo) == 180, "ServerInfo is a 180-byte block");

// Created per attempt once the TCP connection is up (remote_connection_create),
// in the pool of its socket; a clean-up on that pool closes it
// (connection_close), so clearing the pool releases everything.
struct RemoteConnection {
  apr_pool_t* pool;           // the socket's pool
  const char* host;           // server host text of the profile entry
  apr_os_sock_t os_socket;    // the descriptor handed to TLS
  apr_socket_t* socket;       // the TCP socket
  apr_sockaddr_t* trace_tag;  // peer address: tags this connection's trace lines
  SSL_CTX* ctx;               // made by keva12_client_ssl
  SSL* ssl;                   // made by ssl_attach
  int info_wanted;            // 1: ssl_attach allocates info
  ServerInfo* info;           // zeroed 180-byte block
  MessageBuffer* pending;     // appended messages not yet written
  MessageBuffer* second;      // given back to the pool on close
  int fatal;                  // no further server, no reconnect
  struct ConnectionIo* io;    // the TLS call lock and the limits of every wait (ssl.cpp)
};
