// The process-wide list of known PKCS#11 modules and its list file, and the
// per-module state that handles of the same module share.

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#include "internal.h"
#include "platform/roots.h"
#include "platform/text.h"

namespace vlntoken {
namespace {

using velarn::iequals;
using velarn::trim;

// Recursive, so that a lookup callback may ask for a title or load a module.
std::recursive_mutex list_mx;
// A fixed block rather than a vector: callers keep pointers to entries, which
// must not move when the list grows. Entries are never removed one by one.
TokenDriver* drivers = nullptr;  // TOKEN_MAX_DRIVERS entries
int driver_count = 0;

// A module's function list is its identity: two paths that load the same
// library (a link, say) share one entry and one call lock.
std::mutex shared_mx;
std::map<CK_FUNCTION_LIST_PTR, SharedModule*> shared_modules;

// The section buffer of the profile-section call this list was designed for.
constexpr size_t kSectionBytes = 2048;

// Replaces `placeholder` by `with`; a separator right after the placeholder is
// dropped so that exactly one follows the expansion (or none, when the
// placeholder is only removed and the library search is to find the module).
void expand(std::string& path, const std::string& placeholder, const std::string& with) {
  size_t pos;
  while ((pos = path.find(placeholder)) != std::string::npos) {
    size_t end = pos + placeholder.size();
    if (end < path.size() && (path[end] == '/' || path[end] == '\\')) ++end;
    path.replace(pos, end - pos, with);
  }
}

// The environment variable lets tests and relocated installs bring their own.
std::string list_file() {
  const char* env = std::getenv("VLNTOKEN_INI");
  if (env && *env) return env;
  return velarn::roots::data_file("vlntoken.ini");
}

// The [PKCS11] section: lines "NAME=PATH" with an optional tab and flag;
// only the flag "0" gives 0. Unusable paths are skipped, a missing file is an
// empty list.
std::vector<ListEntry> read_list_file() {
  std::vector<ListEntry> out;
  std::ifstream in(list_file(), std::ios::binary);
  if (!in) return out;
  std::string line;
  bool in_section = false;
  size_t used = 0;
  while (std::getline(in, line)) {
    std::string t = trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    if (t[0] == '[') {
      size_t close = t.find(']');
      in_section = close != std::string::npos && iequals(trim(t.substr(1, close - 1)), "PKCS11");
      continue;
    }
    if (!in_section) continue;
    // Lines that do not fit the section buffer are not seen at all.
    if (used + t.size() + 1 > kSectionBytes - 1) break;
    used += t.size() + 1;
    size_t eq = t.find('=');
    if (eq == std::string::npos) continue;
    std::string value = t.substr(eq + 1);
    std::string path = value, flag_text;
    size_t tab = value.find('\t');
    if (tab != std::string::npos) {
      path = value.substr(0, tab);
      flag_text = value.substr(tab + 1);
    }
    std::string flag_clean;
    for (char c : flag_text)
      if (c != ' ' && c != '\t' && c != '\r') flag_clean += c;
    path = trim(path);
    expand(path, "%SystemDirectory%", "");
    expand(path, "%ProgramFiles%", velarn::roots::program_files() + "/");
    if (path.empty() || path.size() >= TOKEN_PATH_SIZE) continue;
    out.push_back({path, flag_clean == "0" ? 0 : 1});
  }
  return out;
}

// PKCS#11 text fields are blank-padded and unterminated.
void trim_fixed(char* out, size_t out_size, const unsigned char* in, size_t in_len) {
  while (in_len > 0 && (in[in_len - 1] == ' ' || in[in_len - 1] == 0)) --in_len;
  if (in_len >= out_size) in_len = out_size - 1;
  std::memcpy(out, in, in_len);
  out[in_len] = 0;
}

// Loads the module, checks it answers as a PKCS#11 module and builds its
// title. A module some handle already holds is only asked for its
// information: initialising or finalising it here would disturb that handle.
bool probe(const std::string& path, char* title, size_t title_size) {
  velarn::DynLib lib;
  if (!lib.open(path)) return false;
  bool ok = false;
  auto get_list = lib.function<CK_C_GetFunctionList>("C_GetFunctionList");
  CK_FUNCTION_LIST_PTR fl = nullptr;
  if (get_list && get_list(&fl) == CKR_OK && fl) {
    CK_INFO info{};
    SharedModule* in_use = nullptr;
    {
      std::lock_guard<std::mutex> g(shared_mx);
      auto it = shared_modules.find(fl);
      if (it != shared_modules.end()) in_use = it->second;
    }
    CK_RV rv;
    if (in_use) {
      std::lock_guard<std::mutex> g(in_use->call);
      rv = fl->C_GetInfo(&info);
    } else if (fl->C_Initialize(nullptr) == CKR_OK) {
      // Finalised again at once: a listed module holds no state until a
      // handle loads it.
      rv = fl->C_GetInfo(&info);
      fl->C_Finalize(nullptr);
    } else {
      rv = CKR_GENERAL_ERROR;
    }
    if (rv == CKR_OK) {
      char desc[40];
      trim_fixed(desc, sizeof desc, info.libraryDescription, sizeof info.libraryDescription);
      char full[96];
      snprintf(full, sizeof full, "%s (ver %d.%d)", desc, info.libraryVersion.major, info.libraryVersion.minor);
      // The list entry holds at most 49 characters of title.
      size_t n = std::strlen(full);
      if (n > 49) n = 49;
      if (n >= title_size) n = title_size - 1;
      std::memcpy(title, full, n);
      title[n] = 0;
      ok = true;
    }
  }
  // Only this reference is dropped: a handle holding the module has its own.
  lib.close();
  return ok;
}

TokenDriver* find_entry(const std::string& path) {
  if (!drivers) return nullptr;
  for (int i = 0; i < driver_count; ++i)
    if (path == drivers[i].path) return &drivers[i];
  return nullptr;
}

void ensure_allocated() {
  if (!drivers) {
    drivers = static_cast<TokenDriver*>(std::calloc(TOKEN_MAX_DRIVERS, sizeof(TokenDriver)));
    driver_count = 0;
  }
}

// Probes and appends; the list holds at most TOKEN_MAX_DRIVERS entries and
// quietly refuses more.
TokenDriver* add_entry(const std::string& path, int flag) {
  if (!drivers || driver_count >= TOKEN_MAX_DRIVERS || path.size() >= TOKEN_PATH_SIZE) return nullptr;
  char title[52] = {0};
  if (!probe(path, title, sizeof title)) return nullptr;
  TokenDriver* e = &drivers[driver_count++];
  std::memset(e, 0, sizeof *e);
  std::memcpy(e->path, path.c_str(), path.size() + 1);
  std::memcpy(e->title, title, sizeof e->title);
  e->flag = flag;
  return e;
}

}  // namespace

bool ensure_listed(const std::string& path, std::string* title, int* flag) {
  std::lock_guard<std::recursive_mutex> g(list_mx);
  ensure_allocated();
  if (!drivers) return false;
  TokenDriver* e = find_entry(path);
  if (!e) {
    int f = 1;
    for (const auto& le : read_list_file())
      if (le.path == path) {
        f = le.flag;
        break;
      }
    e = add_entry(path, f);
  }
  if (!e) return false;
  *title = e->title;
  *flag = e->flag;
  return true;
}

SharedModule* shared_acquire(CK_FUNCTION_LIST_PTR functions) {
  std::lock_guard<std::mutex> g(shared_mx);
  SharedModule*& s = shared_modules[functions];
  if (!s) s = new SharedModule;
  ++s->handles;
  return s;
}

bool shared_release(CK_FUNCTION_LIST_PTR functions) {
  std::lock_guard<std::mutex> g(shared_mx);
  auto it = shared_modules.find(functions);
  // Unknown: nobody else holds it either, so finalising is right.
  if (it == shared_modules.end()) return true;
  if (--it->second->handles > 0) return false;
  delete it->second;
  shared_modules.erase(it);
  return true;
}

}  // namespace vlntoken

using namespace vlntoken;

extern "C" {

// Emptying keeps the block, so that pointers the GUI still holds read as
// empty entries rather than freed memory.
VLNTOKEN_API void TokenDataInit(void) {
  std::lock_guard<std::recursive_mutex> g(list_mx);
  if (drivers) std::memset(drivers, 0, TOKEN_MAX_DRIVERS * sizeof(TokenDriver));
  ensure_allocated();
  driver_count = 0;
}

VLNTOKEN_API void TokenDataFree(void) {
  std::lock_guard<std::recursive_mutex> g(list_mx);
  if (drivers) {
    std::memset(drivers, 0, TOKEN_MAX_DRIVERS * sizeof(TokenDriver));
    std::free(drivers);
  }
  drivers = nullptr;
  driver_count = 0;
}

VLNTOKEN_API int TokenLookup(TokenLookupFunc callback, void* user) {
  std::lock_guard<std::recursive_mutex> g(list_mx);
  ensure_allocated();
  if (!drivers) return 1;
  for (const auto& le : read_list_file())
    if (!find_entry(le.path)) add_entry(le.path, le.flag);
  if (callback)
    for (int i = 0; i < driver_count; ++i) callback(&drivers[i], user);
  return 1;
}

VLNTOKEN_API int TokenGetTitle(const char* path, char* title) {
  std::lock_guard<std::recursive_mutex> g(list_mx);
  if (!path || !title) return TOKEN_ERR_MODULE;
  TokenDriver* e = find_entry(path);
  if (!e) return TOKEN_ERR_MODULE;
  std::memset(title, 0, TOKEN_PATH_SIZE);
  std::memcpy(title, e->title, sizeof e->title);
  title[sizeof e->title - 1] = 0;
  return TOKEN_OK;
}

}  // extern "C"
