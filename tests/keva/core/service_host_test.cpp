#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "files.h"
#include "kevad_internal.h"
#include "log.h"
#include "platform/service.h"
#include "trace.h"

using namespace velarn;

namespace {
struct Seen {
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::pair<uint32_t, uint32_t>> codes;
  std::thread::id thread;

  uint32_t handle(uint32_t c, uint32_t e) {
    std::lock_guard<std::mutex> lock(m);
    codes.emplace_back(c, e);
    thread = std::this_thread::get_id();
    cv.notify_all();
    return 0;
  }
  bool wait_for(size_t n) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, std::chrono::seconds(5), [&] { return codes.size() >= n; });
  }
};
}  // namespace

TEST(ServiceHost, DeliversControlsOnItsOwnThread) {
  Seen seen;
  ServiceHost host(false, true);
  ASSERT_TRUE(host.register_handler([&](uint32_t c, uint32_t e) { return seen.handle(c, e); }));
  host.inject(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND);
  host.inject(SERVICE_CONTROL_INTERROGATE);
  ASSERT_TRUE(seen.wait_for(2));
  EXPECT_NE(std::this_thread::get_id(), seen.thread);
  std::vector<std::pair<uint32_t, uint32_t>> want = {{SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND},
                                                     {SERVICE_CONTROL_INTERROGATE, 0}};
  EXPECT_EQ(want, seen.codes);
  host.close();
}

TEST(ServiceHost, TerminateAndInterruptGiveStopInDebugMode) {
  Seen seen;
  ServiceHost host(false, true);
  ASSERT_TRUE(host.register_handler([&](uint32_t c, uint32_t e) { return seen.handle(c, e); }));
  kill(getpid(), SIGTERM);
  ASSERT_TRUE(seen.wait_for(1));
  kill(getpid(), SIGINT);
  ASSERT_TRUE(seen.wait_for(2));
  EXPECT_EQ(SERVICE_CONTROL_STOP, seen.codes[0].first);
  EXPECT_EQ(SERVICE_CONTROL_STOP, seen.codes[1].first);
  host.close();
}

TEST(CrashHandler, LogsDumpsTheTraceAndDiesOfTheSignal) {
  TempRoot root;
  std::string dump = root.data("trace.log");
  pid_t pid = fork();
  if (pid == 0) {
    log_set_modes(false, false);
    trace_reset_for_test(4096, dump.c_str());
    log_info("before the crash");
    kevad_crash_prepare();
    install_crash_handler(kevad_crash_report);
    raise(SIGSEGV);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(SIGSEGV, WTERMSIG(status));
  std::string err = read_file(root.data("kevad-error.log"));
  EXPECT_NE(std::string::npos, err.find("[error] program crashed at "));
  EXPECT_NE(std::string::npos, err.find(" code b\n"));  // SIGSEGV is 11
  std::string trace = read_file(dump);
  EXPECT_NE(std::string::npos, trace.find("[info] before the crash\n"));
  EXPECT_NE(std::string::npos, trace.find("program crashed at"));
}
