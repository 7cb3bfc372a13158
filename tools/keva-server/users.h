#pragma once
#include <map>
#include <set>
#include <string>

namespace ks {

// Credentials the server accepts; see the users-file part of --help.
struct Users {
  bool loaded = false;  // false: every login is accepted
  std::map<std::string, std::string> passwords;
  std::set<std::string> cert_cns, tickets, disabled;

  // Returns an empty string, or the reason the file was rejected ("FILE:LINE: ...").
  std::string load(const std::string& path);
};

}  // namespace ks
