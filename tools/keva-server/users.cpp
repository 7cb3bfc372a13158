// The users file (format in --help). A line the server cannot read is an
// error, never skipped: a test must not pass because a user was silently
// missing.
#include "users.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace ks {

std::string Users::load(const std::string& path) {
  std::ifstream in(path);
  if (!in) return path + ": " + strerror(errno);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    // Files written on other systems end lines with CR LF.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    // At the first colon: passwords and tickets may contain colons.
    size_t colon = line.find(':');
    auto where = [&] { return path + ":" + std::to_string(number) + ": "; };
    if (colon == std::string::npos) return where() + "expected KIND:VALUE";
    std::string kind = line.substr(0, colon), value = line.substr(colon + 1);
    if (kind.empty()) return where() + "empty user name";
    if (kind == "cert-cn") {
      if (value.empty()) return where() + "empty certificate name";
      cert_cns.insert(value);
    } else if (kind == "ticket") {
      if (value.empty()) return where() + "empty ticket";
      tickets.insert(value);
    } else if (kind == "disabled") {
      if (value.empty()) return where() + "empty user name";
      disabled.insert(value);
    } else {
      passwords[kind] = value;
    }
  }
  if (in.bad()) return path + ": read error";
  loaded = true;
  return "";
}

}  // namespace ks
