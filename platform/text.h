// Small text rules shared by every part: names from settings files, INF
// files, the registry and protocol headers compare without regard to case,
// and values read from them lose their surrounding blanks. Only ASCII letters
// fold, whatever the process locale: these are identifiers, not prose.
#pragma once
#include <string>
#include <string_view>

namespace velarn {

// The blanks a settings value or a read line loses at both ends.
inline constexpr std::string_view kBlanks = " \t\r\n";

char ascii_lower(char c);
std::string ascii_lower(std::string_view s);

// Equal when equal after folding ASCII letters.
bool iequals(std::string_view a, std::string_view b);
// s begins with prefix, letters folded.
bool istarts_with(std::string_view s, std::string_view prefix);

// s without the characters of blanks at either end.
std::string trim(std::string_view s, std::string_view blanks = kBlanks);
// The same, as a view into s (empty at s's end when s is all blanks), for
// parsers that keep positions.
std::string_view trim_view(std::string_view s, std::string_view blanks = kBlanks);

}  // namespace velarn
