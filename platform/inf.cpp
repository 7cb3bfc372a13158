// The reader of INF files: the adapter's installation file, read the way the
// system's device installation reads one, as far as the installer needs.
#include "platform/inf.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "platform/text.h"

namespace velarn {

namespace {

struct InfLine {
  int line_no = 0;
  std::string key;                  // "" for a line without "="
  std::vector<std::string> fields;  // the value split at commas, quotes removed
};

struct InfFile {
  std::map<std::string, std::vector<InfLine>> sections;  // by lower-case name
  const std::vector<InfLine>* section(const std::string& name) const {
    auto it = sections.find(ascii_lower(name));
    return it == sections.end() ? nullptr : &it->second;
  }
  std::string value(const std::string& sect, const std::string& key) const {
    if (auto* s = section(sect))
      for (auto& l : *s)
        if (iequals(l.key, key) && !l.fields.empty()) return l.fields[0];
    return {};
  }
};

// Removes a comment outside quotes; tells whether the line ends in a
// continuation backslash.
std::string strip_comment(const std::string& line) {
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"')
      quoted = !quoted;
    else if (line[i] == ';' && !quoted)
      return line.substr(0, i);
  }
  return line;
}

// Splits at commas outside quotes; quotes go, a doubled quote inside quotes
// stands for one, and %name% outside quotes is replaced from [Strings].
bool split_fields(const std::string& text, const std::map<std::string, std::string>* strings,
                  std::vector<std::string>& out, std::string& why) {
  out.clear();
  std::string cur;
  bool quoted = false;
  // Blanks are trimmed only outside quoted parts: [first_quote, quoted_end).
  size_t first_quote = std::string::npos, quoted_end = 0;
  auto finish = [&] {
    size_t lo = 0, hi = cur.size();
    size_t lo_limit = first_quote == std::string::npos ? cur.size() : first_quote;
    while (lo < lo_limit && (cur[lo] == ' ' || cur[lo] == '\t')) ++lo;
    while (hi > std::max(lo, quoted_end) && (cur[hi - 1] == ' ' || cur[hi - 1] == '\t')) --hi;
    out.push_back(cur.substr(lo, hi - lo));
    cur.clear();
    first_quote = std::string::npos;
    quoted_end = 0;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '"') {
      if (quoted && i + 1 < text.size() && text[i + 1] == '"') {
        cur += '"';
        ++i;
      } else {
        quoted = !quoted;
        if (quoted && first_quote == std::string::npos) first_quote = cur.size();
        if (!quoted) quoted_end = cur.size();
      }
    } else if (c == ',' && !quoted) {
      finish();
    } else if (c == '%' && !quoted && strings) {
      size_t end = text.find('%', i + 1);
      if (end == std::string::npos) {
        why = "unterminated %string%";
        return false;
      }
      std::string name = text.substr(i + 1, end - i - 1);
      if (name.empty()) {
        cur += '%';
      } else if (std::all_of(name.begin(), name.end(), ::isdigit)) {
        cur += "%" + name + "%";  // a directory id, resolved at copy time
      } else {
        auto it = strings->find(ascii_lower(name));
        if (it == strings->end()) {
          why = "unknown string %" + name + "%";
          return false;
        }
        cur += it->second;
      }
      i = end;
    } else {
      cur += c;
    }
  }
  if (quoted) {
    why = "unterminated quote";
    return false;
  }
  finish();
  return true;
}

bool load_inf(const std::string& text, InfFile& inf, std::string& error) {
  struct Raw {
    int line_no;
    std::string section, body;
  };
  std::vector<Raw> raws;
  std::string section, pending;
  int line_no = 0, pending_no = 0;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    ++line_no;
    if (line_no == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);  // UTF-8 mark
    std::string body = trim(strip_comment(line));
    if (!pending.empty()) {
      body = pending + body;
      pending.clear();
    } else {
      pending_no = line_no;
    }
    if (!body.empty() && body.back() == '\\') {
      body.pop_back();
      pending = body + " ";
      continue;
    }
    if (body.empty()) continue;
    if (body.front() == '[') {
      size_t close = body.find(']');
      if (close == std::string::npos || close == 1) {
        error = "line " + std::to_string(line_no) + ": bad section header";
        return false;
      }
      section = ascii_lower(trim(body.substr(1, close - 1)));
      inf.sections[section];
      continue;
    }
    if (section.empty()) {
      error = "line " + std::to_string(pending_no) + ": text before the first section";
      return false;
    }
    raws.push_back({pending_no, section, body});
  }
  // [Strings] first, so that every other line can use them.
  std::map<std::string, std::string> strings;
  for (auto& r : raws) {
    if (r.section != "strings") continue;
    size_t eq = r.body.find('=');
    std::vector<std::string> f;
    std::string why;
    if (eq == std::string::npos || !split_fields(r.body.substr(eq + 1), nullptr, f, why)) {
      error = "line " + std::to_string(r.line_no) + ": bad string definition" + (why.empty() ? "" : ": " + why);
      return false;
    }
    strings[ascii_lower(trim(r.body.substr(0, eq)))] = f.empty() ? "" : f[0];
  }
  for (auto& r : raws) {
    InfLine l;
    l.line_no = r.line_no;
    std::string value = r.body;
    // "=" outside quotes separates the key.
    bool quoted = false;
    for (size_t i = 0; i < r.body.size(); ++i) {
      if (r.body[i] == '"') quoted = !quoted;
      if (r.body[i] == '=' && !quoted) {
        std::vector<std::string> k;
        std::string why;
        if (!split_fields(r.body.substr(0, i), &strings, k, why)) {
          error = "line " + std::to_string(r.line_no) + ": " + why;
          return false;
        }
        l.key = k.empty() ? "" : k[0];
        value = r.body.substr(i + 1);
        break;
      }
    }
    std::string why;
    if (!split_fields(value, r.section == "strings" ? nullptr : &strings, l.fields, why)) {
      error = "line " + std::to_string(r.line_no) + ": " + why;
      return false;
    }
    inf.sections[r.section].push_back(std::move(l));
  }
  return true;
}

std::optional<uint32_t> parse_number(const std::string& s) {
  std::string t = trim(s);
  if (t.empty()) return 0u;
  int base = 10;
  size_t i = 0;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    base = 16;
    i = 2;
  }
  uint64_t v = 0;
  for (; i < t.size(); ++i) {
    char c = t[i];
    int d = (c >= '0' && c <= '9')                 ? c - '0'
            : (base == 16 && c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (base == 16 && c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                   : -1;
    if (d < 0) return std::nullopt;
    v = v * uint64_t(base) + uint64_t(d);
    if (v > 0xFFFFFFFFull) return std::nullopt;
  }
  return uint32_t(v);
}

// An install section may be decorated for the platform; the plain name and
// the NT decorations are all accepted.
const std::vector<InfLine>* install_section(const InfFile& inf, const std::string& name, std::string& found) {
  for (const char* deco : {"", ".NT", ".NTamd64", ".NTx86"}) {
    if (auto* s = inf.section(name + deco)) {
      found = name + deco;
      return s;
    }
  }
  return nullptr;
}

}  // namespace

bool parse_inf(const std::string& text, InfInfo& out, std::string& error) {
  out = InfInfo{};
  InfFile inf;
  if (!load_inf(text, inf, error)) return false;
  if (!inf.section("Version")) {
    error = "no [Version] section";
    return false;
  }
  if (inf.value("Version", "Signature").empty()) {
    error = "no Signature in [Version]";
    return false;
  }
  out.class_name = inf.value("Version", "Class");
  out.class_guid = inf.value("Version", "ClassGUID");
  out.provider = inf.value("Version", "Provider");
  if (out.class_name.empty() || out.class_name.size() > 32) {
    error = "no usable Class in [Version]";
    return false;
  }
  if (out.class_guid.size() != 38 || out.class_guid.front() != '{' || out.class_guid.back() != '}') {
    error = "no usable ClassGUID in [Version]";
    return false;
  }
  const auto* mfg = inf.section("Manufacturer");
  if (!mfg || mfg->empty()) {
    error = "no [Manufacturer] section";
    return false;
  }
  std::string first_install;
  for (auto& m : *mfg) {
    if (m.fields.empty() || m.fields[0].empty()) continue;
    std::vector<std::string> model_sections{m.fields[0]};
    for (size_t i = 1; i < m.fields.size(); ++i) model_sections.push_back(m.fields[0] + "." + m.fields[i]);
    for (auto& name : model_sections) {
      const auto* models = inf.section(name);
      if (!models) continue;
      for (auto& model : *models) {
        if (model.fields.size() < 2) {
          error = "line " + std::to_string(model.line_no) + ": model without a hardware id";
          return false;
        }
        if (first_install.empty()) {
          first_install = model.fields[0];
          out.device_desc = model.key;
        }
        for (size_t i = 1; i < model.fields.size(); ++i) {
          auto& id = model.fields[i];
          if (id.empty()) continue;
          bool known = false;
          for (auto& h : out.hardware_ids) known = known || iequals(h, id);
          if (!known) out.hardware_ids.push_back(id);
        }
      }
    }
  }
  if (out.hardware_ids.empty()) {
    error = "no device model with a hardware id";
    return false;
  }
  std::string install_name;
  const auto* install = install_section(inf, first_install, install_name);
  if (!install) {
    error = "install section [" + first_install + "] is missing";
    return false;
  }
  for (auto& l : *install) {
    if (!iequals(l.key, "AddReg")) continue;
    for (auto& sect : l.fields) {
      const auto* addreg = inf.section(sect);
      if (!addreg) {
        error = "AddReg section [" + sect + "] is missing";
        return false;
      }
      for (auto& a : *addreg) {
        if (a.fields.size() < 3) {
          error = "line " + std::to_string(a.line_no) + ": AddReg line needs root, subkey and value name";
          return false;
        }
        // Only the adapter's own parameters matter here: HKR with no subkey.
        if (!iequals(a.fields[0], "HKR") || !a.fields[1].empty() || a.fields[2].empty()) continue;
        auto flags = parse_number(a.fields.size() > 3 ? a.fields[3] : "");
        if (!flags) {
          error = "line " + std::to_string(a.line_no) + ": bad AddReg flags \"" + a.fields[3] + "\"";
          return false;
        }
        RegNamedValue nv;
        nv.name = a.fields[2];
        std::string data = a.fields.size() > 4 ? a.fields[4] : "";
        if ((*flags & 0x00010001u) == 0x00010001u) {
          auto v = parse_number(data);
          if (!v) {
            error = "line " + std::to_string(a.line_no) + ": bad DWORD \"" + data + "\"";
            return false;
          }
          nv.value.type = RegType::Dword;
          nv.value.dword = *v;
        } else if (*flags & 0x00010000u) {
          nv.value.type = RegType::MultiSz;
          for (size_t i = 4; i < a.fields.size(); ++i) nv.value.multi.push_back(a.fields[i]);
        } else {
          nv.value.type = RegType::Sz;
          nv.value.sz = data;
        }
        bool replaced = false;
        for (auto& p : out.parameters)
          if (iequals(p.name, nv.name)) {
            p.value = nv.value;
            replaced = true;
          }
        if (!replaced) out.parameters.push_back(std::move(nv));
      }
    }
  }
  if (const auto* services = inf.section(install_name + ".Services"))
    for (auto& l : *services)
      if (iequals(l.key, "AddService") && !l.fields.empty() && !l.fields[0].empty()) {
        out.service_name = l.fields[0];
        break;
      }
  if (out.service_name.empty()) {
    error = "no AddService in [" + install_name + ".Services]";
    return false;
  }
  for (char c : out.service_name)
    if (c == '/' || c == '\\' || c == '.' || c == ' ') {
      error = "unusable service name \"" + out.service_name + "\"";
      return false;
    }
  return true;
}

bool read_inf(const std::string& path, InfInfo& out, std::string& error) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::stringstream ss;
  ss << f.rdbuf();
  if (!parse_inf(ss.str(), out, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

}  // namespace velarn
