// The KEVA/1.2 client: greeting, login and information exchange, wait for the
// tunnel, and one step each of the two tunnel directions.
//
// Every record after the TLS handshake has a 4-byte header (code, 16-bit
// big-endian payload length, a reserved 0) and the payload. The byte-level
// pieces (message encoding, descriptions, refusal and info decoding, the
// tunnel record walker) are pure functions so that they can be checked on
// bytes alone.
#pragma once
#include <cstddef>
#include <cstdint>

#include <apr_portable.h>  // apr_os_sock_t in the connection record

#include "connection.h"
#include "msgbuf.h"

struct SessionProfile;

enum : unsigned char {
  KEVA_OK = 0x00,
  KEVA_ZONE = 0x90,
  KEVA_USER = 0x91,
  KEVA_PASSWORD = 0x92,
  KEVA_AUTH = 0x94,
  KEVA_VERSION = 0xA0,
  KEVA_DESCRIPTION = 0xA1,
  KEVA_CAPABILITY = 0xA2,
  KEVA_MAC_ADDR = 0xA3,
  KEVA_KEEPALIVE = 0xA4,
  KEVA_TUNNEL = 0xC0,
  KEVA_CONFIG = 0xC1,
  KEVA_ERR = 0xFF,
};

// Login method bytes carried by AUTH.
enum : unsigned char { KEVA_AUTH_PASSWORD = 1, KEVA_AUTH_CERTIFICATE = 2, KEVA_AUTH_TICKET = 3 };

// Refusal reasons carried by ERR.
enum : unsigned char {
  KEVA_ERR_AUTH_FAILURE = 0,
  KEVA_ERR_ALREADY_CONNECTED = 2,
  KEVA_ERR_TOO_MANY = 3,
  KEVA_ERR_USER_DISABLED = 4,
  KEVA_ERR_UNEXPECTED = 0xF0,
};

#define KEVA12_GREETING "KEVA/1.2 CONNECT"
#define KEVA12_GREETING_OK "KEVA/1.2 OK"
#define KEVA12_HEADER_SIZE 4
#define KEVA12_MAX_PAYLOAD 65535
// A received message: header plus the largest payload.
#define KEVA12_MESSAGE_SIZE (KEVA12_HEADER_SIZE + KEVA12_MAX_PAYLOAD)
// The tunnel reader's buffer; a record must fit in it whole.
#define TUNNEL_BUFFER_SIZE 65536
#define TUNNEL_MAX_PAYLOAD (TUNNEL_BUFFER_SIZE - KEVA12_HEADER_SIZE)
// The client's own version text.
#define KEVA12_CLIENT_NAME "Velarn Client"
#define KEVA12_CLIENT_VERSION "1.4.5.248"
// Longest trace description of a message.
#define KEVA12_DESCRIPTION_MAX 60

// --- Byte-level pieces ----------------------------------------------------

// The code's name in the trace ("OK", "ZONE", ...); NULL for unknown codes.
const char* keva12_code_name(int code);

// Appends one message to buf. 0, or -1 when it would not fit in the 64 KiB
// buffer (nothing is written then).
int message_put(MessageBuffer* buf, int code, const void* payload, size_t len);

// The trace description of a message: "%s %d" (name, length) or
// "unknown(%d) %d", then for a non-empty payload ` = "...."` with printable
// bytes as they are and others as \xNN. At most KEVA12_DESCRIPTION_MAX
// characters; a payload that does not fit ends in "...". out must hold
// KEVA12_DESCRIPTION_MAX + 1 bytes. Returns the length written.
size_t keva12_describe(char* out, int code, const unsigned char* payload, size_t len);

// The login answer. 0 accepted; -1 refused, with *reason the text for
// "login error: %s" and *fatal 1 when no other server and no reconnect may
// follow.
int keva12_login_answer(int code, const unsigned char* payload, size_t len, const char** reason, int* fatal);

// One message of the server's information. 1 when it was the closing OK, 0
// when it was taken (or skipped), -1 when its length is out of bounds.
int keva12_server_info_apply(ServerInfo* info, int code, const unsigned char* payload, size_t len);

// The login batch for a method (AUTH_* of the profile): ZONE when zone is
// not NULL, the credentials, AUTH. 0, or -1 when it does not fit.
int keva12_login_batch(MessageBuffer* buf, int auth_type, const char* zone, const char* user, const char* password);

// Walking the tunnel reader's buffer: every complete record from the start
// is looked at; frame batches (code 1 to 127) get header bytes 1 to 3 zeroed
// and go to deliver; keepalives and control records are skipped. The
// incomplete tail is moved to the front and *held becomes its length.
typedef int (*tunnel_deliver_fn)(void* ctx, unsigned char* record, size_t len);
enum {
  TUNNEL_WALK_OK = 0,
  TUNNEL_WALK_DELIVER_FAILED = -1,  // deliver returned non-zero; buffer left as is
  TUNNEL_WALK_OVERSIZED = -2,       // a record that can never fit the buffer
};
int tunnel_walk(unsigned char* buf, size_t* held, tunnel_deliver_fn deliver, void* ctx);

// --- Connection steps (each logs its own failures) ------------------------

// Appends to the connection's pending output (taking a buffer when there is
// none). 0, or -1 with "internal error: keva buffer overflow".
int message_append(RemoteConnection* conn, int code, const void* payload, size_t len);
// Writes the pending output in one TLS write and gives the buffer back.
int message_flush(RemoteConnection* conn);
// Reads one whole message into buf (KEVA12_MESSAGE_SIZE bytes). 0 or -1.
int message_read(RemoteConnection* conn, unsigned char* buf);

int keva12_client_handshake(RemoteConnection* conn);
int keva12_client_auth(RemoteConnection* conn, const SessionProfile* profile);
int keva12_client_info(RemoteConnection* conn);
int keva12_client_wait_tunnel(RemoteConnection* conn);
// The five steps in order (TLS included). 0 when the tunnel phase began.
int keva12_client_start(RemoteConnection* conn, const SessionProfile* profile);

// --- Tunnel phase -----------------------------------------------------------

enum {
  TUNNEL_OK = 0,
  TUNNEL_FAILED = 1,
  TUNNEL_CLOSED = 2,
  TUNNEL_WANT_READ = 3,
  TUNNEL_WANT_WRITE = 4,
};

// How long the reader waits for the peer to close after the TLS close.
#define TUNNEL_DRAIN_SECONDS 3

struct TunnelBuffer {
  size_t held;
  unsigned char data[TUNNEL_BUFFER_SIZE];
};

// One receive into the free space after the held bytes. A tail whose record
// can never fit ends the connection with "KEVA/1.2 protocol error" (1).
int tunnel_read(RemoteConnection* conn, TunnelBuffer* rb);
// One record (frame batch or keepalive, header included, *len bytes) in one
// TLS write; *len is reset to 0 once it is written. TUNNEL_WANT_WRITE (or
// _READ) when the peer took nothing for the connection's write limit.
int tunnel_write(RemoteConnection* conn, unsigned char* record, uint32_t* len);
