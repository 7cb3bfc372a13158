// The service's lifecycle with a fault planted in a thread of its own, for the
// crash tests: kevad_main in service mode, the trace on, and once started a
// thread that double-frees, faults inside the trace lock, or overflows its
// stack, while another thread keeps running.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "keva/kevad.h"
#include "keva/trace.h"

namespace {

std::string g_mode;
std::atomic<bool> g_spin{true};

// Deep enough to overflow any thread stack; the limit only keeps the
// compiler from calling it endless.
__attribute__((noinline)) int recurse(volatile char* prev, long depth) {
  volatile char big[4096];
  big[0] = prev ? prev[0] : 1;
  return depth > 0 ? recurse(big, depth - 1) + big[0] : big[0];
}

void fault() {
  trace_thread_start("crash_probe_main");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  if (g_mode == "double-free") {
    void* volatile p = std::malloc(64);
    std::free(p);
    std::free(p);
  } else if (g_mode == "trace-lock") {
    // The copy into the ring faults while its lock is held.
    trace_append(reinterpret_cast<const char*>(16), 4096);
  } else if (g_mode == "stack-overflow") {
    recurse(nullptr, 1L << 30);
  }
}

int start(apr_pool_t*) {
  std::thread([] {
    trace_thread_start("crash_probe_spin");
    while (g_spin.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }).detach();
  std::thread(fault).detach();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  g_mode = argv[1];
  KevadParts parts{};
  parts.startup_session = start;
  kevad_register_parts(&parts);
  char service[] = "service";
  char* args[] = {argv[0], service, nullptr};
  return kevad_main(2, args);
}
