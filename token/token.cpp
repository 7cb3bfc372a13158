// Loading a module, sessions, login, reading a token and watching its slot.
// Module calls go through P11 (internal.h), so that each holds the module's
// call lock.
#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "internal.h"
#include "platform/text.h"

static_assert(sizeof(TokenDriver) == 316, "TokenDriver is read by the GUI as 316 bytes");
static_assert(sizeof(TokenData) == 5880, "TokenData is read by the GUI as 5,880 bytes");

namespace vlntoken {
namespace {

// One sink for the process; the lock also keeps a sink from being replaced
// while it runs.
std::mutex sink_mx;
TokenProgressFunc sink_func = nullptr;
void* sink_context = nullptr;

void sink(const TokenData* h, int event, const char* text) {
  std::lock_guard<std::mutex> g(sink_mx);
  if (sink_func) sink_func(sink_context, h, event, text);
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void copy_fixed(char* out, size_t out_size, const unsigned char* in, size_t in_len) {
  while (in_len > 0 && (in[in_len - 1] == ' ' || in[in_len - 1] == 0)) --in_len;
  if (in_len >= out_size) in_len = out_size - 1;
  std::memcpy(out, in, in_len);
  out[in_len] = 0;
}

// Every export checks this first: a handle whose module never initialised
// has no function list to call.
bool loaded(const TokenData* h) { return h && h->module && h->module->initialised; }

// Slot list of present tokens, first slot in *slot. 0, or the call's failure.
// Only the first token is ever used.
CK_RV present_slots(TokenModule* m, CK_ULONG* count, CK_SLOT_ID* slot) {
  CK_SLOT_ID slots[8];
  CK_ULONG n = 8;
  CK_RV rv = P11(m, C_GetSlotList, CK_TRUE, slots, &n);
  if (rv == CKR_BUFFER_TOO_SMALL) {
    // More readers than the usual room: only the first slot matters. n now
    // holds the count the module needs; the margin covers a reader plugged
    // in between the two calls.
    std::vector<CK_SLOT_ID> more(n + 8);
    n = more.size();
    rv = P11(m, C_GetSlotList, CK_TRUE, more.data(), &n);
    if (rv == CKR_OK && n > 0) slots[0] = more[0];
  }
  if (rv != CKR_OK) return rv;
  *count = n;
  if (n > 0) *slot = slots[0];
  return CKR_OK;
}

// A state callback, when given, takes the place of the notifier's
// WM_TOKEN_STATE; the pending message has no callback form.
void notify_state(TokenModule* m) {
  if (m->callback)
    m->callback(WM_TOKEN_STATE);
  else if (m->window.func)
    m->window.func(m->window.context, WM_TOKEN_STATE);
}

void notify_pending(TokenModule* m) {
  if (m->window.func) m->window.func(m->window.context, WM_TOKEN_PENDING);
}

// Waits up to `ms` while the monitor runs; false once it was told to stop.
bool monitor_wait(TokenModule* m, int ms) {
  std::unique_lock<std::mutex> lk(m->monitor_mx);
  m->monitor_cv.wait_for(lk, std::chrono::milliseconds(ms), [m] { return !m->running.load(); });
  return m->running.load();
}

// The monitor polls rather than blocks: a blocking C_WaitForSlotEvent would
// hold the module's call lock and could only be broken by C_Finalize, which
// would pull the module from under every other handle. Presence is only ever
// set here, by TokenNow and by open_session.
void monitor_main(TokenData* h) {
  TokenModule* m = h->module;
  while (m->running.load()) {
    CK_SLOT_ID slot = 0;
    CK_RV rv = P11(m, C_WaitForSlotEvent, CKF_DONT_BLOCK, &slot, nullptr);
    if (rv == CKR_FUNCTION_NOT_SUPPORTED) {
      // A module without slot events (a software token, for one) would
      // otherwise read as removed; watch its slot list instead.
      CK_ULONG n = 0;
      CK_SLOT_ID first = 0;
      int now = present_slots(m, &n, &first) == CKR_OK && n > 0 ? 1 : 0;
      if (now) m->slot = first;
      if (now != get_present(h)) {
        set_present(h, now);
        notify_state(m);
      }
      monitor_wait(m, 500);
      continue;
    }
    if (rv != CKR_OK) {
      // CKR_NO_EVENT: nothing changed. Any other failure means the module
      // cannot reach its slots, which to the user is a token gone.
      if (rv != CKR_NO_EVENT && get_present(h)) {
        set_present(h, 0);
        notify_state(m);
      }
      monitor_wait(m, 500);
      continue;
    }
    // Examining the slot can take seconds; the host shows it is busy.
    notify_pending(m);
    CK_SLOT_INFO info{};
    rv = P11(m, C_GetSlotInfo, slot, &info);
    // A reader just plugged in may not answer yet; a stop request cuts the
    // waits short.
    for (int attempt = 0; rv != CKR_OK && attempt < 3 && m->running.load(); ++attempt) {
      if (!monitor_wait(m, 3000)) break;
      rv = P11(m, C_GetSlotInfo, slot, &info);
    }
    if (rv != CKR_OK) {
      set_present(h, 0);
    } else if (info.flags & CKF_TOKEN_PRESENT) {
      m->slot = slot;
      set_present(h, 1);
    } else {
      set_present(h, 0);
    }
    notify_state(m);
  }
  // Under the lock, so that stop_monitor cannot miss the notification.
  std::lock_guard<std::mutex> g(m->monitor_mx);
  m->monitor_done = true;
  m->monitor_cv.notify_all();
}

void clear_certificate(TokenData* h) {
  if (h->certificate) X509_free(h->certificate);
  h->certificate = nullptr;
  h->cert_loaded = 0;
  h->cert_subject[0] = h->cert_issuer[0] = h->cert_expiry[0] = 0;
}

void clear_profile(TokenData* h) {
  h->profile_found = 0;
  std::memset(h->profile, 0, sizeof h->profile);
  h->host[0] = h->port[0] = h->switch_name[0] = 0;
}

// "YYYY/MM/DD" straight from the time's digits (no time zone conversion; the
// date is only shown). Empty for anything malformed.
std::string expiry_text(const ASN1_TIME* t) {
  if (!t) return {};
  const unsigned char* d = ASN1_STRING_get0_data(t);
  int len = ASN1_STRING_length(t);
  auto digits = [&](int n) {
    if (len < n) return false;
    for (int i = 0; i < n; ++i)
      if (d[i] < '0' || d[i] > '9') return false;
    return true;
  };
  char buf[20];
  if (ASN1_STRING_type(t) == V_ASN1_UTCTIME && digits(6)) {
    // Two-digit years pivot at 50, as certificates define them.
    int yy = (d[0] - '0') * 10 + (d[1] - '0');
    snprintf(buf, sizeof buf, "%d/%c%c/%c%c", yy >= 50 ? 1900 + yy : 2000 + yy, d[2], d[3], d[4], d[5]);
    return buf;
  }
  if (ASN1_STRING_type(t) == V_ASN1_GENERALIZEDTIME && digits(8)) {
    snprintf(buf, sizeof buf, "%c%c%c%c/%c%c/%c%c", d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
    return buf;
  }
  return {};
}

// Cuts to fit and always terminates.
void copy_text(char* out, size_t out_size, const std::string& s) {
  size_t n = s.size() < out_size - 1 ? s.size() : out_size - 1;
  std::memcpy(out, s.data(), n);
  out[n] = 0;
}

}  // namespace

void set_present(TokenData* h, int present) { __atomic_store_n(&h->token_present, present, __ATOMIC_SEQ_CST); }
int get_present(const TokenData* h) { return __atomic_load_n(&h->token_present, __ATOMIC_SEQ_CST); }

void progress_show(TokenData* h) {
  if (h->module) h->module->progress_created = true;
  sink(h, TOKEN_PROGRESS_SHOW, nullptr);
}
void progress_text(TokenData* h, const char* text) { sink(h, TOKEN_PROGRESS_TEXT, text); }
void progress_hide(TokenData* h) { sink(h, TOKEN_PROGRESS_HIDE, nullptr); }
void message_box(TokenData* h, const char* text) { sink(h, TOKEN_MESSAGE_BOX, text); }

bool find_element(const std::string& text, const char* name, ElementSpan* span) {
  const std::string open = std::string("<") + name;
  const std::string close = std::string("</") + name;
  size_t pos = 0;
  // "<host" must not match "<hostname>": the name has to end there.
  while ((pos = text.find(open, pos)) != std::string::npos) {
    size_t after = pos + open.size();
    char c = after < text.size() ? text[after] : 0;
    if (c == '>' || c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '/') break;
    pos = after;
  }
  if (pos == std::string::npos) return false;
  size_t tag_end = text.find('>', pos);
  if (tag_end == std::string::npos) return false;
  if (text[tag_end - 1] == '/') {  // <name/>: an element without text
    *span = {pos, tag_end + 1, tag_end + 1, tag_end + 1};
    return true;
  }
  size_t c = tag_end + 1;
  while ((c = text.find(close, c)) != std::string::npos) {
    size_t after = c + close.size();
    while (after < text.size() &&
           (text[after] == ' ' || text[after] == '\t' || text[after] == '\r' || text[after] == '\n'))
      ++after;
    if (after < text.size() && text[after] == '>') {
      *span = {pos, after + 1, tag_end + 1, c};
      return true;
    }
    c += close.size();
  }
  return false;
}

void fill_profile_fields(TokenData* h) {
  h->host[0] = h->port[0] = h->switch_name[0] = 0;
  std::string text(h->profile);
  ElementSpan s;
  if (find_element(text, "host", &s)) {
    std::string v = velarn::trim(std::string_view(text).substr(s.text_begin, s.text_end - s.text_begin));
    if (v.size() < sizeof h->host) copy_text(h->host, sizeof h->host, v);
  }
  if (find_element(text, "port", &s) && s.text_end - s.text_begin < sizeof h->port)
    copy_text(h->port, sizeof h->port, text.substr(s.text_begin, s.text_end - s.text_begin));
  if (find_element(text, "switch", &s) && s.text_end - s.text_begin < sizeof h->switch_name)
    copy_text(h->switch_name, sizeof h->switch_name, text.substr(s.text_begin, s.text_end - s.text_begin));
}

void fill_certificate_fields(TokenData* h) {
  h->cert_subject[0] = h->cert_issuer[0] = h->cert_expiry[0] = 0;
  if (!h->certificate) return;
  if (X509_NAME_get_text_by_NID(X509_get_subject_name(h->certificate), NID_commonName, h->cert_subject,
                                sizeof h->cert_subject) < 0)
    h->cert_subject[0] = 0;
  if (X509_NAME_get_text_by_NID(X509_get_issuer_name(h->certificate), NID_commonName, h->cert_issuer,
                                sizeof h->cert_issuer) < 0)
    h->cert_issuer[0] = 0;
  copy_text(h->cert_expiry, sizeof h->cert_expiry, expiry_text(X509_get0_notAfter(h->certificate)));
}

// Logout needs a live session handle, so it comes before the close. It is
// done only after this handle's own login: the login belongs to the token and
// ends for every session of the process.
void close_session(TokenData* h) {
  TokenModule* m = h->module;
  if (m && m->functions) {
    if (m->search_active) P11(m, C_FindObjectsFinal, m->session);
    if (m->logged_in) P11(m, C_Logout, m->session);
    if (m->session_open) P11(m, C_CloseSession, m->session);
    m->search_active = m->logged_in = m->session_open = false;
    m->session = 0;
  }
  progress_hide(h);
}

int open_session(TokenData* h, bool read_only) {
  TokenModule* m = h->module;
  // A session left open by a login nobody followed up is closed, not leaked.
  if (m->session_open) close_session(h);
  progress_show(h);
  progress_text(h, "認証デバイスを探しています");
  set_present(h, 0);
  CK_ULONG n = 0;
  CK_SLOT_ID slot = 0;
  // A token just inserted may take a moment to show in the slot list.
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt) sleep_ms(500);
    if (present_slots(m, &n, &slot) != CKR_OK) {
      progress_hide(h);
      return TOKEN_ERR_SLOT_LIST;
    }
    if (n > 0) break;
  }
  if (n == 0) {
    progress_hide(h);
    return TOKEN_ERR_NO_TOKEN;
  }
  m->slot = slot;
  progress_text(h, "セッションを開いています");
  // CKF_SERIAL_SESSION is required of every caller; writing needs a R/W one.
  CK_FLAGS flags = CKF_SERIAL_SESSION | (read_only ? 0 : CKF_RW_SESSION);
  CK_SESSION_HANDLE s = 0;
  if (P11(m, C_OpenSession, slot, flags, nullptr, nullptr, &s) != CKR_OK) {
    progress_hide(h);
    return TOKEN_ERR_OPEN_SESSION;
  }
  m->session = s;
  m->session_open = true;
  set_present(h, 1);
  return TOKEN_OK;
}

CK_RV find_profile_objects(TokenData* h, CK_OBJECT_HANDLE* found, CK_ULONG max, CK_ULONG* count) {
  CK_OBJECT_CLASS cls = CKO_DATA;
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls},
                         {CKA_TOKEN, &yes, sizeof yes},
                         {CKA_LABEL, const_cast<char*>(kProfileLabel), std::strlen(kProfileLabel)},
                         {CKA_APPLICATION, const_cast<char*>(kProfileApplication), std::strlen(kProfileApplication)}};
  return find_objects(h, tmpl, 4, found, max, count);
}

CK_RV find_objects(TokenData* h, CK_ATTRIBUTE* tmpl, CK_ULONG n, CK_OBJECT_HANDLE* found, CK_ULONG max,
                   CK_ULONG* count) {
  TokenModule* m = h->module;
  *count = 0;
  CK_RV rv = P11(m, C_FindObjectsInit, m->session, tmpl, n);
  if (rv != CKR_OK) return rv;
  m->search_active = true;
  rv = P11(m, C_FindObjects, m->session, found, max, count);
  // Ended even after a failure: the session allows one search at a time,
  // and a search left open would refuse the next. A failed end fails the
  // whole search for the same reason.
  CK_RV fin = P11(m, C_FindObjectsFinal, m->session);
  m->search_active = false;
  if (rv != CKR_OK) *count = 0;
  return rv != CKR_OK ? rv : fin;
}

int read_certificate(TokenData* h) {
  TokenModule* m = h->module;
  progress_text(h, "証明書を読み込んでいます");
  clear_certificate(h);
  CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_TOKEN, &yes, sizeof yes}};
  CK_OBJECT_HANDLE obj[2];
  CK_ULONG n = 0;
  if (find_objects(h, tmpl, 2, obj, 2, &n) != CKR_OK) return TOKEN_ERR_CERT_SEARCH;
  if (n == 0) return TOKEN_OK;
  if (n > 1) progress_text(h, "複数の証明書が登録されています。最初のものを利用します。");
  // One read into a buffer as large as any certificate written here, rather
  // than asking for the length first; a module claiming more than fits is
  // not believed.
  unsigned char buf[4096];
  CK_ATTRIBUTE value = {CKA_VALUE, buf, sizeof buf};
  if (P11(m, C_GetAttributeValue, m->session, obj[0], &value, 1) != CKR_OK || value.ulValueLen > sizeof buf)
    return TOKEN_ERR_CERT_READ;
  const unsigned char* p = buf;
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(value.ulValueLen));
  if (!cert) return TOKEN_ERR_CERT_DECODE;
  h->certificate = cert;
  h->cert_loaded = 1;
  fill_certificate_fields(h);
  return TOKEN_OK;
}

int find_private_key(TokenData* h) {
  TokenModule* m = h->module;
  progress_text(h, "秘密鍵を読み込んでいます");
  h->key_found = 0;
  CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
  CK_KEY_TYPE type = CKK_RSA;
  CK_BBOOL yes = CK_TRUE;
  CK_ATTRIBUTE tmpl[] = {
      {CKA_CLASS, &cls, sizeof cls}, {CKA_TOKEN, &yes, sizeof yes}, {CKA_KEY_TYPE, &type, sizeof type}};
  CK_OBJECT_HANDLE obj[2];
  CK_ULONG n = 0;
  if (find_objects(h, tmpl, 3, obj, 2, &n) != CKR_OK) return TOKEN_ERR_KEY_SEARCH;
  if (n == 0) return TOKEN_OK;
  if (n > 1) progress_text(h, "複数の秘密鍵が登録されています。最初のものを利用します。");
  m->key = obj[0];
  h->key_found = 1;
  return TOKEN_OK;
}

int read_profile(TokenData* h) {
  TokenModule* m = h->module;
  progress_text(h, "接続プロファイルを読み込んでいます");
  clear_profile(h);
  CK_OBJECT_HANDLE obj[2];
  CK_ULONG n = 0;
  if (find_profile_objects(h, obj, 2, &n) != CKR_OK) return TOKEN_ERR_PROFILE_SEARCH;
  if (n == 0) return TOKEN_OK;
  if (n > 1) progress_text(h, "複数の接続プロファイルが登録されています。最初のものを利用します。");
  // One byte short of the field, so that the terminator always fits.
  CK_ATTRIBUTE value = {CKA_VALUE, h->profile, sizeof h->profile - 1};
  if (P11(m, C_GetAttributeValue, m->session, obj[0], &value, 1) != CKR_OK ||
      value.ulValueLen > sizeof h->profile - 1) {
    clear_profile(h);
    return TOKEN_ERR_PROFILE_READ;
  }
  h->profile[value.ulValueLen] = 0;
  h->profile_found = 1;
  fill_profile_fields(h);
  return TOKEN_OK;
}

}  // namespace vlntoken

using namespace vlntoken;

namespace {

// Stops the monitor thread; with wait_for_thread the caller is about to free
// the module, so a thread still inside a module call is waited for however
// long it takes.
void stop_monitor(TokenData* h, bool wait_for_thread) {
  TokenModule* m = h->module;
  if (m->running.exchange(false)) {
    std::unique_lock<std::mutex> lk(m->monitor_mx);
    m->monitor_cv.notify_all();
    bool done = m->monitor_cv.wait_for(lk, std::chrono::seconds(3), [m] { return m->monitor_done; });
    lk.unlock();
    if (!done) message_box(h, "デバイス監視スレッドの停止に失敗しました。");
    // A thread still inside the module is joined later (at the latest when
    // the handle is freed), never left to run on a freed module.
    if (done && m->monitor.joinable()) m->monitor.join();
  }
  if (wait_for_thread && m->monitor.joinable()) m->monitor.join();
}

}  // namespace

extern "C" {

VLNTOKEN_API void TokenSetProgressSink(TokenProgressFunc func, void* context) {
  std::lock_guard<std::mutex> g(sink_mx);
  sink_func = func;
  sink_context = context;
}

VLNTOKEN_API const char* TokenGetError(void) {
  static const char text[1] = "";
  return text;
}

VLNTOKEN_API void TokenFree(TokenData* h) {
  if (!h) return;
  TokenModule* m = h->module;
  if (m) {
    stop_monitor(h, true);
    if (m->functions && m->initialised) {
      close_session(h);
      // No call lock needed: as the last handle nobody else calls it.
      if (shared_release(m->functions)) m->functions->C_Finalize(nullptr);
    }
    if (m->progress_created) {
      std::lock_guard<std::mutex> g(sink_mx);
      if (sink_func) sink_func(sink_context, h, TOKEN_PROGRESS_DESTROY, nullptr);
    }
    m->library.close();
    delete m;
  }
  if (h->certificate) X509_free(h->certificate);
  // Wiped: the profile text is not left in freed memory.
  std::memset(h, 0, sizeof *h);
  std::free(h);
}

VLNTOKEN_API int TokenLoad(const char* path, TokenData** out) {
  if (!out) return TOKEN_ERR_MODULE;
  if (*out) {
    TokenFree(*out);
    *out = nullptr;
  }
  if (!path || !*path || std::strlen(path) >= TOKEN_PATH_SIZE) return TOKEN_ERR_MODULE;
  std::string title;
  int flag = 1;
  if (!ensure_listed(path, &title, &flag)) return TOKEN_ERR_MODULE;

  auto* h = static_cast<TokenData*>(std::calloc(1, sizeof(TokenData)));
  if (!h) return TOKEN_ERR_MODULE;
  auto* m = new TokenModule;
  h->module = m;
  auto get_list = m->library.open(path) ? m->library.function<CK_C_GetFunctionList>("C_GetFunctionList") : nullptr;
  CK_FUNCTION_LIST_PTR fl = nullptr;
  if (!get_list || get_list(&fl) != CKR_OK || !fl) {
    TokenFree(h);
    return TOKEN_ERR_MODULE;
  }
  m->functions = fl;
  // Counted before C_Initialize so that a handle freeing meanwhile does not
  // finalise the module under this one.
  m->shared = shared_acquire(fl);
  CK_RV rv;
  {
    std::lock_guard<std::mutex> g(m->shared->call);
    rv = fl->C_Initialize(nullptr);
  }
  // Already initialised: another handle (or another part of the process)
  // did it; the module is as usable as after a first initialisation.
  if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    shared_release(fl);
    m->functions = nullptr;
    TokenFree(h);
    return TOKEN_ERR_MODULE;
  }
  copy_text(h->driver_path, sizeof h->driver_path, path);
  copy_text(h->driver_title, sizeof h->driver_title, title);
  h->driver_flag = flag;
  m->initialised = true;
  *out = h;
  return TOKEN_OK;
}

VLNTOKEN_API int IsTokenInfo(const char* path, const TokenData* h) {
  if (!path || !loaded(h)) return 0;
  return std::strcmp(path, h->driver_path) == 0 ? 1 : 0;
}

VLNTOKEN_API int TokenNow(TokenData* h) {
  if (!loaded(h)) return TOKEN_ERR_MODULE;
  TokenModule* m = h->module;
  CK_ULONG n = 0;
  CK_SLOT_ID slot = 0;
  if (present_slots(m, &n, &slot) == CKR_OK && n > 0) {
    m->slot = slot;
    set_present(h, 1);
  } else {
    set_present(h, 0);
  }
  notify_state(m);
  return TOKEN_OK;
}

VLNTOKEN_API int TokenStartMonitor(TokenData* h, TokenStateFunc callback, const TokenNotifier* window) {
  if (!loaded(h)) return 0;
  TokenModule* m = h->module;
  if (m->running.load()) return 0;
  if (m->monitor.joinable()) m->monitor.join();  // one that missed its stop deadline
  m->callback = callback;
  m->window = window ? *window : TokenNotifier{};
  m->monitor_done = false;
  m->running = true;
  try {
    m->monitor = std::thread(monitor_main, h);
  } catch (...) {
    m->running = false;
    m->monitor_done = true;
    return 0;
  }
  return 1;
}

VLNTOKEN_API int TokenStopMonitor(TokenData* h) {
  if (loaded(h)) stop_monitor(h, false);
  return 1;
}

VLNTOKEN_API int TokenGetInfo(TokenData* h) {
  if (!loaded(h)) return TOKEN_ERR_MODULE;
  TokenModule* m = h->module;
  int rc = open_session(h, false);
  if (rc) return rc;
  if (P11(m, C_GetInfo, &m->info) != CKR_OK) {
    close_session(h);
    return TOKEN_ERR_MODULE_INFO;
  }
  char desc[40];
  copy_fixed(desc, sizeof desc, m->info.libraryDescription, sizeof m->info.libraryDescription);
  snprintf(h->library_title, sizeof h->library_title, "%s (ver %d.%d)", desc, m->info.libraryVersion.major,
           m->info.libraryVersion.minor);
  copy_fixed(h->manufacturer, sizeof h->manufacturer, m->info.manufacturerID, sizeof m->info.manufacturerID);
  snprintf(h->interface_version, sizeof h->interface_version, "%d.%d", m->info.cryptokiVersion.major,
           m->info.cryptokiVersion.minor);
  if (get_present(h)) {
    progress_text(h, "認証デバイス情報を読み込んでいます");
    CK_SLOT_ID slot = m->slot;
    if (P11(m, C_GetSlotInfo, slot, &m->slot_info) != CKR_OK) {
      close_session(h);
      return TOKEN_ERR_SLOT_INFO;
    }
    copy_fixed(h->slot_description, sizeof h->slot_description, m->slot_info.slotDescription,
               sizeof m->slot_info.slotDescription);
    if (P11(m, C_GetTokenInfo, slot, &m->token_info) != CKR_OK) {
      close_session(h);
      return TOKEN_ERR_TOKEN_INFO;
    }
    copy_fixed(h->token_label, sizeof h->token_label, m->token_info.label, sizeof m->token_info.label);
    copy_fixed(h->token_model, sizeof h->token_model, m->token_info.model, sizeof m->token_info.model);
    copy_fixed(h->token_manufacturer, sizeof h->token_manufacturer, m->token_info.manufacturerID,
               sizeof m->token_info.manufacturerID);
    copy_fixed(h->serial_number, sizeof h->serial_number, m->token_info.serialNumber,
               sizeof m->token_info.serialNumber);
    rc = read_certificate(h);
    if (!rc) rc = read_profile(h);
  }
  close_session(h);
  return rc;
}

VLNTOKEN_API int TokenLogin(TokenData* h, const char* pin, int read_only) {
  if (!loaded(h)) return TOKEN_ERR_MODULE;
  if (!get_present(h)) return TOKEN_ERR_NO_TOKEN;
  TokenModule* m = h->module;
  int rc = open_session(h, read_only != 0);
  if (rc) return rc;
  const char* p = pin ? pin : "";
  CK_RV rv = CKR_GENERAL_ERROR;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt) sleep_ms(500);
    rv = P11(m, C_Login, m->session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(p)), std::strlen(p));
    // Every refused PIN costs the token one of its few tries: only a
    // failure that says nothing about the PIN is worth another attempt.
    if (rv == CKR_OK || !*p || (rv >= CKR_PIN_INCORRECT && rv <= CKR_PIN_LOCKED)) break;
  }
  if (rv == CKR_OK) {
    m->logged_in = true;
    progress_hide(h);
    return TOKEN_OK;
  }
  close_session(h);
  // To the user a PIN of the wrong form is simply a wrong PIN.
  if (rv >= CKR_PIN_INCORRECT && rv <= CKR_PIN_LEN_RANGE) return TOKEN_ERR_PIN_INCORRECT;
  if (rv == CKR_PIN_EXPIRED) return TOKEN_ERR_PIN_EXPIRED;
  if (rv == CKR_PIN_LOCKED) return TOKEN_ERR_PIN_LOCKED;
  return TOKEN_ERR_LOGIN;
}

VLNTOKEN_API int TokenSetPIN(TokenData* h, const char* old_pin, const char* new_pin) {
  if (!loaded(h)) return TOKEN_ERR_MODULE;
  TokenModule* m = h->module;
  int rc = open_session(h, false);
  if (rc) return rc;
  const char* o = old_pin ? old_pin : "";
  const char* n = new_pin ? new_pin : "";
  if (P11(m, C_Login, m->session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(o)), std::strlen(o)) !=
      CKR_OK) {
    close_session(h);
    return TOKEN_ERR_LOGIN;
  }
  m->logged_in = true;
  // C_SetPIN changes the PIN of the user logged in, so the login comes first.
  progress_text(h, "PIN を変更しています");
  CK_RV rv = P11(m, C_SetPIN, m->session, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(o)), std::strlen(o),
                 reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(n)), std::strlen(n));
  close_session(h);
  return rv == CKR_OK ? TOKEN_OK : TOKEN_ERR_SET_PIN;
}

VLNTOKEN_API int TokenSignSetup(TokenData* h, const char* pin) {
  if (!loaded(h)) return TOKEN_ERR_MODULE;
  TokenModule* m = h->module;
  int rc = open_session(h, false);
  if (rc) return rc;
  int ok = 0;
  const char* p = pin ? pin : "";
  if (get_present(h) && P11(m, C_Login, m->session, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(p)),
                            std::strlen(p)) == CKR_OK) {
    m->logged_in = true;
    if (read_certificate(h) == TOKEN_OK && find_private_key(h) == TOKEN_OK && h->cert_loaded && h->key_found) ok = 1;
  }
  close_session(h);
  return ok;
}

}  // extern "C"
