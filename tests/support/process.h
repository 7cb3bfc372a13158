// Starting, watching and ending the programs a test runs: ours (kevad,
// vlncard, vlncardsetup, keva-server, the tools) and outside ones.
#pragma once
#include <signal.h>
#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Runs cmd through sh with its standard error joined to its output; the
// output, and in *status the wait status (0 for success).
std::string run_command(const std::string& cmd, int* status = nullptr);
// The exit code of cmd run through sh (-1 when it did not exit).
int shell(const std::string& cmd);

struct ProgramRun {
  int code = -1;  // the exit code, -1 when a signal ended it
  std::string out, err;
};
// Runs a program to its end with standard input from /dev/null, as a script
// would; env holds extra "NAME=value" entries.
ProgramRun run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});

struct SpawnOptions {
  std::string netns = {};             // run inside this namespace (ip netns exec)
  std::string out_file = {};          // standard output, /dev/null when empty
  std::string err_file = {};          // standard error, ours when empty
  bool append = false;                // to out_file and err_file
  std::vector<std::string> env = {};  // "NAME=value"
  bool die_with_parent = false;       // killed when the test program dies
  bool own_group = false;             // a process group of its own
};
pid_t spawn(const std::vector<std::string>& argv, const SpawnOptions& options = {});
// Sends sig (nothing when 0) and waits up to ms for the end, killing it
// after that; the exit code, 128 + the signal that ended it, -1 for none.
int finish(pid_t pid, int sig, int ms = 10000);

// A program whose standard output and error are collected as they come, so
// that it never blocks on a full pipe and a test can wait for its lines.
class WatchedProcess {
 public:
  WatchedProcess() = default;
  ~WatchedProcess();
  WatchedProcess(const WatchedProcess&) = delete;
  WatchedProcess& operator=(const WatchedProcess&) = delete;

  // options.out_file and err_file do not apply.
  bool start(const std::vector<std::string>& argv, SpawnOptions options = {});
  // True once the output holds text; false on time-out or the program's end.
  bool wait_for(const std::string& text, int ms = 5000);
  bool saw(const std::string& text);
  std::string output();
  // The number after the last ':' of the first line holding marker (a
  // listener's port), waiting up to ms; 0 when there is none.
  int port_after(const std::string& marker, int ms = 10000);
  // Sends sig and waits; the exit code, -1 when a signal ended it or it had
  // to be killed after ms.
  int stop(int sig = SIGTERM, int ms = 5000);
  int wait_exit(int ms = 5000);
  pid_t pid() const { return pid_; }

 private:
  void reader();
  pid_t pid_ = -1;
  int fd_ = -1;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::string out_;
  bool eof_ = false;
};
