#include "vln_support.h"

#include <apr_general.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "wait.h"

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
  return wait_until([] { return VLN_init() == VLN_OK; }, ms);
}

void apr_once() {
  static std::once_flag once;
  std::call_once(once, [] { apr_initialize(); });
}
