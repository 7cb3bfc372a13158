#include "vln_support.h"

#include <apr_general.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

TempRoot::TempRoot() {
  char tmpl[] = "/tmp/velarn-vln-XXXXXX";
  path_ = mkdtemp(tmpl);
  setenv("VELARN_ROOT", path_.c_str(), 1);
  std::string cmd = "mkdir -p '" + path_ + "/var/lib/Velarn'";
  if (std::system(cmd.c_str()) != 0) {
  }
}

TempRoot::~TempRoot() {
  unsetenv("VELARN_ROOT");
  std::string cmd = "rm -rf '" + path_ + "'";
  if (std::system(cmd.c_str()) != 0) {
  }
}

std::string TempRoot::data(const std::string& name) const { return path_ + "/var/lib/Velarn/" + name; }

namespace {
std::mutex g_mutex;
std::condition_variable g_cv;
std::vector<SeenEvent> g_seen;
}  // namespace

namespace events {

void record(const VLN_Event* e) {
  std::u16string text;
  for (const uint16_t* p = e->text; p && *p; ++p) text.push_back(static_cast<char16_t>(*p));
  std::lock_guard<std::mutex> lock(g_mutex);
  g_seen.push_back({e->kind, e->value, text});
  g_cv.notify_all();
}

void clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_seen.clear();
}

std::vector<SeenEvent> seen() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_seen;
}

bool wait_for(size_t count, int ms) {
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return g_seen.size() >= count; });
}

}  // namespace events

bool wait_for_channel(int ms) {
  for (int i = 0; i < ms / 20; ++i) {
    if (VLN_init() == VLN_OK) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void apr_once() {
  static std::once_flag once;
  std::call_once(once, [] { apr_initialize(); });
}
