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
  char title[52];
  int32_t flag;
} TokenDriver;

struct TokenModule;
struct x509_st;
struct evp_pkey_st;

#if UINTPTR_MAX > 0xffffffffu
#define TOKEN_KEYID_SIZE 323
#else
#define TOKEN_KEYID_SIZE 335
#endif

/* The handle (5,880 bytes). The GUI reads the text fields directly. */
typedef struct TokenData {
  struct TokenModule* module;
  int32_t token_present;
  int32_t cert_loaded;
  int32_t key_found;
  int32_t profile_found;
  int32_t driver_flag;
  struct x509_st* certificate;
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
  char profile[4097];
  char host[80];
  char port[20];
  char switch_name[40];
  char key_id[TOKEN_KEYID_SIZE];
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

typedef void (*TokenLookupFunc)(const TokenDriver* entry, void* user);
typedef void (*TokenStateFunc)(int message);

VLNTOKEN_API void TokenDataInit(void);
VLNTOKEN_API void TokenDataFree(void);
VLNTOKEN_API int TokenLookup(TokenLookupFunc callback, void* user);
VLNTOKEN_API int TokenLoad(const char* path, TokenData** handle);
VLNTOKEN_API int TokenGetTitle(const char* path, char* title /* 260 bytes */);
VLNTOKEN_API int IsTokenInfo(const char* path, const TokenData* handle);
VLNTOKEN_API int TokenNow(TokenData* handle);
VLNTOKEN_API int TokenStartMonitor(TokenData* handle, TokenStateFunc callback, const TokenNotifier* window);
VLNTOKEN_API int TokenStopMonitor(TokenData* handle);
VLNTOKEN_API int TokenGetInfo(TokenData* handle);
VLNTOKEN_API int TokenLogin(TokenData* handle, const char* pin, int read_only);
VLNTOKEN_API int TokenSetPIN(TokenData* handle, const char* old_pin, const char* new_pin);
VLNTOKEN_API int TokenSignSetup(TokenData* handle, const char* pin);
VLNTOKEN_API const char* TokenGetError(void);
VLNTOKEN_API void TokenFree(TokenData* handle);

VLNTOKEN_API int TokenWriteConfig(TokenData* handle, const char* text, const char* unused, int replace);
VLNTOKEN_API int TokenDeleteConfig(TokenData* handle);
VLNTOKEN_API int TokenWriteCertificate(TokenData* handle, struct x509_st* certificate, struct evp_pkey_st* key,
                                       int replace);
VLNTOKEN_API int TokenDeleteCertificate(TokenData* handle);

#ifdef __cplusplus
}
#endif

#endif /* VLNTOKEN_H */
