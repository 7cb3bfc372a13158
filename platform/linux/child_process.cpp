#include "platform/child_process.h"

#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velarn {

bool run_in_copy(const std::function<void()>& fn) {
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    fn();
    // The parent's exit handlers and buffered streams are the parent's.
    _exit(0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

}  // namespace velarn
