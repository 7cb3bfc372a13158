/* vlntoken: hardware tokens through PKCS#11 modules, for the GUI and the
 * suite's tools. Plain C exports; every function returns a numeric result
 * code and nothing is logged. The library owns every block it allocates
 * (the module list and each TokenData handle); callers only read them. */
#ifndef VLNTOKEN_H
#define VLNTOKEN_H

#include <stdint.h>

#if defined(VLNTOKEN_BUILD)
#define VLNTOKEN_API __attribute__((visibility("default")))
#else
#define VLNTOKEN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Messages delivered to the host (they stand in for window messages). */
#define WM_TOKEN_STATE 0x8001   /* presence settled; see TokenData.token_present */
#define WM_TOKEN_PENDING 0x8002 /* a slot event is being examined */

/* Result codes. */
#define TOKEN_OK 0
#define TOKEN_ERR_MODULE 40002
#define TOKEN_ERR_SLOT_LIST 40004
#define TOKEN_ERR_OPEN_SESSION 40005
#define TOKEN_ERR_MODULE_INFO 40006
#define TOKEN_ERR_SLOT_INFO 40007
#define TOKEN_ERR_TOKEN_INFO 40008
#define TOKEN_ERR_NO_TOKEN 40031
#define TOKEN_ERR_PIN_INCORRECT 40032
#define TOKEN_ERR_PIN_EXPIRED 40033
#define TOKEN_ERR_PIN_LOCKED 40034
#define TOKEN_ERR_LOGIN 40035
#define TOKEN_ERR_SET_PIN 40036
#define TOKEN_ERR_AUTHTYPE 40040
#define TOKEN_ERR_CERT_SEARCH 40101
#define TOKEN_ERR_KEY_SEARCH 40102
#define TOKEN_ERR_PROFILE_SEARCH 40103
#define TOKEN_ERR_CERT_READ 40104
#define TOKEN_ERR_CERT_DECODE 40105
#define TOKEN_ERR_PROFILE_READ 40106
#define TOKEN_ERR_CERT_REMOVE 40111
#define TOKEN_ERR_KEY_REMOVE 40112
#define TOKEN_ERR_CERT_CREATE 40113
#define TOKEN_ERR_KEY_CREATE 40114
#define TOKEN_ERR_NOT_PROFILE 40901
#define TOKEN_ERR_PROFILE_REMOVE 40902 /* replace asked, old profile could not be removed */
#define TOKEN_ERR_DEVICE_MEMORY 40903
#define TOKEN_ERR_LOGIN_REQUIRED 40910

#define TOKEN_MAX_DRIVERS 20
#define TOKEN_PATH_SIZE 260

/* One entry of the module list (316 bytes). */
typedef struct TokenDriver {
  char path[TOKEN_PATH_SIZE];
  char title[52]; /* library description and version, at most 49 characters */
  int32_t flag;   /* 0 when the list file says so for the module, else 1 */
} TokenDriver;

struct TokenModule;
struct x509_st;
struct evp_pkey_st;

/* The ID field absorbs the pointers' width so that the handle has the same
 * size in 32- and 64-bit builds. */
#if UINTPTR_MAX > 0xffffffffu
#define TOKEN_KEYID_SIZE 323
#else
#define TOKEN_KEYID_SIZE 335
#endif

/* The handle (5,880 bytes). The GUI reads the text fields directly. Text
 * fields are always terminated; those the token leaves blank are empty. */
typedef struct TokenData {
  struct TokenModule* module; /* the library's own; never NULL in a loaded handle */
  int32_t token_present;      /* written by the monitor thread: read it atomically */
  int32_t cert_loaded;
  int32_t key_found;
  int32_t profile_found;
  int32_t driver_flag;         /* the module list's flag */
  struct x509_st* certificate; /* owned by the handle; borrow, never free */
  char driver_path[260];
  char driver_title[260];
  char library_title[80];
  char manufacturer[80];
  char interface_version[20];
  char slot_description[80];
  char token_label[80];
  char token_model[80];
  char token_manufacturer[80];
  char serial_number[80];
  char cert_subject[80];
  char cert_issuer[80];
  char cert_expiry[20];
  char profile[4097]; /* the stored profile document as read, terminated */
  char host[80];
  char port[20];
  char switch_name[40];
  char key_id[TOKEN_KEYID_SIZE]; /* set by the caller: the ID written objects get */
} TokenData;

/* Where the host receives WM_TOKEN_STATE / WM_TOKEN_PENDING in place of a
 * window handle. The function runs on the library's monitor thread or on the
 * caller's thread; it must not call back into the library for the same handle. */
typedef void (*TokenNotifyFunc)(void* context, unsigned int message);
typedef struct TokenNotifier {
  TokenNotifyFunc func;
  void* context;
} TokenNotifier;

/* Progress window and message box. Without a sink nothing is shown. The sink
 * is called under the library's sink lock: it must not install another sink. */
enum {
  TOKEN_PROGRESS_SHOW = 1,    /* show the progress window (text: NULL) */
  TOKEN_PROGRESS_TEXT = 2,    /* replace its one line of text */
  TOKEN_PROGRESS_HIDE = 3,    /* hide it at the end of an operation */
  TOKEN_PROGRESS_DESTROY = 4, /* the handle is freed */
  TOKEN_MESSAGE_BOX = 5       /* a message box with the text */
};
typedef void (*TokenProgressFunc)(void* context, const TokenData* handle, int event, const char* text);
VLNTOKEN_API void TokenSetProgressSink(TokenProgressFunc func, void* context);

/* Every entry point may be called from any thread, but one handle is not for
 * two threads at once (the monitor's own thread excepted): the library locks
 * the module around each PKCS#11 call, not the handle around each export. */

typedef void (*TokenLookupFunc)(const TokenDriver* entry, void* user);
typedef void (*TokenStateFunc)(int message);

/* The module list. Its entries belong to the library and stay valid until the
 * next TokenDataInit or TokenDataFree; handles already loaded are not
 * affected by either. TokenDataInit empties the list, TokenDataFree releases
 * it (it is made again on demand). */
VLNTOKEN_API void TokenDataInit(void);
VLNTOKEN_API void TokenDataFree(void);
/* Adds the modules of the list file not yet listed (each is loaded and asked
 * for its information; one that does not answer is skipped without a word)
 * and hands every entry to `callback` under the list lock. Returns 1. */
VLNTOKEN_API int TokenLookup(TokenLookupFunc callback, void* user);
/* Loads and initialises the module at `path`, listing it first if needed.
 * A non-NULL *handle is freed first, so pass a pointer set to NULL or to a
 * handle to replace. On TOKEN_OK the caller owns *handle (TokenFree);
 * otherwise *handle is NULL and the result is TOKEN_ERR_MODULE. Nothing is
 * read from the token yet. */
VLNTOKEN_API int TokenLoad(const char* path, TokenData** handle);
/* The listed title of a module (TOKEN_ERR_MODULE when it is not listed). */
VLNTOKEN_API int TokenGetTitle(const char* path, char* title /* 260 bytes */);
/* 1 when `handle` is loaded from exactly `path`. */
VLNTOKEN_API int IsTokenInfo(const char* path, const TokenData* handle);
/* Looks at the slots now, stores token_present and sends WM_TOKEN_STATE on
 * the caller's thread. TOKEN_OK also when no token is there. */
VLNTOKEN_API int TokenNow(TokenData* handle);
/* Starts the thread that watches for tokens coming and going. WM_TOKEN_STATE
 * goes to `callback` when given, else to the notifier; WM_TOKEN_PENDING only
 * to the notifier. The functions run on the monitor thread. 1 when started;
 * 0 when not loaded, already running or no thread could be made. */
VLNTOKEN_API int TokenStartMonitor(TokenData* handle, TokenStateFunc callback, const TokenNotifier* window);
/* Stops the watch and waits up to 3 seconds for it. A thread stuck inside
 * the module is reported in a message box and joined by the next start or by
 * TokenFree. Returns 1. */
VLNTOKEN_API int TokenStopMonitor(TokenData* handle);
/* Fills the module, slot, token, certificate and profile fields in a session
 * of its own that it closes again (a login made before is ended). Needs a
 * token (TOKEN_ERR_NO_TOKEN). TOKEN_OK or the first failure; a token without
 * certificate or profile is no failure (cert_loaded, profile_found). */
VLNTOKEN_API int TokenGetInfo(TokenData* handle);
/* Logs in as the user and leaves the session open and logged in for the
 * certificate calls below, which close it. Needs token_present (TokenNow or
 * the monitor). A refused PIN is never retried: each costs one of the token's
 * few tries. TOKEN_ERR_PIN_* for the PIN's faults, TOKEN_ERR_LOGIN for any
 * other; the session is closed on failure. */
VLNTOKEN_API int TokenLogin(TokenData* handle, const char* pin, int read_only);
/* Logs in with the old PIN and sets the new one, in a session of its own.
 * TOKEN_ERR_LOGIN when the old PIN is refused, TOKEN_ERR_SET_PIN when the new
 * one is. */
VLNTOKEN_API int TokenSetPIN(TokenData* handle, const char* old_pin, const char* new_pin);
/* 1 when the PIN opens the token and it holds a certificate and an RSA
 * private key to sign with, 0 when not; a TOKEN_ERR_* code when the module is
 * not loaded or no session opens. Compare with 1. Leaves no session open. */
VLNTOKEN_API int TokenSignSetup(TokenData* handle, const char* pin);
/* No error text is kept (the result codes carry it): always "". */
VLNTOKEN_API const char* TokenGetError(void);
/* Stops the monitor, ends the session, finalises the module when no other
 * handle uses it, and frees the handle. NULL is allowed. */
VLNTOKEN_API void TokenFree(TokenData* handle);

/* Stores a connection profile as a public data object, in a session of its
 * own (a login made before is ended). The text must be a profile document
 * whose login method, if named, is the token; the login method, module, PIN
 * and local settings are stripped before anything is written. `replace`
 * removes the stored profile first. TOKEN_ERR_DEVICE_MEMORY when the result
 * is too large or the token is full (nothing half-written stays behind); a
 * module failure without a code of its own is returned as its CKR_ value.
 * `unused` is ignored. */
VLNTOKEN_API int TokenWriteConfig(TokenData* handle, const char* text, const char* unused, int replace);
/* Removes the stored profile in a session of its own. Returns TOKEN_OK unless
 * the session cannot be opened, also when there was nothing to remove or the
 * module refused; profile_found then tells whether it is still there. */
VLNTOKEN_API int TokenDeleteConfig(TokenData* handle);
/* Writes the certificate, then its RSA key (at most 2,048 bits; it must match
 * the certificate), both with key_id as their ID, in the session TokenLogin
 * left open (TOKEN_ERR_OPEN_SESSION without one). Input is checked before the
 * token is touched. `replace` removes the first stored certificate before the
 * write and the first stored key before the key's write. A key that fails
 * after its certificate was written leaves the certificate there
 * (TOKEN_ERR_KEY_CREATE). On TOKEN_OK the handle takes a reference of its own
 * to the certificate; the caller keeps both of its objects. The session is
 * closed in every case. */
VLNTOKEN_API int TokenWriteCertificate(TokenData* handle, struct x509_st* certificate, struct evp_pkey_st* key,
                                       int replace);
/* Removes the first certificate, then the first RSA private key, in the
 * session TokenLogin left open; TOKEN_ERR_CERT_REMOVE also when there is no
 * certificate. The session is closed in every case. */
VLNTOKEN_API int TokenDeleteCertificate(TokenData* handle);

#ifdef __cplusplus
}
#endif

#endif /* VLNTOKEN_H */
