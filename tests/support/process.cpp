#include "process.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "files.h"
#include "wait.h"

std::string run_command(const std::string& cmd, int* status) {
  std::string out;
  FILE* p = popen(("(" + cmd + ") 2>&1").c_str(), "r");
  if (!p) {
    if (status) *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = pclose(p);
  if (status) *status = st;
  return out;
}

int shell(const std::string& cmd) {
  int st = std::system(cmd.c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

namespace {

// Everything the child needs is built before the fork: a test program has
// threads, and after a fork only async-signal-safe calls may be made.
struct ExecArgs {
  std::vector<std::string> argv, env;
  std::vector<char*> argp, envp;

  ExecArgs(std::vector<std::string> args, const std::vector<std::string>& extra) : argv(std::move(args)) {
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      std::string name = entry.substr(0, entry.find('='));
      bool replaced = false;
      for (const auto& x : extra) replaced = replaced || x.compare(0, name.size() + 1, name + "=") == 0;
      if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    for (auto& a : argv) argp.push_back(a.data());
    argp.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
  }
  [[noreturn]] void exec() {
    execvpe(argp[0], argp.data(), envp.data());
    _exit(127);
  }
};

int open_output(const std::string& path, bool append) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0600);
}

std::vector<std::string> full_argv(const std::vector<std::string>& argv, const SpawnOptions& o) {
  std::vector<std::string> full;
  if (!o.netns.empty()) full = {"ip", "netns", "exec", o.netns};
  full.insert(full.end(), argv.begin(), argv.end());
  return full;
}

void child_setup(const SpawnOptions& o) {
  if (o.die_with_parent) prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (o.own_group) setpgid(0, 0);
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (in >= 0) dup2(in, 0);
}

}  // namespace

ProgramRun run_program(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  TempDir dir("velarn-run");
  std::string out = dir.path() + "/out", err = dir.path() + "/err";
  pid_t pid = spawn(argv, {.out_file = out, .err_file = err, .env = env});
  ProgramRun r;
  int st = 0;
  if (pid > 0 && waitpid(pid, &st, 0) == pid) r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  r.out = read_file(out);
  r.err = read_file(err);
  return r;
}

pid_t spawn(const std::vector<std::string>& argv, const SpawnOptions& o) {
  ExecArgs run(full_argv(argv, o), o.env);
  std::string out = o.out_file.empty() ? "/dev/null" : o.out_file;
  pid_t pid = fork();
  if (pid == 0) {
    child_setup(o);
    int fd = open_output(out, o.append);
    if (fd >= 0) dup2(fd, 1);
    if (!o.err_file.empty()) {
      int e = open_output(o.err_file, o.append);
      if (e >= 0) dup2(e, 2);
    }
    run.exec();
  }
  return pid;
}

int finish(pid_t pid, int sig, int ms) {
  if (pid <= 0) return -1;
  if (sig) kill(pid, sig);
  int status = 0;
  pid_t r = 0;
  wait_until([&] { return (r = waitpid(pid, &status, WNOHANG)) != 0; }, ms);
  if (r == 0) {
    kill(pid, SIGKILL);
    r = waitpid(pid, &status, 0);
  }
  if (r != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

WatchedProcess::~WatchedProcess() {
  if (pid_ > 0) stop();
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
}

bool WatchedProcess::start(const std::vector<std::string>& argv, SpawnOptions o) {
  if (pid_ > 0) stop();
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  out_.clear();
  eof_ = false;
  ExecArgs run(full_argv(argv, o), o.env);
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return false;
  pid_ = fork();
  if (pid_ == 0) {
    child_setup(o);
    dup2(p[1], 1);
    dup2(p[1], 2);
    run.exec();
  }
  close(p[1]);
  fd_ = p[0];
  if (pid_ < 0) return false;
  thread_ = std::thread([this] { reader(); });
  return true;
}

void WatchedProcess::reader() {
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mu_);
    out_.append(buf, static_cast<size_t>(n));
    cv_.notify_all();
  }
  std::lock_guard<std::mutex> lock(mu_);
  eof_ = true;
  cv_.notify_all();
}

bool WatchedProcess::wait_for(const std::string& text, int ms) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return out_.find(text) != std::string::npos || eof_; });
  return out_.find(text) != std::string::npos;
}

bool WatchedProcess::saw(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  return out_.find(text) != std::string::npos;
}

std::string WatchedProcess::output() {
  std::lock_guard<std::mutex> lock(mu_);
  return out_;
}

int WatchedProcess::port_after(const std::string& marker, int ms) {
  std::unique_lock<std::mutex> lock(mu_);
  auto line_end = [&](size_t at) { return out_.find('\n', at); };
  cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
    size_t at = out_.find(marker);
    return (at != std::string::npos && line_end(at) != std::string::npos) || eof_;
  });
  size_t at = out_.find(marker);
  if (at == std::string::npos) return 0;
  size_t end = line_end(at);
  std::string line = out_.substr(at, end == std::string::npos ? std::string::npos : end - at);
  size_t colon = line.rfind(':');
  return colon == std::string::npos ? 0 : atoi(line.c_str() + colon + 1);
}

int WatchedProcess::wait_exit(int ms) {
  if (pid_ <= 0) return -1;
  int rc = finish(pid_, 0, ms);
  pid_ = -1;
  if (thread_.joinable()) thread_.join();
  return rc >= 0 && rc < 128 ? rc : -1;
}

int WatchedProcess::stop(int sig, int ms) {
  if (pid_ <= 0) return -1;
  kill(pid_, sig);
  return wait_exit(ms);
}
