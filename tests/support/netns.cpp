#include "netns.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include "process.h"

PrivateNetns::~PrivateNetns() {
  if (home_ >= 0) {
    setns(home_, CLONE_NEWNET);
    close(home_);
  }
  if (added_) run_command("ip netns del " + name_);
}

std::string PrivateNetns::create(const std::string& prefix) {
  name_ = prefix + std::to_string(getpid());
  std::string out = run_command("ip netns add " + name_);
  added_ = out.empty();
  return out;
}

std::string PrivateNetns::ip(const std::string& args) const { return run_command("ip -n " + name_ + " " + args); }

bool PrivateNetns::enter() {
  home_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  int fd = open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
  if (home_ < 0 || fd < 0) {
    if (fd >= 0) close(fd);
    return false;
  }
  bool ok = setns(fd, CLONE_NEWNET) == 0;
  close(fd);
  return ok;
}
