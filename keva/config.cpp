#include "config.h"

#include <apr_strings.h>
#include <apr_tables.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "log.h"
#include "platform/roots.h"
#include "platform/secure_file.h"
#include "platform/text.h"
#include "trace.h"

namespace {

apr_table_t* g_table = nullptr;
apr_pool_t* g_pool = nullptr;

// The blanks around names and values; a CR is what a file from Windows
// leaves at each line's end.
constexpr std::string_view kLineBlanks = " \t\r";

// [b, e) without blanks at either end, as positions in the same text.
void trim(const char*& b, const char*& e) {
  std::string_view v = velarn::trim_view(std::string_view(b, e - b), kLineBlanks);
  b = v.data();
  e = v.data() + v.size();
}

bool valid_name(const char* b, const char* e) {
  if (b == e) return false;
  for (const char* p = b; p < e; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (!(std::isalnum(c) || c == '_' || c == '.' || c == '-' || c == '$')) return false;
  }
  return true;
}

struct LoadCtx {
  apr_table_t* table;
};

void store(void* ctx, const char* section, const char* name, const char* value) {
  auto* lc = static_cast<LoadCtx*>(ctx);
  if (!section) return;  // entries before the first header are never looked up
  if (!name) {
    apr_table_set(lc->table, section, "true");
    return;
  }
  std::string key = std::string(section) + "." + name;
  apr_table_set(lc->table, key.c_str(), value);
}

void trace_lookup(const char* key, const char* value) {
  if (value && *value && trace_is_on()) trace_printf(nullptr, nullptr, "%s = %s", key, value);
}

}  // namespace

long config_parse_text(const char* text, size_t len, config_visit_fn visit, void* ctx) {
  const char* p = text;
  const char* end = text + len;
  long line = 0;
  std::string section;
  bool have_section = false;
  while (p < end) {
    ++line;
    const char* eol = static_cast<const char*>(std::memchr(p, '\n', end - p));
    if (!eol) eol = end;
    const char* b = p;
    const char* e = eol;
    trim(b, e);
    p = eol < end ? eol + 1 : end;
    if (b == e || *b == '#' || *b == ';') continue;
    if (std::memchr(b, 0, e - b)) return line;  // a NUL byte is no text
    if (*b == '[') {
      const char* close = static_cast<const char*>(std::memchr(b, ']', e - b));
      if (!close) return line;
      const char* rest = close + 1;
      const char* rest_end = e;
      trim(rest, rest_end);
      if (rest != rest_end && *rest != '#' && *rest != ';') return line;
      const char* nb = b + 1;
      const char* ne = close;
      trim(nb, ne);
      if (!valid_name(nb, ne)) return line;
      section.assign(nb, ne);
      have_section = true;
      visit(ctx, section.c_str(), nullptr, nullptr);
      continue;
    }
    const char* eq = static_cast<const char*>(std::memchr(b, '=', e - b));
    if (!eq) return line;
    const char* nb = b;
    const char* ne = eq;
    trim(nb, ne);
    if (!valid_name(nb, ne)) return line;
    const char* vb = eq + 1;
    const char* ve = e;
    trim(vb, ve);
    std::string name(nb, ne), value(vb, ve);
    visit(ctx, have_section ? section.c_str() : nullptr, name.c_str(), value.c_str());
  }
  return 0;
}

int config_load(apr_pool_t* pool, const char* path) {
  log_debug("loading config file: %s", path);
  g_pool = pool;
  g_table = apr_table_make(pool, 40);

  FILE* f = std::fopen(path, "rb");
  if (!f) return 0;  // no file: every setting keeps its default
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  std::fclose(f);

  LoadCtx ctx{g_table};
  long bad = config_parse_text(text.data(), text.size(), store, &ctx);
  if (bad) {
    log_error("%s:%ld: invalid config file", path, bad);
    apr_table_clear(g_table);
    return -1;
  }
  return 0;
}

void config_clear(void) {
  g_table = nullptr;
  g_pool = nullptr;
}

const char* config_get_string(const char* key, const char* def) {
  const char* v = g_table ? apr_table_get(g_table, key) : nullptr;
  if (!v) v = def;
  trace_lookup(key, v);
  return v;
}

const char* config_get_path(const char* key, const char* def) {
  const char* v = config_get_string(key, def);
  if (!v) return nullptr;
  std::string resolved = v[0] == '/' ? std::string(v) : velarn::roots::data_folder() + "/" + v;
  if (g_pool) return apr_pstrdup(g_pool, resolved.c_str());
  // Before the settings are loaded (tests): keep the text alive for the process.
  return strdup(resolved.c_str());
}

const char* config_get_data_path(const char* key, const char* def) {
  const char* path = config_get_path(key, def);
  if (!path || !def) return path;
  std::string folder = velarn::roots::data_folder();
  if (velarn::path_inside(path, folder)) return path;
  // Whoever may edit the settings must not make the root service write
  // where they could not.
  log_warning("%s: %s is outside %s; %s is used", key, path, folder.c_str(), def);
  std::string fallback = folder + "/" + def;
  return g_pool ? apr_pstrdup(g_pool, fallback.c_str()) : strdup(fallback.c_str());
}

int config_get_int(const char* key, int def) {
  const char* v = g_table ? apr_table_get(g_table, key) : nullptr;
  if (!v) {
    if (trace_is_on()) trace_printf(nullptr, nullptr, "%s = %d", key, def);
    return def;
  }
  trace_lookup(key, v);
  long n = std::strtol(v, nullptr, 10);
  if (n > INT32_MAX) n = INT32_MAX;
  if (n < INT32_MIN) n = INT32_MIN;
  return static_cast<int>(n);
}
