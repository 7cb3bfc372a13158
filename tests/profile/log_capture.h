// Collects the service's log lines for assertions, through the session sink
// that sees every line whatever the level. The writer is put in debug mode so
// that the lines also show on standard error instead of landing in the
// machine's data folder.
#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "keva/log.h"

class LogCapture {
 public:
  LogCapture() {
    std::lock_guard<std::mutex> g(mu());
    lines().clear();
    log_set_modes(true, false);
    log_set_session_sink(&LogCapture::sink);
  }
  ~LogCapture() { log_set_session_sink(nullptr); }

  std::vector<std::string> messages() const {
    std::lock_guard<std::mutex> g(mu());
    return lines();
  }
  bool has(const std::string& message) const {
    for (const auto& m : messages())
      if (m == message) return true;
    return false;
  }
  bool contains(const std::string& part) const {
    for (const auto& m : messages())
      if (m.find(part) != std::string::npos) return true;
    return false;
  }
  std::string all() const {
    std::string s;
    for (const auto& m : messages()) s += m + "\n";
    return s;
  }

 private:
  static std::mutex& mu() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::string>& lines() {
    static std::vector<std::string> v;
    return v;
  }
  static void sink(int, const char*, size_t, const char* message) {
    std::lock_guard<std::mutex> g(mu());
    lines().push_back(message);
  }
};
