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

struct TokenModule {
  velarn::DynLib library;
  CK_FUNCTION_LIST_PTR functions = nullptr;
  CK_INFO info{};
  CK_SLOT_INFO slot_info{};
  CK_TOKEN_INFO token_info{};
  std::atomic<CK_SLOT_ID> slot{0};
  CK_SESSION_HANDLE session = 0;
  CK_OBJECT_HANDLE key = 0;
  bool progress_created = false;

  // Monitor.
  std::thread monitor;
  std::mutex monitor_mx;
  std::condition_variable monitor_cv;
  bool monitor_done = true;  // the stop event
  std::atomic<bool> running{false};
  TokenStateFunc callback = nullptr;
  TokenNotifier window{};

  bool initialised = false;
  bool session_open = false;
  bool logged_in = false;
  bool search_active = false;

  vlntoken::SharedModule* shared = nullptr;
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
SharedModule* shared_acquire(CK_FUNCTION_LIST_PTR functions);
// True when this was the last handle: the caller finalises the module.
bool shared_release(CK_FUNCTION_LIST_PTR functions);

// Progress sink (token.cpp).
void progress_show(TokenData* h);
void progress_text(TokenData* h, const char* text);
void progress_hide(TokenData* h);
void message_box(TokenData* h, const char* text);

// Sessions and reads (token.cpp).
int open_session(TokenData* h, bool read_only);
void close_session(TokenData* h);
int read_certificate(TokenData* h);
int find_private_key(TokenData* h);
int read_profile(TokenData* h);
// Finds up to `max` objects; 0 or the failing call's value.
CK_RV find_objects(TokenData* h, CK_ATTRIBUTE* tmpl, CK_ULONG n, CK_OBJECT_HANDLE* found, CK_ULONG max,
                   CK_ULONG* count);
// The stored profile's data objects ("client.vln" of "Velarn"), up to `max`.
CK_RV find_profile_objects(TokenData* h, CK_OBJECT_HANDLE* found, CK_ULONG max, CK_ULONG* count);
void fill_certificate_fields(TokenData* h);
void fill_profile_fields(TokenData* h);
void set_present(TokenData* h, int present);
int get_present(const TokenData* h);

// Locates an element by plain text search: the first opening tag "<name" (then
// '>', a blank or '/') and the closing tag after it. Offsets of the whole
// element and of its text; false when absent.
struct ElementSpan {
  size_t begin, end;            // the whole element, closing tag included
  size_t text_begin, text_end;  // its content
};
bool find_element(const std::string& text, const char* name, ElementSpan* span);

constexpr const char* kProfileLabel = "client.vln";
constexpr const char* kProfileApplication = "Velarn";

}  // namespace vlntoken
