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
  return GetTickCount();
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
