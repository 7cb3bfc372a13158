// Helpers for the client-library tests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "files.h"
#include "vln.h"

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

// APR for the test's own use of the service's code.
void apr_once();
