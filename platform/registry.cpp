#include "platform/registry.h"

#include "platform/registry_files.h"
#include "platform/roots.h"
#include "platform/text.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

// On disk a key is a directory, its values one text file ".values" inside it.
// Directory names are the key names as first written, with '/', '%', control
// characters and a leading '.' percent-encoded, so every entry that starts
// with '.' belongs to the registry itself (values, lock, temporaries) and can
// never be mistaken for a sub-key. One lock file at the top serialises
// writers across processes; readers take it shared so that they never see a
// key half deleted.

namespace velarn {

namespace {

constexpr const char* kValuesFile = ".values";
constexpr const char* kHeader = "velarn-registry 1";
constexpr size_t kMaxComponent = 255;

bool iless(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = (unsigned char)ascii_lower(a[i]), y = (unsigned char)ascii_lower(b[i]);
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;  // same name in another case: still a total order
}

std::vector<std::string> split_key(const std::string& key) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : key) {
    if (c == '\\') {
      if (!cur.empty()) parts.push_back(std::move(cur));
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) parts.push_back(std::move(cur));
  return parts;
}

const char kHex[] = "0123456789ABCDEF";

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string encode_component(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    unsigned char c = (unsigned char)name[i];
    if (c == '/' || c == '%' || c < 0x20 || c == 0x7f || (i == 0 && c == '.')) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += char(c);
    }
  }
  return out;
}

std::optional<std::string> decode_component(const std::string& file) {
  std::string out;
  for (size_t i = 0; i < file.size(); ++i) {
    if (file[i] != '%') {
      out += file[i];
      continue;
    }
    if (i + 2 >= file.size()) return std::nullopt;
    int h = hex_digit(file[i + 1]), l = hex_digit(file[i + 2]);
    if (h < 0 || l < 0) return std::nullopt;
    out += char(h * 16 + l);
    i += 2;
  }
  return out;
}

bool make_folder(const std::string& dir, std::string& error) {
  if (roots::make_dirs(dir)) return true;
  error = "cannot create registry folder " + dir + ": " + std::strerror(errno);
  return false;
}

bool locked(const registry_files::TreeLock& lock, const std::string& dir, std::string& error) {
  if (lock.held()) return true;
  error = "cannot lock the registry in " + dir + ": " + std::strerror(errno);
  return false;
}

// Directory entries of a key that are sub-keys: (decoded name, file name).
std::vector<std::pair<std::string, std::string>> list_children(const std::string& path) {
  std::vector<std::pair<std::string, std::string>> out;
  for (std::string& file : registry_files::folders_in(path)) {
    auto name = decode_component(file);
    if (!name) continue;  // not ours: never shown, never matched
    out.emplace_back(std::move(*name), std::move(file));
  }
  return out;
}

std::optional<std::string> find_child(const std::string& path, const std::string& name) {
  for (auto& [n, file] : list_children(path))
    if (iequals(n, name)) return path + "/" + file;
  return std::nullopt;
}

void escape_into(std::string& out, const std::string& s) {
  for (unsigned char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += char(c);
        }
    }
  }
}

bool unescape(const std::string& in, std::string& out, std::string& why) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i >= in.size()) {
      why = "backslash at end of field";
      return false;
    }
    switch (in[i]) {
      case '\\': out += '\\'; break;
      case 't': out += '\t'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 'x': {
        int h = i + 1 < in.size() ? hex_digit(in[i + 1]) : -1;
        int l = i + 2 < in.size() ? hex_digit(in[i + 2]) : -1;
        if (h < 0 || l < 0) {
          why = "bad \\x escape";
          return false;
        }
        out += char(h * 16 + l);
        i += 2;
        break;
      }
      default: why = std::string("unknown escape \\") + in[i]; return false;
    }
  }
  return true;
}

std::optional<uint32_t> parse_u32(const std::string& s) {
  if (s.empty() || s.size() > 10) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + uint64_t(c - '0');
  }
  if (v > 0xFFFFFFFFull) return std::nullopt;
  return uint32_t(v);
}

std::atomic<unsigned> g_tmp_counter{0};

}  // namespace

const char* reg_type_name(RegType t) {
  switch (t) {
    case RegType::Sz: return "REG_SZ";
    case RegType::Dword: return "REG_DWORD";
    case RegType::MultiSz: return "REG_MULTI_SZ";
  }
  return "REG_NONE";
}

std::optional<RegType> reg_type_from_name(const std::string& name) {
  if (iequals(name, "REG_SZ")) return RegType::Sz;
  if (iequals(name, "REG_DWORD")) return RegType::Dword;
  if (iequals(name, "REG_MULTI_SZ")) return RegType::MultiSz;
  return std::nullopt;
}

std::string format_values(const std::vector<RegNamedValue>& values) {
  std::string out = kHeader;
  out += '\n';
  for (auto& nv : values) {
    escape_into(out, nv.name);
    out += '\t';
    out += reg_type_name(nv.value.type);
    switch (nv.value.type) {
      case RegType::Sz:
        out += '\t';
        escape_into(out, nv.value.sz);
        break;
      case RegType::Dword:
        out += '\t';
        out += std::to_string(nv.value.dword);
        break;
      case RegType::MultiSz:
        for (auto& s : nv.value.multi) {
          out += '\t';
          escape_into(out, s);
        }
        break;
    }
    out += '\n';
  }
  return out;
}

bool parse_values(const std::string& text, std::vector<RegNamedValue>& out, std::string& error) {
  out.clear();
  size_t pos = 0;
  int line_no = 0;
  auto fail = [&](const std::string& why) {
    error = "line " + std::to_string(line_no) + ": " + why;
    out.clear();
    return false;
  };
  while (pos < text.size()) {
    ++line_no;
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) return fail("truncated (no end of line)");
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    if (line_no == 1) {
      if (line != kHeader) return fail("not a registry values file (bad header)");
      continue;
    }
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
      size_t tab = line.find('\t', start);
      fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    if (fields.size() < 2) return fail("missing value type");
    RegNamedValue nv;
    std::string why;
    if (!unescape(fields[0], nv.name, why)) return fail(why);
    auto type = reg_type_from_name(fields[1]);
    if (!type || fields[1] != reg_type_name(*type)) return fail("unknown value type \"" + fields[1] + "\"");
    nv.value.type = *type;
    switch (*type) {
      case RegType::Sz:
        if (fields.size() != 3) return fail("REG_SZ needs exactly one data field");
        if (!unescape(fields[2], nv.value.sz, why)) return fail(why);
        break;
      case RegType::Dword: {
        if (fields.size() != 3) return fail("REG_DWORD needs exactly one data field");
        auto v = parse_u32(fields[2]);
        if (!v) return fail("bad REG_DWORD data \"" + fields[2] + "\"");
        nv.value.dword = *v;
        break;
      }
      case RegType::MultiSz:
        for (size_t i = 2; i < fields.size(); ++i) {
          std::string s;
          if (!unescape(fields[i], s, why)) return fail(why);
          nv.value.multi.push_back(std::move(s));
        }
        break;
    }
    for (auto& prev : out)
      if (iequals(prev.name, nv.name)) return fail("value \"" + nv.name + "\" appears twice");
    out.push_back(std::move(nv));
  }
  if (line_no == 0) {
    error = "empty values file";
    return false;
  }
  return true;
}

// --- Registry -------------------------------------------------------------

namespace {

struct KeyAccess {
  const std::string& dir;
  std::string& error;

  // Path of the key's directory when it exists.
  std::optional<std::string> resolve(const std::string& key) const {
    std::string path = dir;
    if (!registry_files::is_dir(path)) return std::nullopt;
    for (auto& part : split_key(key)) {
      auto child = find_child(path, part);
      if (!child) return std::nullopt;
      path = std::move(*child);
    }
    return path;
  }

  std::optional<std::string> create(const std::string& key) const {
    if (!roots::make_dirs(dir)) {
      error = "cannot create registry folder " + dir + ": " + std::strerror(errno);
      return std::nullopt;
    }
    std::string path = dir;
    for (auto& part : split_key(key)) {
      if (auto child = find_child(path, part)) {
        path = std::move(*child);
        continue;
      }
      std::string file = encode_component(part);
      if (file.size() > kMaxComponent) {
        error = "key name too long: " + part;
        return std::nullopt;
      }
      std::string next = path + "/" + file;
      if (!registry_files::make_folder(next)) {
        error = "cannot create key " + key + ": " + std::strerror(errno);
        return std::nullopt;
      }
      path = std::move(next);
    }
    return path;
  }

  // False when the file exists but cannot be read or is damaged.
  bool read_values(const std::string& keypath, std::vector<RegNamedValue>& out) const {
    out.clear();
    std::string file = keypath + "/" + kValuesFile;
    std::string text;
    switch (registry_files::read_whole(file, text)) {
      case registry_files::Read::kMissing: return true;
      case registry_files::Read::kFailed: error = "cannot read " + file + ": " + std::strerror(errno); return false;
      case registry_files::Read::kDone: break;
    }
    std::string why;
    if (!parse_values(text, out, why)) {
      error = "damaged registry values file " + file + ": " + why;
      return false;
    }
    return true;
  }

  bool write_values(const std::string& keypath, const std::vector<RegNamedValue>& values) const {
    std::string file = keypath + "/" + kValuesFile;
    std::string tmp =
        file + ".tmp." + std::to_string(registry_files::process_id()) + "." + std::to_string(g_tmp_counter++);
    std::string text = format_values(values);
    switch (registry_files::replace_file(file, tmp, text)) {
      case registry_files::Replace::kDone: break;
      case registry_files::Replace::kWriteFailed:
        error = "cannot write " + tmp + ": " + std::strerror(errno);
        return false;
      case registry_files::Replace::kRenameFailed:
        error = "cannot replace " + file + ": " + std::strerror(errno);
        return false;
    }
    return true;
  }
};

}  // namespace

Registry::Registry(std::string dir) : dir_(dir.empty() ? roots::registry_dir() : std::move(dir)) {
  while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
}

bool Registry::key_exists(const std::string& key) const {
  error_.clear();
  registry_files::TreeLock lock(dir_, false);
  return KeyAccess{dir_, error_}.resolve(key).has_value();
}

bool Registry::create_key(const std::string& key) {
  error_.clear();
  if (!make_folder(dir_, error_)) return false;
  registry_files::TreeLock lock(dir_, true);
  if (!locked(lock, dir_, error_)) return false;
  return KeyAccess{dir_, error_}.create(key).has_value();
}

bool Registry::delete_key(const std::string& key) {
  error_.clear();
  if (split_key(key).empty()) {
    error_ = "the registry root cannot be deleted";
    return false;
  }
  if (!registry_files::is_dir(dir_)) return true;
  registry_files::TreeLock lock(dir_, true);
  if (!locked(lock, dir_, error_)) return false;
  auto path = KeyAccess{dir_, error_}.resolve(key);
  if (!path) return true;
  // Move the key out of sight in one step, so that an interrupted removal
  // leaves a hidden leftover instead of a half-deleted key.
  auto slash = path->rfind('/');
  std::string graveyard = path->substr(0, slash) + "/.deleted." + std::to_string(registry_files::process_id()) + "." +
                          std::to_string(g_tmp_counter++);
  if (!registry_files::rename_path(*path, graveyard)) {
    error_ = "cannot delete key " + key + ": " + std::strerror(errno);
    return false;
  }
  if (!registry_files::remove_tree(graveyard)) error_ = "leftover files of deleted key in " + graveyard;
  return true;
}

std::vector<std::string> Registry::sub_keys(const std::string& key) const {
  error_.clear();
  registry_files::TreeLock lock(dir_, false);
  std::vector<std::string> names;
  auto path = KeyAccess{dir_, error_}.resolve(key);
  if (!path) return names;
  for (auto& [n, file] : list_children(*path)) names.push_back(n);
  std::sort(names.begin(), names.end(), iless);
  return names;
}

std::vector<std::string> Registry::value_names(const std::string& key) const {
  error_.clear();
  registry_files::TreeLock lock(dir_, false);
  std::vector<std::string> names;
  KeyAccess access{dir_, error_};
  auto path = access.resolve(key);
  if (!path) return names;
  std::vector<RegNamedValue> values;
  if (!access.read_values(*path, values)) return names;
  for (auto& v : values) names.push_back(v.name);
  return names;
}

std::optional<RegValue> Registry::get(const std::string& key, const std::string& name) const {
  error_.clear();
  registry_files::TreeLock lock(dir_, false);
  KeyAccess access{dir_, error_};
  auto path = access.resolve(key);
  if (!path) return std::nullopt;
  std::vector<RegNamedValue> values;
  if (!access.read_values(*path, values)) return std::nullopt;
  for (auto& v : values)
    if (iequals(v.name, name)) return std::move(v.value);
  return std::nullopt;
}

std::optional<std::string> Registry::get_sz(const std::string& key, const std::string& name) const {
  auto v = get(key, name);
  if (!v || v->type != RegType::Sz) return std::nullopt;
  return std::move(v->sz);
}

std::optional<uint32_t> Registry::get_dword(const std::string& key, const std::string& name) const {
  auto v = get(key, name);
  if (!v || v->type != RegType::Dword) return std::nullopt;
  return v->dword;
}

std::optional<std::vector<std::string>> Registry::get_multi(const std::string& key, const std::string& name) const {
  auto v = get(key, name);
  if (!v || v->type != RegType::MultiSz) return std::nullopt;
  return std::move(v->multi);
}

bool Registry::set(const std::string& key, const std::string& name, const RegValue& value) {
  return set_many(key, {RegNamedValue{name, value}});
}

bool Registry::create_new_key(const std::string& key) {
  error_.clear();
  if (!make_folder(dir_, error_)) return false;
  registry_files::TreeLock lock(dir_, true);
  if (!locked(lock, dir_, error_)) return false;
  KeyAccess access{dir_, error_};
  if (access.resolve(key)) {
    error_ = "key exists";
    return false;
  }
  return access.create(key).has_value();
}

bool Registry::set_many(const std::string& key, const std::vector<RegNamedValue>& add) {
  error_.clear();
  if (!make_folder(dir_, error_)) return false;
  registry_files::TreeLock lock(dir_, true);
  if (!locked(lock, dir_, error_)) return false;
  KeyAccess access{dir_, error_};
  auto path = access.create(key);
  if (!path) return false;
  std::vector<RegNamedValue> values;
  // A damaged file is left as it is: overwriting it would lose every value
  // in it that we could not read.
  if (!access.read_values(*path, values)) return false;
  for (auto& nv : add) {
    // Only the field of the value's own type is kept.
    RegValue stored = nv.value;
    if (stored.type != RegType::Sz) stored.sz.clear();
    if (stored.type != RegType::Dword) stored.dword = 0;
    if (stored.type != RegType::MultiSz) stored.multi.clear();
    auto it = std::find_if(values.begin(), values.end(), [&](auto& v) { return iequals(v.name, nv.name); });
    if (it != values.end())
      it->value = std::move(stored);
    else
      values.push_back(RegNamedValue{nv.name, std::move(stored)});
  }
  return access.write_values(*path, values);
}

bool Registry::set_sz(const std::string& key, const std::string& name, const std::string& v) {
  RegValue rv;
  rv.type = RegType::Sz;
  rv.sz = v;
  return set(key, name, rv);
}

bool Registry::set_dword(const std::string& key, const std::string& name, uint32_t v) {
  RegValue rv;
  rv.type = RegType::Dword;
  rv.dword = v;
  return set(key, name, rv);
}

bool Registry::set_multi(const std::string& key, const std::string& name, const std::vector<std::string>& v) {
  RegValue rv;
  rv.type = RegType::MultiSz;
  rv.multi = v;
  return set(key, name, rv);
}

bool Registry::delete_value(const std::string& key, const std::string& name) {
  error_.clear();
  if (!registry_files::is_dir(dir_)) {
    error_ = "value not found";
    return false;
  }
  registry_files::TreeLock lock(dir_, true);
  if (!locked(lock, dir_, error_)) return false;
  KeyAccess access{dir_, error_};
  auto path = access.resolve(key);
  if (!path) {
    error_ = "key not found";
    return false;
  }
  std::vector<RegNamedValue> values;
  if (!access.read_values(*path, values)) return false;
  auto it = std::find_if(values.begin(), values.end(), [&](auto& v) { return iequals(v.name, name); });
  if (it == values.end()) {
    error_ = "value not found";
    return false;
  }
  values.erase(it);
  return access.write_values(*path, values);
}

}  // namespace velarn
