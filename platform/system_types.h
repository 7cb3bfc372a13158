// The few system values that cross the platform seam, in types of our own, so
// that no portable header needs the system's: an account, a process, and an
// open object a wait can watch. A port maps its system's values onto these;
// only the platform layer looks inside a handle.
#pragma once
#include <cstdint>

namespace velarn {

// An account as the system numbers it (0 is the system's own account).
using UserId = uint32_t;
inline constexpr UserId kNoUser = UINT32_MAX;

// A process; 0 names none.
using ProcessId = int32_t;

// An open system object (a descriptor here); kNoHandle names none.
using NativeHandle = int;
inline constexpr NativeHandle kNoHandle = -1;

}  // namespace velarn
