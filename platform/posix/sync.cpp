// The POSIX threads, events and named mutexes: the standard library's threads, mutexes and
// condition variables, with the contracts of the Windows objects they stand in for.
#include "platform/sync.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/posix/join_signal.h"

namespace vortane::platform {

// ---- Event ----

// A pulse advances `generation` and leaves `set` clear; a waiter returns when the event is
// set or the generation moved on since it began to wait.
struct Event::Native {
  std::mutex mutex;
  std::condition_variable changed;
  bool set = false;
  uint64_t generation = 0;
};

Event::Event() : native_(new Native) {}

Event::~Event() = default;

void Event::Set() {
  std::lock_guard<std::mutex> lock(native_->mutex);
  native_->set = true;
  native_->changed.notify_all();
}

void Event::Pulse() {
  std::lock_guard<std::mutex> lock(native_->mutex);
  // As PulseEvent on a manual-reset event: releases the waiters and leaves the event
  // unsignalled, even when it was set.
  native_->set = false;
  ++native_->generation;
  native_->changed.notify_all();
}

bool Event::Wait(uint32_t milliseconds) {
  std::unique_lock<std::mutex> lock(native_->mutex);
  const uint64_t start = native_->generation;
  const auto signalled = [this, start] { return native_->set || native_->generation != start; };
  if (milliseconds == 0xFFFFFFFFu) {
    native_->changed.wait(lock, signalled);
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  return native_->changed.wait_until(lock, deadline, signalled);
}

bool Event::IsSet() {
  std::lock_guard<std::mutex> lock(native_->mutex);
  return native_->set;
}

// ---- Thread ----

namespace {

// Tells a started thread that someone waits for it to end, so that its polling sleeps
// stop short (SleepUnlessJoined).
struct JoinSignal {
  std::mutex mutex;
  std::condition_variable joining;
  bool joined = false;
};

// The signal of the Thread this thread runs for; null on threads that Thread did not start.
// Valid while the body runs: the Thread joins before it destroys the signal.
thread_local JoinSignal* tJoinSignal = nullptr;

}  // namespace

bool SleepUnlessJoined(std::chrono::milliseconds period) {
  JoinSignal* signal = tJoinSignal;
  if (signal == nullptr) {
    std::this_thread::sleep_for(period);
    return true;
  }
  std::unique_lock<std::mutex> lock(signal->mutex);
  return !signal->joining.wait_for(lock, period, [signal] { return signal->joined; });
}

struct Thread::Native {
  JoinSignal signal;
  std::thread thread;
};

Thread::Thread() = default;

Thread::~Thread() {
  Join();
}

bool Thread::Running() const {
  return native_ != nullptr;
}

bool Thread::Start(std::function<void()> body) {
  if (native_ != nullptr) return false;  // still holds a thread that was not joined
  auto state = std::make_unique<Native>();
  JoinSignal* signal = &state->signal;
  try {
    state->thread = std::thread([signal, body = std::move(body)] {
      tJoinSignal = signal;
      body();
    });
  } catch (const std::system_error&) {
    return false;
  }
  native_ = std::move(state);
  return true;
}

void Thread::Join() {
  if (native_ == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(native_->signal.mutex);
    native_->signal.joined = true;
  }
  native_->signal.joining.notify_all();
  native_->thread.join();
  native_.reset();
}

// ---- NamedMutex ----

namespace {

// One name of the process-wide table.
struct MutexEntry {
  unsigned handles = 0;  // open NamedMutex objects for the name
  bool owned = false;
  std::condition_variable released;
};

struct MutexTable {
  std::mutex lock;
  std::map<std::wstring, MutexEntry> names;
};

// Never destroyed, so that handles closed during the process's exit still find it.
MutexTable& Mutexes() {
  // Destroyed with the library: mutexes live only on the stacks of loading threads, so none
  // is open by then.
  static MutexTable table;
  return table;
}

}  // namespace

// Ownership goes with the handle here, where Windows gives it to the thread; every handle of
// this system is used by one thread only, which makes the two the same. A handle takes the
// mutex again while it owns it, as the owning thread does on Windows, and gives it up when
// it has released it as often. Closing a handle that still owns the mutex releases it, as an
// abandoned mutex is obtained by the next waiter on Windows.
struct NamedMutex::Native {
  std::map<std::wstring, MutexEntry>::iterator entry;
  unsigned holds = 0;  // Waits (and the creation) not yet released through this handle
};

NamedMutex::NamedMutex(const std::wstring& name) : native_(new Native) {
  MutexTable& table = Mutexes();
  std::lock_guard<std::mutex> lock(table.lock);
  const auto [entry, created] = table.names.try_emplace(name);
  ++entry->second.handles;
  native_->entry = entry;
  alreadyExisted_ = !created;
  if (created) {
    entry->second.owned = true;
    native_->holds = 1;
  }
}

NamedMutex::~NamedMutex() {
  MutexTable& table = Mutexes();
  std::lock_guard<std::mutex> lock(table.lock);
  MutexEntry& entry = native_->entry->second;
  if (native_->holds > 0) {
    entry.owned = false;
    entry.released.notify_one();
  }
  if (--entry.handles == 0) table.names.erase(native_->entry);
}

bool NamedMutex::IsValid() const {
  return true;
}

void NamedMutex::Wait() {
  MutexTable& table = Mutexes();
  std::unique_lock<std::mutex> lock(table.lock);
  MutexEntry& entry = native_->entry->second;
  if (native_->holds == 0) {
    entry.released.wait(lock, [&entry] { return !entry.owned; });
    entry.owned = true;
  }
  ++native_->holds;
}

void NamedMutex::Release() {
  MutexTable& table = Mutexes();
  std::lock_guard<std::mutex> lock(table.lock);
  if (native_->holds == 0) return;  // not the owner: ReleaseMutex fails
  if (--native_->holds > 0) return;
  MutexEntry& entry = native_->entry->second;
  entry.owned = false;
  entry.released.notify_one();
}

}  // namespace vortane::platform
