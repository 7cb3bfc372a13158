// Catalog files are UTF-8 text, one entry per line; see catalog.h.
#include "catalog.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/text.h"

namespace vlngui {

namespace {

const char* const kWhite = " \t\r\n\f\v";

bool is_dir(const std::string& p) {
  std::error_code ec;
  return std::filesystem::is_directory(p, ec);
}

void replace_all(std::string& s, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  size_t pos = 0;
  while ((pos = s.find(from, pos)) != std::string::npos) {
    s.replace(pos, from.size(), to);
    pos += to.size();
  }
}

}  // namespace

std::string trim(const std::string& s) { return velarn::trim(s, kWhite); }

std::string format_text(const std::string& text, std::initializer_list<std::string> args) {
  std::string out;
  auto arg = args.begin();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && (text[i + 1] == 's' || text[i + 1] == 'd')) {
      if (arg != args.end()) out += *arg++;
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool Catalog::load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  bool first = true;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // An editor's byte-order mark would otherwise hide the first entry's id.
    if (first && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    first = false;
    lines_.push_back(std::move(line));
  }
  return !in.bad();
}

std::string CatalogText(int id, const Catalog& catalog) {
  if (id == 0) return {};
  const std::string key = std::to_string(id);
  for (const std::string& line : catalog.lines()) {
    if (line.find(key) == std::string::npos) continue;
    size_t tab = line.find('\t');
    if (line.compare(0, tab, key) != 0 || (tab == std::string::npos ? line.size() : tab) != key.size()) continue;
    std::string text;
    if (tab != std::string::npos) {
      size_t end = line.find('\t', tab + 1);
      text = line.substr(tab + 1, end == std::string::npos ? std::string::npos : end - tab - 1);
    }
    replace_all(text, "\\r", "\r");
    replace_all(text, "\\n", "\n");
    return trim(text);
  }
  return {};
}

std::string TranslateServiceText(const std::string& text, const Catalog& service) {
  if (text.empty()) return {};
  std::string out = text;
  for (const std::string& line : service.lines()) {
    size_t tab = line.find('\t');
    if (tab == std::string::npos) continue;
    // An empty key would match everywhere and never advance; such a line is
    // a slip in the file, not a substitution.
    std::string key = trim(line.substr(0, tab));
    if (key.empty()) continue;
    replace_all(out, key, trim(line.substr(tab + 1)));
  }
  return trim(out);
}

bool Catalogs::load(const std::string& folder) {
  clear();
  std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  bool ok = travix.load(base + "TravixID.txt") && token.load(base + "VLNTokenID.txt") &&
            api.load(base + "APIMessageID.txt") && service.load(base + "ServiceMessage.txt");
  if (!ok) clear();
  return ok;
}

void Catalogs::clear() {
  travix.clear();
  api.clear();
  token.clear();
  service.clear();
}

std::string catalog_language() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* v = std::getenv(var);
    if (v && *v) return std::string(v).compare(0, 2, "ja") == 0 ? "ja" : "en";
  }
  return "en";
}

std::string find_catalog_folder(const std::string& program_folder, const std::string& lang) {
  std::string dir = program_folder;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  // The build tree keeps its copy at the top of the tree, a few levels above
  // the programs and test binaries; an installed program has it at ../share.
  for (int up = 0; up < 4 && !dir.empty(); ++up) {
    std::string candidate = dir + "/share/velarn/catalog/" + lang;
    if (is_dir(candidate)) return candidate;
    if (up == 0 && is_dir(dir + "/catalog/" + lang)) return dir + "/catalog/" + lang;
    size_t slash = dir.find_last_of('/');
    if (slash == std::string::npos) break;
    dir = dir.substr(0, slash);
    if (dir.empty()) dir = "/";
    if (dir == "/") {
      if (is_dir("/share/velarn/catalog/" + lang)) return "/share/velarn/catalog/" + lang;
      break;
    }
  }
  return {};
}

}  // namespace vlngui
