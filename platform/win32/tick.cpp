// The Windows tick count: the performance counter in milliseconds.
#include <windows.h>

#include "platform/native.h"

namespace vortane::platform::native {

uint32_t SystemTickCount() {
  // The performance counter rather than GetTickCount: the tick count moves in steps of the
  // system timer (10 to 16 ms), which would stop a match that many milliseconds before its
  // limit. Same unit, same 32-bit wrap.
  static const int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const int64_t ms = now.QuadPart / frequency * 1000 + now.QuadPart % frequency * 1000 / frequency;
  return static_cast<uint32_t>(ms);
}

}  // namespace vortane::platform::native
