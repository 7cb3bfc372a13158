// Helpers shared by the service-core tests.
#pragma once
#include <apr_pools.h>

#include <string>
#include <vector>

// A fresh VELARN_ROOT under /tmp for one test; removed afterwards.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  const std::string& path() const { return path_; }
  std::string data(const std::string& name) const;  // file in the data folder
 private:
  std::string path_;
  std::string old_;
  bool had_old_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);
std::vector<std::string> lines_of(const std::string& text);

// Log lines seen through the session hook while it is alive.
class CapturedLog {
 public:
  CapturedLog();
  ~CapturedLog();
  struct Entry {
    int level;
    std::string line;
    std::string message;
  };
  std::vector<Entry> entries() const;
  bool has_message(const std::string& msg) const;
};

// APR initialised once per test binary, with a pool per test.
class PoolFixtureBase {
 protected:
  PoolFixtureBase();
  ~PoolFixtureBase();
  apr_pool_t* pool = nullptr;
};
