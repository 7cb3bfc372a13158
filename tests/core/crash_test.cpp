// The crash path in a real process: whatever broke, the process dies within
// seconds, having logged "program crashed" and written the trace.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <thread>
#include <vector>

#include "test_support.h"

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
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0) env.emplace_back(*e);
  const char* asan = std::getenv("ASAN_OPTIONS");
  env.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":handle_segv=0:handle_sigbus=0:handle_abort=0");
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    execle(CRASH_PROBE_PATH, CRASH_PROBE_PATH, GetParam(), static_cast<char*>(nullptr), envp.data());
    _exit(127);
  }
  int status = 0;
  pid_t r = 0;
  for (int i = 0; i < 300 && (r = waitpid(pid, &status, WNOHANG)) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  if (r == 0) {
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
