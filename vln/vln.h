/* VLN: the client library through which a GUI drives the VPN service.
 *
 * The library reaches the service over its local control channel. A handle
 * stands for one listener: while it is open, a thread of the library receives
 * the service's event lines and hands each to the caller's callback. Every
 * other call opens a short request of its own, so calls on one handle may come
 * from any thread.
 *
 * Every function returns 0 on success or one of the VLN_ERR_ codes below.
 * VLN_ERR_LINK (3) always means that the service could not be reached or went
 * away (the socket is missing, the service refused the connection, closed it
 * without an answer, or did not answer within ten seconds); the usual reaction
 * is to close the handle and open a new one. */
#ifndef VELARN_VLN_H
#define VELARN_VLN_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define VLN_API __attribute__((visibility("default")))
#else
#define VLN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum {
  VLN_OK = 0,
  /* A null pointer, a handle that is not open, a key the service does not
   * hold, a secret too long for it, or a profile text beyond 16 MiB. */
  VLN_ERR_ARGUMENT = 1,
  /* Out of memory or threads. */
  VLN_ERR_RESOURCE = 2,
  /* The link to the service is broken (see above). For a handle this also
   * covers a listener that the service has dropped: events no longer arrive,
   * so VLN_state, VLN_connect and VLN_disconnect report it. */
  VLN_ERR_LINK = 3,
  /* The service found the request malformed: for VLN_connect, the profile is
   * invalid. */
  VLN_ERR_REFUSED = 4,
  /* There is no current session (VLN_disconnect, VLN_getProfile). */
  VLN_ERR_NO_SESSION = 5,
  /* The output did not fit into the caller's buffer. */
  VLN_ERR_SPACE = 6,
  /* VLN_connect: a session is already running; nothing was sent. */
  VLN_ERR_BUSY = 16,
  /* VLN_connect: the service accepted the profile but could not start the
   * session (its log says why). */
  VLN_ERR_START = 17,
  /* The service gave an answer this library does not understand. */
  VLN_ERR_ANSWER = 18
};

/* Session states, as VLN_state reports them and as state events carry them.
 * VLN_STATE_IDLE also stands for "no session". */
enum {
  VLN_STATE_UNKNOWN = -1, /* a state name this library does not know */
  VLN_STATE_IDLE = 0,
  VLN_STATE_CONNECTING = 1,
  VLN_STATE_CONNECTED = 2,
  VLN_STATE_CLOSING = 3,
  VLN_STATE_CLOSED = 4
};

/* Event kinds. */
enum {
  VLN_EVENT_STATE = 0,    /* the session state changed; value is the new state */
  VLN_EVENT_ALERT = 1,    /* an error the user must see */
  VLN_EVENT_PROGRESS = 2, /* information about the session's progress */
  VLN_EVENT_LOG = 3       /* any other line from the service: for the log only */
};

typedef struct VLN_Event {
  int32_t kind; /* VLN_EVENT_* */
  /* The session state the service reported with the event (VLN_STATE_*),
   * for every kind. */
  int32_t value;
  /* The event's message as zero-terminated UTF-16 (for a state event, the
   * state's name). Bytes that are not UTF-8 arrive as U+FFFD. Valid only
   * during the callback. */
  const uint16_t* text;
} VLN_Event;

/* Called on the library's listener thread, one event at a time and in the
 * order the service sent them. It should return quickly: VLN_close waits for
 * a running callback. It may call any VLN_ function, VLN_close of its own
 * handle included. */
typedef void (*VLN_Callback)(const VLN_Event* event);

/* 0 when the service answers on its control channel, else VLN_ERR_LINK or
 * VLN_ERR_ANSWER: not ready yet, try again later. No other call depends on
 * it. */
VLN_API int VLN_init(void);

/* Registers as a listener with the service and starts the thread that
 * delivers its events to callback (which may be null: events are then
 * dropped). On 0, *handle is a non-zero handle and the listener is in place:
 * every event the service sends from then on reaches the callback until
 * VLN_close. On failure *handle is 0. */
VLN_API int VLN_open(int* handle, VLN_Callback callback);

/* The current session state into *state; no session gives VLN_STATE_IDLE
 * and 0. *state is written only on success. */
VLN_API int VLN_state(int handle, int32_t* state);

/* Asks the service to start a session from profile, the profile document as
 * zero-terminated UTF-8 text. extra is reserved; pass null (it is ignored).
 * 0 means the service accepted the request; the progress follows as events.
 * VLN_ERR_BUSY: a session is running already; VLN_ERR_REFUSED: invalid
 * profile; VLN_ERR_START: the session could not be set up. */
VLN_API int VLN_connect(int handle, const char* profile, const char* extra);

/* Asks the service to stop the current session: 0 when accepted, or
 * VLN_ERR_NO_SESSION when there is none. */
VLN_API int VLN_disconnect(int handle);

/* The running session's profile text into buffer, zero-terminated. size is
 * the number of bytes the library may write, the terminating zero included.
 * A longer text is cut at a character boundary and gives VLN_ERR_SPACE;
 * without a session the buffer holds the empty text and the result is
 * VLN_ERR_NO_SESSION. On any failure the buffer holds the empty text. */
VLN_API int VLN_getProfile(int handle, char* buffer, size_t size);

/* The enc_ form of a secret, as the service decrypts profile values. key is
 * the profile-value key text (40 hexadecimal characters) and key_len 40; any
 * other key is refused with VLN_ERR_ARGUMENT, since the service could not
 * read the result. input holds the secret; input_len may count a terminating
 * zero, and the secret ends at the first zero byte. A secret whose encrypted
 * form the service could not decode again (beyond 765 bytes) is refused with
 * VLN_ERR_ARGUMENT as well. The result is written
 * zero-terminated to output (output_size bytes, the zero included). On any
 * failure output holds the empty text (when output_size is at least 1). */
VLN_API int VLN_encrypt(const char* key, size_t key_len, const char* input, size_t input_len, char* output,
                        size_t output_size);

/* Leaves the listener and releases the handle. When it returns no callback
 * for this handle runs any more (unless called from that callback, which then
 * finishes undisturbed). VLN_ERR_ARGUMENT for a handle that is not open. */
VLN_API int VLN_close(int handle);

/* The running session's counters: seconds the current connection has been up
 * (0 while it is not connected), and the Ethernet frame bytes sent to and
 * received from the server over the whole session. */
typedef struct VLN_Statistics {
  int64_t seconds;
  uint64_t sent;
  uint64_t received;
} VLN_Statistics;

/* Fills *stats; VLN_ERR_NO_SESSION when no session runs (*stats is then
 * zeroed). Read-only: any user allowed on the channel may ask. */
VLN_API int VLN_statistics(int handle, VLN_Statistics* stats);

#ifdef __cplusplus
}
#endif

#endif /* VELARN_VLN_H */
