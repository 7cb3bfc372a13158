// Helpers for the client-library tests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "vln.h"

// A fresh VELARN_ROOT under /tmp for one test; removed afterwards.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  const std::string& path() const { return path_; }
  std::string data(const std::string& name) const;

 private:
  std::string path_;
};

struct SeenEvent {
  int32_t kind;
  int32_t value;
  std::u16string text;
  bool operator==(const SeenEvent&) const = default;
};

// What the callback below received, in order.
namespace events {
void record(const VLN_Event* e);  // a VLN_Callback
void clear();
std::vector<SeenEvent> seen();
// Waits until at least count events have arrived.
bool wait_for(size_t count, int ms = 5000);
}  // namespace events

// Calls VLN_init until the channel answers.
bool wait_for_channel(int ms = 5000);

std::string read_file(const std::string& path);
// APR for the test's own use of the service's code.
void apr_once();
