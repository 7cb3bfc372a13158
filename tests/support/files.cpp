#include "files.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  std::string line;
  while (std::getline(ss, line)) out.push_back(line);
  return out;
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

std::string shell_quote(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

TempDir::TempDir(const std::string& prefix) {
  std::string tmpl = "/tmp/" + prefix + "-" + std::to_string(getpid()) + "-XXXXXX";
  if (mkdtemp(tmpl.data())) path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

TempRoot::TempRoot() : dir_("velarn-root") {
  const char* old = getenv("VELARN_ROOT");
  had_old_ = old != nullptr;
  if (old) old_ = old;
  setenv("VELARN_ROOT", path().c_str(), 1);
  std::error_code ec;
  std::filesystem::create_directories(path() + "/var/lib/Velarn", ec);
}

TempRoot::~TempRoot() {
  if (had_old_)
    setenv("VELARN_ROOT", old_.c_str(), 1);
  else
    unsetenv("VELARN_ROOT");
}

std::string TempRoot::data(const std::string& name) const { return path() + "/var/lib/Velarn/" + name; }
