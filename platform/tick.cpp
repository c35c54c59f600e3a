// The portable part of the tick count: the test's replacement clock. Each backend's tick.cpp
// reads the system's clock.
#include "platform/tick.h"

#include <atomic>

#include "platform/native.h"

namespace vortane::platform {
namespace {

std::atomic<TickSource> testSource{nullptr};

}  // namespace

uint32_t TickCount() {
  TickSource source = testSource.load(std::memory_order_relaxed);
  return source != nullptr ? source() : native::SystemTickCount();
}

TickSource SetTickSourceForTesting(TickSource source) {
  return testSource.exchange(source, std::memory_order_relaxed);
}

}  // namespace vortane::platform
