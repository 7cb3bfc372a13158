#pragma once
#include <map>
#include <set>
#include <string>

namespace ks {

// Credentials the server accepts; see the users-file part of --help.
// Read once before the first client and only read afterwards.
struct Users {
  bool loaded = false;                           // false: every login is accepted
  std::map<std::string, std::string> passwords;  // user -> password; a later line wins
  std::set<std::string> cert_cns, tickets, disabled;

  // Returns an empty string, or the reason the file was rejected ("FILE:LINE: ...").
  // A rejected file leaves loaded false, and the server does not start.
  std::string load(const std::string& path);
};

}  // namespace ks
