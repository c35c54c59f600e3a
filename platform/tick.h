// The millisecond tick count used to time regular-expression matches.
//
// Windows (platform/win32/tick.cpp) reads the performance counter, POSIX
// (platform/posix/tick.cpp) a monotonic clock, in milliseconds: both
// exact to the millisecond, where GetTickCount would move in steps of 10 to 16 ms. Both are
// unsigned 32-bit counts that wrap after 2^32 ms, so callers compare them only by
// unsigned subtraction (now - start), which stays right across a wrap.
//
// Tests replace the clock with SetTickSourceForTesting to drive exact-limit and wrap
// cases. The override is process-wide and meant for single-threaded test code.
#pragma once

#include <cstdint>

namespace vortane::platform {

// Returns the current tick count in milliseconds. Cheap (no system call on either
// platform in the common case) and safe from any thread.
uint32_t TickCount();

// A replacement clock for tests; nullptr stands for the system clock.
using TickSource = uint32_t (*)();

// Installs `source` as the clock that TickCount reads and returns the one it replaces.
// Cheap; an atomic exchange, but meant for single-threaded test code (see above).
TickSource SetTickSourceForTesting(TickSource source);

}  // namespace vortane::platform
