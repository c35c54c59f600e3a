// Threads, events and named mutexes for the configuration store, and the source of
// site-change notifications.
//
// Windows uses the calls the filter has always used (CreateThread, CreateEventA, SetEvent,
// PulseEvent, WaitForSingleObject, CreateMutexW, ReleaseMutex, CloseHandle, and a COM
// component for site changes). POSIX has stand-ins with the same contracts.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/system.h"

namespace vortane::platform {

// A manual-reset event, created unsignalled. Safe to use from any thread.
class Event {
 public:
  Event();
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Signals the event until it is reset (this system never resets it).
  void Set();
  // Wakes every thread waiting right now and leaves the event unsignalled.
  void Pulse();
  // Waits up to `milliseconds` (0xFFFFFFFF: without limit). True when the event was set
  // or pulsed during the wait, or is set; false when the time ran out.
  bool Wait(uint32_t milliseconds);
  // True when the event is signalled now (a wait of 0 ms that does not time out).
  bool IsSet();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A thread running one function. Join waits without a time limit; the destructor joins a
// thread that is still joinable.
class Thread {
 public:
  Thread();
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts `body` on a new thread (default stack). False when it could not be started, or
  // when an earlier thread was started and not joined yet.
  bool Start(std::function<void()> body);
  // True from a successful Start until Join, whether or not the body has returned yet.
  bool Running() const;
  // Waits for the thread to end and releases its handle. Nothing when not started. POSIX:
  // first wakes the thread from a SiteChangeSource::WaitForChange, which then returns at
  // once, so that a thread told to stop before the join ends without finishing its poll.
  // Called by the thread that started it, never by the thread itself.
  void Join();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A named mutex that serialises work across the threads of this process, with the contract
// of CreateMutexW with initial ownership requested: creating a name nobody holds open makes
// a new mutex owned by the creator; creating a name that is already open returns the same
// mutex, not owned, and reports that it already existed. POSIX keeps a process-wide table of
// names, which has the same meaning since every name holds the process id.
class NamedMutex {
 public:
  // Creates or opens the mutex `name`. IsValid is false when it could not be created.
  explicit NamedMutex(const std::wstring& name);
  ~NamedMutex();  // closes the handle; releases nothing
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  bool IsValid() const;
  // True when the name was already open (ERROR_ALREADY_EXISTS): the caller does not own it.
  bool AlreadyExisted() const { return alreadyExisted_; }
  // Waits without a time limit until this caller owns the mutex. An abandoned mutex counts
  // as obtained.
  void Wait();
  // Gives up ownership. Nothing when invalid.
  void Release();

 private:
  struct State;
  std::unique_ptr<State> state_;
  bool alreadyExisted_ = false;
};

// The identifier of the current process.
uint32_t CurrentProcessId();

// Reports web sites whose settings changed in the web server's configuration.
//
// Windows: the in-process COM component {27C3B8ED-0790-42BD-9AD7-18465E7F7696}, asked for
// the interface {A9E69612-B80D-11D0-B9B9-00A0C922E750}, whose slots 5, 6 and 7 are
// WaitForChange, StartWatching and StopWatching; COM is initialised on the calling thread by
// the constructor and balanced by the destructor. POSIX: watches the site table `sites.txt` in
// `tableDirectory` and reports, within about a second, each site whose line was added,
// removed or changed. A source is created, used and destroyed on one thread.
class SiteChangeSource {
 public:
  enum class Wait {
    Changed,  // a site changed: its number is in `siteId`
    Nothing,  // nothing to report yet; call again after checking for a stop
    End,      // no further notifications, or a failure: stop using the source
  };

  // Creates the source. IsOpen is false when it cannot be had (COM not initialised, the
  // component not registered).
  explicit SiteChangeSource(const PathString& tableDirectory);
  ~SiteChangeSource();  // releases the component, then balances COM
  SiteChangeSource(const SiteChangeSource&) = delete;
  SiteChangeSource& operator=(const SiteChangeSource&) = delete;

  bool IsOpen() const;
  // Begins watching. False ends the use of the source (no StopWatching then).
  bool StartWatching();
  // Waits for a change. Returns Nothing at least once a second while nothing changes.
  // POSIX: reads the table about every 200 ms; on a thread whose Thread is being joined it
  // returns Nothing after one read, without waiting.
  Wait WaitForChange(uint32_t& siteId);
  // Ends watching; called once after the last WaitForChange when StartWatching succeeded.
  void StopWatching();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vortane::platform
