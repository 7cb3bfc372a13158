// The crash path in a real process: whatever broke, the process dies within
// seconds, having logged "program crashed" and written the trace.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "files.h"
#include "process.h"
#include "wait.h"

namespace {

class Crash : public ::testing::TestWithParam<const char*> {};

TEST_P(Crash, DiesReportedWithItsTrace) {
#ifdef __SANITIZE_ADDRESS__
  // The address sanitizer's allocator reports a double free itself.
  if (std::string(GetParam()) == "double-free") GTEST_SKIP() << "allocator replaced by the sanitizer";
#endif
  TempRoot root;
  system(("mkdir -p '" + root.data("") + "'").c_str());
  write_file(root.data("kevad.ini"), "[trace]\n");
  // The crash path under test is the service's own: a sanitizer build leaves
  // the fault signals to it.
  const char* asan = std::getenv("ASAN_OPTIONS");
  SpawnOptions options;
  options.env = {std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":handle_segv=0:handle_sigbus=0:handle_abort=0"};
  pid_t pid = spawn({CRASH_PROBE_PATH, GetParam()}, options);
  int status = 0;
  if (!wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 30000, 100)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "the process hung instead of dying\n" << read_file(root.data("kevad.log"));
  }
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_TRUE(WTERMSIG(status) == SIGABRT || WTERMSIG(status) == SIGSEGV) << WTERMSIG(status);
  std::string log = read_file(root.data("kevad.log"));
  EXPECT_NE(std::string::npos, log.find("[error] program crashed at ")) << log;
  std::string trace = read_file(root.data("trace.log"));
  EXPECT_NE(std::string::npos, trace.find("crash_probe_main: starting thread")) << trace;
}

INSTANTIATE_TEST_SUITE_P(Faults, Crash, ::testing::Values("double-free", "trace-lock", "stack-overflow"),
                         [](const ::testing::TestParamInfo<const char*>& i) {
                           std::string n = i.param;
                           n.erase(std::remove(n.begin(), n.end(), '-'), n.end());
                           return n;
                         });

}  // namespace
