/* Test-only PKCS#11 module: passes every call through to a real module
 * (SoftHSM2 by default, P11SHIM_TARGET) and adds what a software token cannot
 * do: the token can be pulled out and put back (it is hidden while the file
 * named by P11SHIM_HIDE exists) and slot events report those changes. It also
 * counts login attempts, so a test can see what a wrong PIN cost the token,
 * and can play a full token. With P11SHIM_NO_EVENTS set it has no slot
 * events, as SoftHSM2 itself, and counts the polls a monitor makes. */
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static CK_FUNCTION_LIST shim;
static CK_FUNCTION_LIST_PTR real;
static void* real_lib;
static int last_hidden;
static CK_SLOT_ID token_slot;
static volatile int login_calls;
static volatile int event_polls;

__attribute__((visibility("default"))) int p11shim_login_calls(void) { return login_calls; }
__attribute__((visibility("default"))) int p11shim_event_polls(void) { return event_polls; }

static int hidden(void) {
  const char* f = getenv("P11SHIM_HIDE");
  return f && *f && access(f, F_OK) == 0;
}

static void remember_slot(void) {
  CK_SLOT_ID slots[8];
  CK_ULONG n = 8;
  if (real->C_GetSlotList(CK_TRUE, slots, &n) == CKR_OK && n > 0) token_slot = slots[0];
}

static CK_RV shim_Initialize(CK_VOID_PTR args) {
  CK_RV rv = real->C_Initialize(args);
  if (rv == CKR_OK) {
    remember_slot();
    last_hidden = hidden();
  }
  return rv;
}

static CK_RV shim_GetSlotList(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  if (present && hidden()) {
    if (!count) return CKR_ARGUMENTS_BAD;
    *count = 0;
    return CKR_OK;
  }
  return real->C_GetSlotList(present, list, count);
}

static CK_RV shim_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
  CK_RV rv = real->C_GetSlotInfo(slot, info);
  if (rv == CKR_OK && hidden()) info->flags &= ~(CK_FLAGS)CKF_TOKEN_PRESENT;
  return rv;
}

static CK_RV shim_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  if (hidden()) return CKR_TOKEN_NOT_PRESENT;
  return real->C_GetTokenInfo(slot, info);
}

static CK_RV shim_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR app, CK_NOTIFY notify,
                              CK_SESSION_HANDLE_PTR session) {
  if (hidden()) return CKR_TOKEN_NOT_PRESENT;
  return real->C_OpenSession(slot, flags, app, notify, session);
}

static CK_RV shim_Login(CK_SESSION_HANDLE s, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG len) {
  __sync_fetch_and_add(&login_calls, 1);
  if (hidden()) return CKR_DEVICE_REMOVED;
  return real->C_Login(s, user, pin, len);
}

/* A full token: P11SHIM_FULL=1 refuses every new object, =half leaves the
 * object behind as a careless module might, and still reports no room. */
static CK_RV shim_CreateObject(CK_SESSION_HANDLE s, CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_OBJECT_HANDLE_PTR obj) {
  const char* full = getenv("P11SHIM_FULL");
  if (!full || !*full) return real->C_CreateObject(s, t, n, obj);
  if (strcmp(full, "half") == 0) real->C_CreateObject(s, t, n, obj);
  return CKR_DEVICE_MEMORY;
}

static CK_RV shim_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR slot, CK_VOID_PTR reserved) {
  (void)reserved;
  __sync_fetch_and_add(&event_polls, 1);
  const char* none = getenv("P11SHIM_NO_EVENTS");
  if (none && *none) return CKR_FUNCTION_NOT_SUPPORTED;
  if (!(flags & CKF_DONT_BLOCK)) return CKR_FUNCTION_NOT_SUPPORTED;
  int now = hidden();
  if (now == last_hidden) return CKR_NO_EVENT;
  last_hidden = now;
  if (!now) remember_slot();
  *slot = token_slot;
  return CKR_OK;
}

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR out) {
  if (!out) return CKR_ARGUMENTS_BAD;
  if (!real) {
    const char* target = getenv("P11SHIM_TARGET");
    if (!target || !*target) target = "/usr/lib/softhsm/libsofthsm2.so";
    real_lib = dlopen(target, RTLD_NOW | RTLD_LOCAL);
    if (!real_lib) return CKR_GENERAL_ERROR;
    CK_C_GetFunctionList get = (CK_C_GetFunctionList)dlsym(real_lib, "C_GetFunctionList");
    if (!get || get(&real) != CKR_OK || !real) return CKR_GENERAL_ERROR;
    shim = *real;
    shim.C_Initialize = shim_Initialize;
    shim.C_GetSlotList = shim_GetSlotList;
    shim.C_GetSlotInfo = shim_GetSlotInfo;
    shim.C_GetTokenInfo = shim_GetTokenInfo;
    shim.C_OpenSession = shim_OpenSession;
    shim.C_Login = shim_Login;
    shim.C_WaitForSlotEvent = shim_WaitForSlotEvent;
    shim.C_CreateObject = shim_CreateObject;
  }
  *out = &shim;
  return CKR_OK;
}
