#include "in_process.h"

#include <apr_general.h>

#include <mutex>

#include "keva/log.h"

namespace {
std::mutex g_mutex;
std::vector<CapturedLog::Entry> g_entries;

void capture(int level, const char* line, size_t len, const char* message) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_entries.push_back({level, std::string(line, len), message});
}
}  // namespace

CapturedLog::CapturedLog(Writer writer) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_entries.clear();
  if (writer == kDebugMode) log_set_modes(true, false);
  log_set_session_sink(capture);
}

CapturedLog::~CapturedLog() { log_set_session_sink(nullptr); }

std::vector<CapturedLog::Entry> CapturedLog::entries() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_entries;
}

std::vector<std::string> CapturedLog::messages() const {
  std::vector<std::string> out;
  for (const auto& e : entries()) out.push_back(e.message);
  return out;
}

bool CapturedLog::has(const std::string& message) const {
  for (const auto& e : entries())
    if (e.message == message) return true;
  return false;
}

bool CapturedLog::contains(const std::string& part) const {
  for (const auto& e : entries())
    if (e.message.find(part) != std::string::npos) return true;
  return false;
}

std::string CapturedLog::all() const {
  std::string s;
  for (const auto& e : entries()) s += e.message + "\n";
  return s;
}

PoolFixtureBase::PoolFixtureBase() {
  static std::once_flag once;
  std::call_once(once, [] { apr_initialize(); });
  apr_pool_create(&pool, nullptr);
}

PoolFixtureBase::~PoolFixtureBase() { apr_pool_destroy(pool); }
