// Shared between the parts of the token library; not installed.
#pragma once

#include <p11-kit/pkcs11.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform/dynlib.h"
#include "vlntoken.h"

namespace vlntoken {

// Process-wide state of one loaded PKCS#11 module (keyed by its function
// list). Modules are initialised without locking arguments, so they may
// assume one caller at a time: the monitor thread and the caller's thread
// take this lock around every call. The count keeps C_Finalize for the last
// handle, so freeing one handle does not pull the module from under another.
struct SharedModule {
  std::mutex call;
  int handles = 0;
};

}  // namespace vlntoken

// One handle's view of its module. A handle has at most one session at a
// time; the flags below say what close_session still has to undo, in the
// order the module needs it (search, login, session).
struct TokenModule {
  velarn::DynLib library;
  CK_FUNCTION_LIST_PTR functions = nullptr;  // NULL until the module answered
  CK_INFO info{};
  CK_SLOT_INFO slot_info{};
  CK_TOKEN_INFO token_info{};
  std::atomic<CK_SLOT_ID> slot{0};  // the token's slot; the monitor moves it
  CK_SESSION_HANDLE session = 0;
  CK_OBJECT_HANDLE key = 0;       // what find_private_key found last
  bool progress_created = false;  // the sink is told when the handle goes

  // Monitor.
  std::thread monitor;
  std::mutex monitor_mx;
  std::condition_variable monitor_cv;
  bool monitor_done = true;  // the stop event
  std::atomic<bool> running{false};
  TokenStateFunc callback = nullptr;
  TokenNotifier window{};

  bool initialised = false;  // C_Initialize succeeded: the handle is usable
  bool session_open = false;
  bool logged_in = false;
  bool search_active = false;  // a session allows one search: it must be ended

  vlntoken::SharedModule* shared = nullptr;  // counted reference, see shared_release
};

namespace vlntoken {

// Runs one module call under the module's call lock.
#define P11(m, fn, ...)                                       \
  ([&]() -> CK_RV {                                           \
    std::lock_guard<std::mutex> p11_guard((m)->shared->call); \
    return (m)->functions->fn(__VA_ARGS__);                   \
  }())

// Module list (modules.cpp).
struct ListEntry {
  std::string path;
  int flag;
};
// Makes sure `path` is in the module list (reading the list file and probing
// as needed); fills title and flag. False when it is not and cannot be.
bool ensure_listed(const std::string& path, std::string* title, int* flag);
// The shared state of a module, made on first use; every call adds a handle.
SharedModule* shared_acquire(CK_FUNCTION_LIST_PTR functions);
// True when this was the last handle: the caller finalises the module.
bool shared_release(CK_FUNCTION_LIST_PTR functions);

// Progress sink (token.cpp). Safe without a sink installed.
void progress_show(TokenData* h);
void progress_text(TokenData* h, const char* text);
void progress_hide(TokenData* h);
void message_box(TokenData* h, const char* text);

// Sessions and reads (token.cpp). open_session finds the first slot with a
// token (waiting briefly for one just inserted), closes a session this handle
// still has and opens a new one; TOKEN_OK or TOKEN_ERR_*. close_session ends
// the search, login and session in that order and hides the progress window;
// it is safe to call with nothing open.
int open_session(TokenData* h, bool read_only);
void close_session(TokenData* h);
// The readers need an open session. Finding nothing is no failure: they
// return TOKEN_OK with the handle's flags cleared. With several objects the
// first is used and the user is told.
int read_certificate(TokenData* h);
int find_private_key(TokenData* h);
int read_profile(TokenData* h);
// Finds up to `max` objects; 0 or the failing call's value.
CK_RV find_objects(TokenData* h, CK_ATTRIBUTE* tmpl, CK_ULONG n, CK_OBJECT_HANDLE* found, CK_ULONG max,
                   CK_ULONG* count);
// The stored profile's data objects ("client.vln" of "Velarn"), up to `max`.
CK_RV find_profile_objects(TokenData* h, CK_OBJECT_HANDLE* found, CK_ULONG max, CK_ULONG* count);
// The text fields derived from h->certificate and h->profile; a profile
// value too long for its field leaves the field empty rather than cut.
void fill_certificate_fields(TokenData* h);
void fill_profile_fields(TokenData* h);
// token_present is written by the monitor thread while the caller reads it.
void set_present(TokenData* h, int present);
int get_present(const TokenData* h);

// Locates an element by plain text search: the first opening tag "<name"
// (then '>', a blank or '/') and the closing tag after it. Offsets of the
// whole element and of its text; false when absent. No parser on purpose: it
// also sees a tag a parser would take for text (inside CDATA, say), which is
// what the check for secrets after stripping needs.
struct ElementSpan {
  size_t begin, end;            // the whole element, closing tag included
  size_t text_begin, text_end;  // its content
};
bool find_element(const std::string& text, const char* name, ElementSpan* span);

constexpr const char* kProfileLabel = "client.vln";
constexpr const char* kProfileApplication = "Velarn";

}  // namespace vlntoken
