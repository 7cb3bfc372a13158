// Message catalogs: every text the GUI shows comes from one of four plain
// files by numeric id, so the interface is translated without a rebuild.
// A catalog is kept as its lines and searched linearly; they are small.
#pragma once
#include <initializer_list>
#include <string>
#include <vector>

namespace vlngui {

class Catalog {
 public:
  // Appends every line of the file; false when it cannot be opened or read.
  bool load(const std::string& path);
  void add_line(std::string line) { lines_.push_back(std::move(line)); }
  void clear() { lines_.clear(); }
  const std::vector<std::string>& lines() const { return lines_; }

 private:
  std::vector<std::string> lines_;
};

// The text of entry id, with "\r" and "\n" escapes turned into line breaks and
// the ends trimmed; empty when there is no such entry (there is no fallback).
std::string CatalogText(int id, const Catalog& catalog);

// The text with every substitution pair of the catalog applied in file order.
std::string TranslateServiceText(const std::string& text, const Catalog& service);

// The four catalogs of one language.
struct Catalogs {
  Catalog travix;   // TravixID.txt: captions, menus, messages, file names
  Catalog api;      // APIMessageID.txt: client-library results
  Catalog token;    // VLNTokenID.txt: token-library result codes
  Catalog service;  // ServiceMessage.txt: the service's event texts reworded

  // Loads all four from folder in the start-up order; false when any one is
  // missing or unreadable (start-up then ends without a message).
  bool load(const std::string& folder);
  void clear();

  std::string text(int id) const { return CatalogText(id, travix); }
  std::string api_text(int id) const { return CatalogText(id, api); }
  std::string token_text(int id) const { return CatalogText(id, token); }
};

// "ja" when the user's message locale (LC_ALL, then LC_MESSAGES, then LANG,
// as the C library ranks them) is Japanese, else "en", the default set.
std::string catalog_language();

// Where the catalogs of lang live for a program in program_folder: the
// installed layout <prefix>/share/velarn/catalog/<lang> next to <prefix>/bin,
// or a build tree's copy in a folder at or above the program. Empty when none
// holds them.
std::string find_catalog_folder(const std::string& program_folder, const std::string& lang);

// Fills the %s and %d placeholders of a catalog text in order. Catalog texts
// are data, never handed to printf: a stray or hostile directive in a file
// stays plain text, and a missing argument leaves its placeholder empty.
std::string format_text(const std::string& text, std::initializer_list<std::string> args);

// Trims blanks, tabs and line breaks from both ends.
std::string trim(const std::string& s);

}  // namespace vlngui
