#include "platform/text.h"

namespace velarn {

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

bool istarts_with(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

std::string_view trim_view(std::string_view s, std::string_view blanks) {
  size_t b = s.find_first_not_of(blanks);
  if (b == std::string_view::npos) return s.substr(s.size());
  size_t e = s.find_last_not_of(blanks);
  return s.substr(b, e - b + 1);
}

std::string trim(std::string_view s, std::string_view blanks) { return std::string(trim_view(s, blanks)); }

}  // namespace velarn
