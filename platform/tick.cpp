#include "platform/tick.h"

#include <atomic>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#endif

namespace vortane::platform {
namespace {

uint32_t SystemTickCount() {
#ifdef _WIN32
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
#else
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  // Truncation to 32 bits is the wrap the callers expect.
  return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                               static_cast<uint64_t>(now.tv_nsec) / 1000000u);
#endif
}

std::atomic<TickSource> testSource{nullptr};

}  // namespace

uint32_t TickCount() {
  TickSource source = testSource.load(std::memory_order_relaxed);
  return source != nullptr ? source() : SystemTickCount();
}

TickSource SetTickSourceForTesting(TickSource source) {
  return testSource.exchange(source, std::memory_order_relaxed);
}

}  // namespace vortane::platform
