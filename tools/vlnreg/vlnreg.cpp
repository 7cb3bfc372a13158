// vlnreg: query, add and delete registry keys and values from the command
// line, with the commands and options administrators know from the Windows
// "reg" tool:
//
//   vlnreg query  KEY [/v NAME | /ve]
//   vlnreg add    KEY [/v NAME | /ve] [/t REG_SZ|REG_DWORD|REG_MULTI_SZ] [/s SEP] [/d DATA] [/f]
//   vlnreg delete KEY [/v NAME | /ve] [/f]
//
// KEY may start with HKLM\ or HKEY_LOCAL_MACHINE\. Exit code 0 on success,
// 1 with a message on standard error otherwise.
#include "platform/registry.h"
#include "platform/text.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

using velarn::Registry;
using velarn::RegType;
using velarn::RegValue;

namespace {

const char* const kUsage =
    "usage: vlnreg query  KEY [/v NAME | /ve]\n"
    "       vlnreg add    KEY [/v NAME | /ve] [/t REG_SZ|REG_DWORD|REG_MULTI_SZ] [/s SEP] [/d DATA] [/f]\n"
    "       vlnreg delete KEY [/v NAME | /ve] [/f]\n"
    "KEY may start with HKLM\\ or HKEY_LOCAL_MACHINE\\.\n";

int fail(const std::string& msg) {
  std::cerr << "ERROR: " << msg << "\n";
  return 1;
}

// The key below HKEY_LOCAL_MACHINE, or nothing when KEY names another root.
std::optional<std::string> strip_root(std::string key) {
  for (auto& c : key)
    if (c == '/') c = '\\';  // tolerate forward slashes typed in a shell
  for (const char* prefix : {"HKEY_LOCAL_MACHINE", "HKLM"}) {
    size_t n = std::strlen(prefix);
    if (velarn::istarts_with(key, prefix) && (key.size() == n || key[n] == '\\')) return key.substr(n);
  }
  if (key.rfind("HK", 0) == 0 || key.rfind("hk", 0) == 0) {
    auto bs = key.find('\\');
    std::string first = key.substr(0, bs);
    for (const char* other :
         {"HKCU", "HKCR", "HKU", "HKCC", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT", "HKEY_USERS", "HKEY_CURRENT_CONFIG"})
      if (velarn::iequals(first, other)) return std::nullopt;
  }
  return key;
}

std::string display_key(const std::string& key) {
  std::string out = "HKEY_LOCAL_MACHINE";
  std::string part;
  for (char c : key + "\\") {
    if (c == '\\') {
      if (!part.empty()) out += "\\" + part;
      part.clear();
    } else {
      part += c;
    }
  }
  return out;
}

std::string format_data(const RegValue& v) {
  char buf[16];
  switch (v.type) {
    case RegType::Sz: return v.sz;
    case RegType::Dword: std::snprintf(buf, sizeof buf, "0x%x", v.dword); return buf;
    case RegType::MultiSz: {
      std::string out;
      for (size_t i = 0; i < v.multi.size(); ++i) out += (i ? "\\0" : "") + v.multi[i];
      return out;
    }
  }
  return {};
}

void print_value(const std::string& name, const RegValue& v) {
  std::cout << "    " << (name.empty() ? "(Default)" : name) << "    " << velarn::reg_type_name(v.type) << "    "
            << format_data(v) << "\n";
}

bool confirm(const std::string& question) {
  if (!isatty(STDIN_FILENO)) return false;
  std::cout << question << " (Yes/No)? " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

std::optional<uint32_t> parse_dword(const std::string& s) {
  if (s.empty()) return std::nullopt;
  int base = 10;
  size_t start = 0;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    start = 2;
  }
  uint64_t v = 0;
  for (size_t i = start; i < s.size(); ++i) {
    int d;
    char c = s[i];
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return std::nullopt;
    v = v * uint64_t(base) + uint64_t(d);
    if (v > 0xFFFFFFFFull) return std::nullopt;
  }
  return uint32_t(v);
}

struct Options {
  std::string command, key;
  std::optional<std::string> value;  // /v NAME, or "" for /ve
  std::optional<std::string> type, data, separator;
  bool force = false;
};

bool is_switch(const std::string& a, const char* name) {
  return a.size() >= 2 && (a[0] == '/' || a[0] == '-') && velarn::iequals(a.substr(1), name);
}

// Returns an error text, or empty when the arguments parse.
std::string parse_args(int argc, char** argv, Options& o) {
  if (argc < 3) return "too few arguments";
  o.command = argv[1];
  o.key = argv[2];
  for (int i = 3; i < argc; ++i) {
    std::string a = argv[i];
    auto take = [&](std::optional<std::string>& slot) -> std::string {
      if (slot) return "option " + a + " given twice";
      if (i + 1 >= argc) return "option " + a + " needs a value";
      slot = argv[++i];
      return {};
    };
    std::string err;
    if (is_switch(a, "v"))
      err = take(o.value);
    else if (is_switch(a, "ve")) {
      if (o.value)
        err = "option /ve given with /v";
      else
        o.value = "";
    } else if (is_switch(a, "t"))
      err = take(o.type);
    else if (is_switch(a, "d"))
      err = take(o.data);
    else if (is_switch(a, "s"))
      err = take(o.separator);
    else if (is_switch(a, "f"))
      o.force = true;
    else
      err = "unknown argument \"" + a + "\"";
    if (!err.empty()) return err;
  }
  return {};
}

int do_query(Registry& reg, const Options& o, const std::string& key) {
  if (o.type || o.data || o.separator || o.force) return fail("query takes only /v or /ve");
  if (!reg.key_exists(key)) return fail("The system was unable to find the specified registry key or value.");
  if (o.value) {
    auto v = reg.get(key, *o.value);
    if (!v) {
      if (!reg.last_error().empty()) return fail(reg.last_error());
      return fail("The system was unable to find the specified registry key or value.");
    }
    std::cout << "\n" << display_key(key) << "\n";
    print_value(*o.value, *v);
    std::cout << "\n";
    return 0;
  }
  std::cout << "\n" << display_key(key) << "\n";
  auto names = reg.value_names(key);
  if (!reg.last_error().empty()) return fail(reg.last_error());
  for (auto& n : names)
    if (auto v = reg.get(key, n)) print_value(n, *v);
  std::cout << "\n";
  for (auto& sub : reg.sub_keys(key)) std::cout << display_key(key + "\\" + sub) << "\n";
  return 0;
}

int do_add(Registry& reg, const Options& o, const std::string& key) {
  if (!o.value && (o.type || o.data || o.separator)) return fail("/t, /d and /s need /v NAME or /ve");
  if (!o.value) {
    if (!reg.create_key(key)) return fail(reg.last_error());
    std::cout << "The operation completed successfully.\n";
    return 0;
  }
  RegValue v;
  if (o.type) {
    auto t = velarn::reg_type_from_name(*o.type);
    if (!t) return fail("Invalid type \"" + *o.type + "\" (use REG_SZ, REG_DWORD or REG_MULTI_SZ).");
    v.type = *t;
  }
  if (o.separator && v.type != RegType::MultiSz) return fail("/s is only for REG_MULTI_SZ.");
  std::string data = o.data.value_or("");
  switch (v.type) {
    case RegType::Sz: v.sz = data; break;
    case RegType::Dword: {
      auto d = parse_dword(o.data ? data : "0");
      if (!d) return fail("Invalid REG_DWORD data \"" + data + "\" (a number from 0 to 4294967295).");
      v.dword = *d;
      break;
    }
    case RegType::MultiSz: {
      std::string sep = o.separator.value_or("\\0");
      if (sep.empty()) return fail("/s needs a separator.");
      size_t pos = 0;
      while (!data.empty()) {
        size_t hit = data.find(sep, pos);
        v.multi.push_back(data.substr(pos, hit == std::string::npos ? std::string::npos : hit - pos));
        if (hit == std::string::npos) break;
        pos = hit + sep.size();
      }
      break;
    }
  }
  if (!o.force && reg.get(key, *o.value) &&
      !confirm("Value " + (o.value->empty() ? std::string("(Default)") : *o.value) + " exists, overwrite"))
    return fail("The value exists; use /f to overwrite it.");
  if (!reg.set(key, *o.value, v)) return fail(reg.last_error());
  std::cout << "The operation completed successfully.\n";
  return 0;
}

int do_delete(Registry& reg, const Options& o, const std::string& key) {
  if (o.type || o.data || o.separator) return fail("delete takes only /v, /ve and /f");
  if (!reg.key_exists(key)) return fail("The system was unable to find the specified registry key or value.");
  if (o.value) {
    if (!reg.get(key, *o.value)) {
      if (!reg.last_error().empty()) return fail(reg.last_error());
      return fail("The system was unable to find the specified registry key or value.");
    }
    if (!o.force && !confirm("Delete the registry value " + *o.value))
      return fail("Not confirmed; use /f to delete without asking.");
    if (!reg.delete_value(key, *o.value)) return fail(reg.last_error());
  } else {
    bool top = true;
    for (char c : key) top = top && c == '\\';
    if (top) return fail("Invalid key name: the root cannot be deleted.");
    if (!o.force && !confirm("Permanently delete the registry key " + display_key(key)))
      return fail("Not confirmed; use /f to delete without asking.");
    if (!reg.delete_key(key)) return fail(reg.last_error());
  }
  std::cout << "The operation completed successfully.\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "/?") == 0)) {
    std::cout << kUsage;
    return 0;
  }
  Options o;
  std::string err = parse_args(argc, argv, o);
  if (!err.empty()) {
    std::cerr << "ERROR: " << err << "\n" << kUsage;
    return 1;
  }
  auto key = strip_root(o.key);
  if (!key) return fail("Invalid key name \"" + o.key + "\": only HKEY_LOCAL_MACHINE is kept here.");
  Registry reg;
  if (velarn::iequals(o.command, "query")) return do_query(reg, o, *key);
  if (velarn::iequals(o.command, "add")) return do_add(reg, o, *key);
  if (velarn::iequals(o.command, "delete")) return do_delete(reg, o, *key);
  std::cerr << "ERROR: unknown command \"" << o.command << "\"\n" << kUsage;
  return 1;
}
