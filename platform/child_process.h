// Work that must not take the caller down with it: a library that ends the
// whole process when it fails (a GUI toolkit on a display it cannot reach)
// runs in a copy of the process instead.
#pragma once
#include <functional>

namespace velarn {

// Runs fn in a copy of this process and waits for the copy to end; the copy
// ends when fn returns, and however it ends is not the caller's outcome.
// False when no copy could be made (fn did not run).
bool run_in_copy(const std::function<void()>& fn);

}  // namespace velarn
