// Threads, events and named mutexes for the configuration store.
//
// Windows (platform/win32/sync.cpp) uses the calls the filter has always used (CreateThread,
// CreateEventA, SetEvent, PulseEvent, WaitForSingleObject, CreateMutexW, ReleaseMutex,
// CloseHandle). POSIX (platform/posix/sync.cpp) has stand-ins with the same contracts, built on
// the standard library's threads, mutexes and condition variables.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vortane::platform {

// A manual-reset event, created unsignalled. Every member is safe to call from any thread
// while the event lives; the destructor must not race with another call.
class Event {
 public:
  // Cost: one kernel object (Windows) or one allocation (POSIX). When Windows cannot create
  // the event, every wait returns false at once and Set and Pulse do nothing.
  Event();
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Signals the event until it is reset (this system never resets it). Cheap; wakes every
  // waiter.
  void Set();
  // Wakes every thread waiting right now and leaves the event unsignalled. Cheap.
  void Pulse();
  // Waits up to `milliseconds` (0xFFFFFFFF: without limit). True when the event was set
  // or pulsed during the wait, or is set; false when the time ran out. Blocks.
  bool Wait(uint32_t milliseconds);
  // True when the event is signalled now (a wait of 0 ms that does not time out). Never
  // blocks for longer than a lock.
  bool IsSet();

 private:
  struct Native;  // the backend's event, defined in its sync.cpp
  std::unique_ptr<Native> native_;
};

// A thread running one function. Join waits without a time limit; the destructor joins a
// thread that is still joinable. A Thread object is used by one thread (the one that starts
// and joins it); the body runs on the new thread.
class Thread {
 public:
  Thread();
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts `body` on a new thread (default stack). False when it could not be started, or
  // when an earlier thread was started and not joined yet. Cost: one thread creation.
  // Windows: the thread holds a reference on the module whose code it runs and leaves
  // through FreeLibraryAndExitThread, so that the module stays mapped while it runs.
  bool Start(std::function<void()> body);
  // True from a successful Start until Join, whether or not the body has returned yet.
  // Cheap.
  bool Running() const;
  // Waits for the thread to end and releases its handle. Nothing when not started. POSIX:
  // first wakes the thread from a SiteChangeSource::WaitForChange, which then returns at
  // once, so that a thread told to stop before the join ends without finishing its poll.
  // Called by the thread that started it, never by the thread itself. Blocks until the body
  // returns.
  void Join();

 private:
  struct Native;  // the backend's thread, defined in its sync.cpp
  std::unique_ptr<Native> native_;
};

// A named mutex that serialises work across the threads of this process, with the contract
// of CreateMutexW with initial ownership requested: creating a name nobody holds open makes
// a new mutex owned by the creator; creating a name that is already open returns the same
// mutex, not owned, and reports that it already existed. POSIX keeps a process-wide table of
// names, which has the same meaning since every name holds the process id. One object is
// used by one thread; several objects for the same name may be used by different threads.
class NamedMutex {
 public:
  // Creates or opens the mutex `name`. IsValid is false when it could not be created.
  // Cost: one kernel call (Windows) or one lookup in the process-wide table under its lock
  // (POSIX).
  explicit NamedMutex(const std::wstring& name);
  ~NamedMutex();  // closes the handle; releases nothing
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // True when the mutex could be created or opened. Cheap.
  bool IsValid() const;
  // True when the name was already open (ERROR_ALREADY_EXISTS): the caller does not own it.
  bool AlreadyExisted() const { return alreadyExisted_; }
  // Waits without a time limit until this caller owns the mutex. An abandoned mutex counts
  // as obtained. Blocks while another owner holds it.
  void Wait();
  // Gives up ownership. Nothing when invalid, or when this caller does not own it. Cheap.
  void Release();

 private:
  struct Native;  // the backend's mutex, defined in its sync.cpp
  std::unique_ptr<Native> native_;
  bool alreadyExisted_ = false;
};

}  // namespace vortane::platform
