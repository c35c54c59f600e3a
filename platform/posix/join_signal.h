// POSIX only, internal to platform/: how a polling loop on a thread that Thread started learns
// that the thread is being joined, so that stopping it does not wait out a poll period.
// Defined in platform/posix/sync.cpp beside Thread.
#pragma once

#include <chrono>

namespace vortane::platform {

// Sleeps for `period`. True when the whole period passed; false, at once, when the calling
// thread is being joined (Thread::Join was called, before or during the sleep). On a thread
// that Thread did not start, a plain sleep that returns true. Only the calling thread's own
// signal is read; safe from any thread.
bool SleepUnlessJoined(std::chrono::milliseconds period);

}  // namespace vortane::platform
