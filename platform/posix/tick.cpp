// The POSIX tick count: the monotonic clock in milliseconds.
#include <time.h>

#include "platform/native.h"

namespace vortane::platform::native {

uint32_t SystemTickCount() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  // Truncation to 32 bits is the wrap the callers expect.
  return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                               static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

}  // namespace vortane::platform::native
