// For tests that run the service's own code in the test program: its log
// lines as they are written, and APR with a pool per test.
#pragma once
#include <apr_pools.h>

#include <string>
#include <vector>

// Log lines seen through the session sink, whatever their level, while the
// object lives; a newer one starts afresh.
class CapturedLog {
 public:
  enum Writer { kKeepWriter, kDebugMode };
  // kDebugMode also puts the writer in debug mode, so that the lines go to
  // standard error rather than to a data folder the test did not make.
  explicit CapturedLog(Writer writer = kKeepWriter);
  ~CapturedLog();
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;

  struct Entry {
    int level;
    std::string line;
    std::string message;
  };
  std::vector<Entry> entries() const;
  std::vector<std::string> messages() const;
  bool has(const std::string& message) const;
  bool contains(const std::string& part) const;
  // Every message, a line each, for failure output.
  std::string all() const;
};

// APR initialised once per test program, with a pool per test.
class PoolFixtureBase {
 protected:
  PoolFixtureBase();
  ~PoolFixtureBase();
  apr_pool_t* pool = nullptr;
};
