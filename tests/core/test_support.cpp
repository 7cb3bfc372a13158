#include "test_support.h"

#include <apr_general.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "log.h"
#include "platform/roots.h"

TempRoot::TempRoot() {
  char tmpl[] = "/tmp/velarn-test-XXXXXX";
  path_ = mkdtemp(tmpl);
  const char* old = std::getenv("VELARN_ROOT");
  had_old_ = old != nullptr;
  if (old) old_ = old;
  setenv("VELARN_ROOT", path_.c_str(), 1);
  velarn::roots::make_dirs(velarn::roots::data_folder());
}

TempRoot::~TempRoot() {
  if (had_old_)
    setenv("VELARN_ROOT", old_.c_str(), 1);
  else
    unsetenv("VELARN_ROOT");
  std::string cmd = "rm -rf '" + path_ + "'";
  if (std::system(cmd.c_str()) != 0) {
  }
}

std::string TempRoot::data(const std::string& name) const {
  return path_ + "/var/lib/Velarn/" + name;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  std::string line;
  while (std::getline(ss, line)) out.push_back(line);
  return out;
}

namespace {
std::mutex g_mutex;
std::vector<CapturedLog::Entry> g_entries;

void capture(int level, const char* line, size_t len, const char* message) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_entries.push_back({level, std::string(line, len), message});
}
}  // namespace

CapturedLog::CapturedLog() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_entries.clear();
  log_set_session_sink(capture);
}

CapturedLog::~CapturedLog() { log_set_session_sink(nullptr); }

std::vector<CapturedLog::Entry> CapturedLog::entries() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_entries;
}

bool CapturedLog::has_message(const std::string& msg) const {
  for (const auto& e : entries())
    if (e.message == msg) return true;
  return false;
}

PoolFixtureBase::PoolFixtureBase() {
  static bool once = [] {
    apr_initialize();
    return true;
  }();
  (void)once;
  apr_pool_create(&pool, nullptr);
}

PoolFixtureBase::~PoolFixtureBase() { apr_pool_destroy(pool); }
