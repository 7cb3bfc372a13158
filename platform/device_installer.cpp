#include "platform/device_installer.h"

#include "platform/roots.h"
#include "platform/text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <optional>
#include <cctype>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace velarn {

const char* const kNetClassKey = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
const char* const kTcpipInterfaces = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces";
const char* const kNetworkConfig =
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}";

namespace {

const char* const kClassRoot = "SYSTEM\\CurrentControlSet\\Control\\Class";
const char* const kNetworkRoot = "SYSTEM\\CurrentControlSet\\Control\\Network";
const char* const kServicesRoot = "SYSTEM\\CurrentControlSet\\Services";

// --- INF reader -----------------------------------------------------------

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

bool is_dir(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_file(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool has_id(const PresentDevice& d, const std::string& id) {
  for (auto* list : {&d.hardware_ids, &d.compatible_ids})
    for (auto& h : *list)
      if (iequals(h, id)) return true;
  return false;
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

// --- DeviceInstaller ------------------------------------------------------

DeviceInstaller::DeviceInstaller(Registry& registry) : reg_(registry) {}

std::string DeviceInstaller::new_instance_id() {
  std::random_device rd;
  unsigned char b[16];
  for (int i = 0; i < 16; i += 4) {
    uint32_t r = rd();
    std::memcpy(b + i, &r, 4);
  }
  b[6] = uint8_t((b[6] & 0x0F) | 0x40);  // version 4: random
  b[8] = uint8_t((b[8] & 0x3F) | 0x80);
  char out[40];
  std::snprintf(out, sizeof out, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return out;
}

std::string DeviceInstaller::interface_name(const std::string& instance_id) {
  std::string hex;
  for (char c : instance_id) {
    if (hex.size() == 8) break;
    if (std::isxdigit(static_cast<unsigned char>(c)))
      hex += c;
    else if (c != '{')
      break;
  }
  return "vln" + ascii_lower(hex);
}

bool DeviceInstaller::inf_class(const std::string& inf_path, std::string& class_name) {
  error_.clear();
  InfInfo inf;
  if (!read_inf(inf_path, inf, error_)) return false;
  class_name = inf.class_name;
  return true;
}

bool DeviceInstaller::create_device(const std::string& inf_path, const std::vector<std::string>& hardware_ids,
                                    std::string* instance_id) {
  error_.clear();
  InfInfo inf;
  if (!read_inf(inf_path, inf, error_)) return false;
  if (hardware_ids.empty() || hardware_ids[0].empty()) {
    error_ = "no hardware id given";
    return false;
  }
  const std::string class_key = std::string(kClassRoot) + "\\" + inf.class_guid;
  const std::string desc = inf.device_desc.empty() ? hardware_ids[0] : inf.device_desc;

  // Claim the number after the highest in use. Reusing a lower free number
  // would put the new instance before an older one, and whoever looks for
  // "the last instance" would then find the wrong adapter.
  std::string key;
  for (int attempt = 0; attempt < 16 && key.empty(); ++attempt) {
    int highest = -1;
    std::vector<bool> used(10000, false);
    for (auto& sub : reg_.sub_keys(class_key)) {
      if (sub.size() != 4 || !std::all_of(sub.begin(), sub.end(), ::isdigit)) continue;
      int n = std::stoi(sub);
      used[size_t(n)] = true;
      highest = std::max(highest, n);
    }
    int n = highest + 1;
    if (n > 9999) {
      n = int(std::find(used.begin(), used.end(), false) - used.begin());
      if (n > 9999) {
        error_ = "no free device number in " + class_key;
        return false;
      }
    }
    char name[16];
    std::snprintf(name, sizeof name, "%04d", n);
    if (reg_.create_new_key(class_key + "\\" + name))
      key = class_key + "\\" + name;
    else if (reg_.last_error() != "key exists") {
      error_ = reg_.last_error();
      return false;
    }
  }
  if (key.empty()) {
    error_ = "could not claim a device number in " + class_key;
    return false;
  }

  const std::string id = new_instance_id();
  auto sz = [](const std::string& name, const std::string& v) {
    RegNamedValue nv;
    nv.name = name;
    nv.value.type = RegType::Sz;
    nv.value.sz = v;
    return nv;
  };
  std::vector<RegNamedValue> values{sz("ComponentId", hardware_ids[0]), sz("MatchingDeviceId", hardware_ids[0]),
                                    sz("DriverDesc", desc)};
  RegNamedValue hw;
  hw.name = "HardwareID";
  hw.value.type = RegType::MultiSz;
  hw.value.multi = hardware_ids;
  values.push_back(hw);
  for (auto& p : inf.parameters) values.push_back(p);
  // The instance id goes last: readers take an instance without one as not
  // yet installed.
  values.push_back(sz("NetCfgInstanceId", id));
  if (!reg_.set_many(key, values)) {
    error_ = reg_.last_error();
    reg_.delete_key(key);
    return false;
  }

  // Stand in for the network stack binding to the new adapter.
  const std::string net = std::string(kNetworkRoot) + "\\" + inf.class_guid;
  bool ok = reg_.create_key(std::string(kTcpipInterfaces) + "\\" + id) &&
            reg_.set_sz(net + "\\" + id + "\\Connection", "Name", interface_name(id)) &&
            reg_.set_dword(net + "\\Descriptions", desc, 1);
  if (!ok) {
    error_ = reg_.last_error();
    PresentDevice d;
    d.class_key = key;
    d.instance_id = id;
    remove_device(d);
    return false;
  }
  if (instance_id) *instance_id = id;
  return true;
}

std::vector<PresentDevice> DeviceInstaller::present_devices() {
  std::vector<PresentDevice> out;
  for (auto& cls : reg_.sub_keys(kClassRoot)) {
    std::string ck = std::string(kClassRoot) + "\\" + cls;
    for (auto& sub : reg_.sub_keys(ck)) {
      PresentDevice d;
      d.class_key = ck + "\\" + sub;
      auto hw = reg_.get_multi(d.class_key, "HardwareID");
      if (!hw) continue;
      d.hardware_ids = std::move(*hw);
      if (auto c = reg_.get_multi(d.class_key, "CompatibleIDs")) d.compatible_ids = std::move(*c);
      d.instance_id = reg_.get_sz(d.class_key, "NetCfgInstanceId").value_or("");
      out.push_back(std::move(d));
    }
  }
  return out;
}

bool DeviceInstaller::remove_device(const PresentDevice& device) {
  error_.clear();
  auto slash = device.class_key.rfind('\\');
  auto prev = slash == std::string::npos ? std::string::npos : device.class_key.rfind('\\', slash - 1);
  if (prev == std::string::npos) {
    error_ = "not a device key: " + device.class_key;
    return false;
  }
  const std::string class_key = device.class_key.substr(0, slash);
  const std::string guid = device.class_key.substr(prev + 1, slash - prev - 1);
  const std::string desc = reg_.get_sz(device.class_key, "DriverDesc").value_or("");
  if (!reg_.delete_key(device.class_key)) {
    error_ = reg_.last_error();
    return false;
  }
  if (!device.instance_id.empty()) {
    reg_.delete_key(std::string(kTcpipInterfaces) + "\\" + device.instance_id);
    reg_.delete_key(std::string(kNetworkRoot) + "\\" + guid + "\\" + device.instance_id);
  }
  if (!desc.empty()) {
    // The description stays while another instance still carries it.
    bool shared = false;
    for (auto& sub : reg_.sub_keys(class_key))
      shared = shared || reg_.get_sz(class_key + "\\" + sub, "DriverDesc") == desc;
    if (!shared) reg_.delete_value(std::string(kNetworkRoot) + "\\" + guid + "\\Descriptions", desc);
  }
  return true;
}

namespace {
// A unit installed with the programs (package or cmake --install) is the one
// to run: a copy written under /etc would shadow it and drop its hardening.
bool shipped_unit(const std::string& unit_name) {
  if (!roots::root().empty()) return false;
  for (const char* dir : {"/lib/systemd/system/", "/usr/lib/systemd/system/", "/usr/local/lib/systemd/system/"})
    if (is_file(dir + unit_name)) return true;
  return false;
}
}  // namespace

bool DeviceInstaller::install_service(const InfInfo& inf) {
  if (!reg_.create_key(std::string(kServicesRoot) + "\\" + inf.service_name)) {
    error_ = reg_.last_error();
    return false;
  }
  const std::string dir = roots::service_units_dir();
  const std::string unit = dir + "/" + inf.service_name + ".service";
  if (shipped_unit(inf.service_name + ".service")) {
    if (service_manager_present() && !run_systemctl({"enable", inf.service_name + ".service"})) {
      error_ = "systemctl could not enable " + inf.service_name + ".service";
      return false;
    }
    return true;
  }
  const std::string text = "[Unit]\nDescription=" + (inf.device_desc.empty() ? inf.service_name : inf.device_desc) +
                           " host\n\n[Service]\nType=simple\nExecStart=\"" + roots::program_folder() + "/" +
                           inf.service_name + "\"\nRestart=on-failure\n\n[Install]\nWantedBy=multi-user.target\n";
  if (!roots::make_dirs(dir)) {
    error_ = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  std::string tmp = unit + ".tmp";
  {
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f << text;
    f.flush();
    if (!f) {
      error_ = "cannot write " + tmp;
      ::unlink(tmp.c_str());
      return false;
    }
  }
  if (::rename(tmp.c_str(), unit.c_str()) != 0) {
    error_ = "cannot write " + unit + ": " + std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  if (roots::root().empty() && service_manager_present()) {
    if (!run_systemctl({"daemon-reload"}) || !run_systemctl({"enable", inf.service_name + ".service"})) {
      error_ = "systemctl could not enable " + inf.service_name + ".service";
      return false;
    }
  }
  return true;
}

bool DeviceInstaller::restart_host(const std::string& service) {
  if (pid_t pid = running_host_pid(); pid > 0) {
    if (!signal_host(pid, false)) {
      error_ = "cannot signal the driver host (pid " + std::to_string(pid) + "): " + std::strerror(errno);
      return false;
    }
    return true;
  }
  const std::string unit = roots::service_units_dir() + "/" + service + ".service";
  if (roots::root().empty() && service_manager_present() && (is_file(unit) || shipped_unit(service + ".service"))) {
    if (!run_systemctl({"restart", service + ".service"})) {
      error_ = "systemctl could not restart " + service + ".service";
      return false;
    }
  }
  // Otherwise the host reads every instance when it starts.
  return true;
}

bool DeviceInstaller::update_driver(const std::string& hardware_id, const std::string& inf_path, uint32_t,
                                    bool* reboot_required) {
  error_.clear();
  if (reboot_required) *reboot_required = false;
  InfInfo inf;
  if (!read_inf(inf_path, inf, error_)) return false;
  bool offered = false;
  for (auto& h : inf.hardware_ids) offered = offered || iequals(h, hardware_id);
  if (!offered) {
    error_ = inf_path + " offers no driver for " + hardware_id;
    return false;
  }
  bool any = false;
  for (auto& d : present_devices()) any = any || has_id(d, hardware_id);
  if (!any) {
    error_ = "no device with hardware id " + hardware_id;
    return false;
  }
  return install_service(inf) && restart_host(inf.service_name);
}

bool DeviceInstaller::remove_driver_service(const std::string& inf_path) {
  error_.clear();
  InfInfo inf;
  if (!read_inf(inf_path, inf, error_)) return false;
  return remove_driver_service(inf.service_name, inf.hardware_ids);
}

bool DeviceInstaller::remove_driver_service(const std::string& service_name,
                                            const std::vector<std::string>& hardware_ids) {
  error_.clear();
  bool remaining = false;
  for (auto& d : present_devices())
    for (auto& h : hardware_ids) remaining = remaining || has_id(d, h);
  if (remaining) return restart_host(service_name);

  bool ok = true;
  const std::string unit_name = service_name + ".service";
  const std::string unit = roots::service_units_dir() + "/" + unit_name;
  const bool systemd = roots::root().empty() && service_manager_present();
  if (systemd && (is_file(unit) || shipped_unit(unit_name)) && !run_systemctl({"disable", "--now", unit_name})) {
    error_ = "systemctl could not disable " + unit_name;
    ok = false;
  }
  // A host not run by systemd goes too: with no device left it has nothing
  // to serve, as a driver is unloaded after its last device.
  if (pid_t pid = running_host_pid(); pid > 0 && !signal_host(pid, true)) {
    error_ = "the driver host (pid " + std::to_string(pid) + ") did not stop";
    ok = false;
  }
  if (::unlink(unit.c_str()) != 0 && errno != ENOENT) {
    error_ = "cannot remove " + unit + ": " + std::strerror(errno);
    ok = false;
  }
  if (systemd) run_systemctl({"daemon-reload"});
  // The driver's own key stays: its pool of MAC addresses lets adapters
  // installed again come back with the addresses they had.
  return ok;
}

// --- Linux specifics ----------------------------------------------------

namespace {

std::string read_small(const std::string& path) {
  std::ifstream f(path);
  std::string s;
  std::getline(f, s);
  return s;
}

bool process_gone(pid_t pid) {
  if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
  // A zombie is gone for our purpose: it cannot act on the registry any more.
  std::string stat = read_small("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

}  // namespace

pid_t DeviceInstaller::running_host_pid() {
  const std::string pid_file = roots::root() + "/run/velarn/vlncard.pid";
  std::string text = trim(read_small(pid_file));
  if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), ::isdigit)) return 0;
  pid_t pid = pid_t(std::stol(text));
  if (pid <= 1 || process_gone(pid)) return 0;
  // A stale pid file may name a process that has nothing to do with us;
  // signalling it could kill it. Only the driver host is signalled.
  std::string comm = trim(read_small("/proc/" + std::to_string(pid) + "/comm"));
  if (comm != "vlncard") return 0;
  return pid;
}

bool DeviceInstaller::signal_host(pid_t pid, bool stop) {
  if (::kill(pid, stop ? SIGTERM : SIGHUP) != 0) return false;
  if (!stop) return true;
  for (int i = 0; i < 50; ++i) {
    if (process_gone(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
  return false;
}

bool DeviceInstaller::service_manager_present() { return is_dir("/run/systemd/system"); }

bool DeviceInstaller::run_systemctl(const std::vector<std::string>& args) {
  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
    }
    std::vector<char*> argv{const_cast<char*>("systemctl")};
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp("systemctl", argv.data());
    _exit(127);
  }
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0)
    if (errno != EINTR) return false;
  return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

}  // namespace velarn
