#include "platform/sync.h"

#include <utility>

#ifdef _WIN32
#include <windows.h>

#include <objbase.h>

#include "platform/win32/com_scope.h"
#else
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/posix/site_table.h"
#endif

namespace vortane::platform {

#ifdef _WIN32

// ---- Event ----

struct Event::State {
  HANDLE handle;
};

Event::Event() : state_(new State{CreateEventA(nullptr, TRUE, FALSE, nullptr)}) {}

Event::~Event() {
  if (state_->handle != nullptr) CloseHandle(state_->handle);
}

void Event::Set() {
  if (state_->handle != nullptr) SetEvent(state_->handle);
}

void Event::Pulse() {
  if (state_->handle != nullptr) PulseEvent(state_->handle);
}

bool Event::Wait(uint32_t milliseconds) {
  return state_->handle != nullptr &&
         WaitForSingleObject(state_->handle, milliseconds) == WAIT_OBJECT_0;
}

bool Event::IsSet() {
  return Wait(0);
}

// ---- Thread ----

struct Thread::State {
  HANDLE handle;
};

namespace {

// What a new thread runs, and the module it keeps loaded while it runs.
struct ThreadStart {
  std::function<void()> body;
  HMODULE module;
};

// A thread leaves through FreeLibraryAndExitThread: it holds a reference on the module
// whose code it runs, so the module cannot be unmapped under it, and a FreeLibrary by the
// host never has to wait for it while holding the loader lock (which the thread needs to
// exit). The filter's threads therefore end with TerminateFilter, which stops them outside
// the loader lock, or with the process.
DWORD WINAPI RunThreadBody(LPVOID parameter) {
  HMODULE module = nullptr;
  {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
    module = start->module;
    start->body();
  }
  if (module != nullptr) FreeLibraryAndExitThread(module, 0);
  return 0;
}

}  // namespace

bool Thread::Start(std::function<void()> body) {
  if (state_ != nullptr) return false;  // still holds a thread that was not joined
  auto start = std::make_unique<ThreadStart>(ThreadStart{std::move(body), nullptr});
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     reinterpret_cast<LPCWSTR>(&RunThreadBody), &start->module);
  HANDLE handle = CreateThread(nullptr, 0, RunThreadBody, start.get(), 0, nullptr);
  if (handle == nullptr) {
    if (start->module != nullptr) FreeLibrary(start->module);
    return false;
  }
  start.release();  // the thread owns it now
  state_.reset(new State{handle});
  return true;
}

void Thread::Join() {
  if (state_ == nullptr) return;
  WaitForSingleObject(state_->handle, INFINITE);
  CloseHandle(state_->handle);
  state_.reset();
}

// ---- NamedMutex ----

struct NamedMutex::State {
  HANDLE handle;
};

NamedMutex::NamedMutex(const std::wstring& name) {
  HANDLE handle = CreateMutexW(nullptr, TRUE, name.c_str());
  // Read at once: nothing may run between the call and the error it leaves.
  alreadyExisted_ = handle != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
  state_.reset(new State{handle});
}

NamedMutex::~NamedMutex() {
  if (state_->handle != nullptr) CloseHandle(state_->handle);
}

bool NamedMutex::IsValid() const {
  return state_->handle != nullptr;
}

void NamedMutex::Wait() {
  // WAIT_OBJECT_0 and WAIT_ABANDONED both leave this thread the owner.
  if (state_->handle != nullptr) WaitForSingleObject(state_->handle, INFINITE);
}

void NamedMutex::Release() {
  if (state_->handle != nullptr) ReleaseMutex(state_->handle);
}

uint32_t CurrentProcessId() {
  return GetCurrentProcessId();
}

// ---- SiteChangeSource ----

namespace {

// The notifier's class and the interface it is asked for.
// {27C3B8ED-0790-42BD-9AD7-18465E7F7696}
const CLSID kNotifierClassId = {
    0x27c3b8ed, 0x0790, 0x42bd, {0x9a, 0xd7, 0x18, 0x46, 0x5e, 0x7f, 0x76, 0x96}};
// {A9E69612-B80D-11D0-B9B9-00A0C922E750}
const IID kNotifierInterfaceId = {
    0xa9e69612, 0xb80d, 0x11d0, {0xb9, 0xb9, 0x00, 0xa0, 0xc9, 0x22, 0xe7, 0x50}};

// WaitForChange: no further notifications will come.
constexpr HRESULT kNoFurtherNotifications = 0x00040201;

struct Notifier;

// The notifier's slots in order: IUnknown's three, the change-sink interface's two
// notification methods (never called here), then the three watching operations.
struct NotifierSlots {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(Notifier* self, REFIID id, void** object);
  ULONG(STDMETHODCALLTYPE* AddRef)(Notifier* self);
  ULONG(STDMETHODCALLTYPE* Release)(Notifier* self);
  HRESULT(STDMETHODCALLTYPE* SinkNotify)(Notifier* self, DWORD count, void* changes);
  HRESULT(STDMETHODCALLTYPE* ShutdownNotify)(Notifier* self);
  HRESULT(STDMETHODCALLTYPE* WaitForChange)(Notifier* self, DWORD* siteId);
  HRESULT(STDMETHODCALLTYPE* StartWatching)(Notifier* self);
  HRESULT(STDMETHODCALLTYPE* StopWatching)(Notifier* self);
};

struct Notifier {
  const NotifierSlots* slots;
};

}  // namespace

struct SiteChangeSource::State {
  ComScope com;  // declared first: balanced after the notifier's release
  Notifier* notifier = nullptr;
};

SiteChangeSource::SiteChangeSource(const PathString& /*tableDirectory*/) : state_(new State) {
  if (!state_->com.initialised()) return;
  void* created = nullptr;
  if (SUCCEEDED(CoCreateInstance(kNotifierClassId, nullptr, CLSCTX_INPROC_SERVER,
                                 kNotifierInterfaceId, &created))) {
    state_->notifier = static_cast<Notifier*>(created);
  }
}

SiteChangeSource::~SiteChangeSource() {
  if (state_->notifier != nullptr) state_->notifier->slots->Release(state_->notifier);
}

bool SiteChangeSource::IsOpen() const {
  return state_->notifier != nullptr;
}

bool SiteChangeSource::StartWatching() {
  return IsOpen() && SUCCEEDED(state_->notifier->slots->StartWatching(state_->notifier));
}

SiteChangeSource::Wait SiteChangeSource::WaitForChange(uint32_t& siteId) {
  if (!IsOpen()) return Wait::End;
  DWORD site = 0;
  const HRESULT result = state_->notifier->slots->WaitForChange(state_->notifier, &site);
  if (result == S_OK) {
    siteId = site;
    return Wait::Changed;
  }
  if (result == kNoFurtherNotifications || FAILED(result)) return Wait::End;
  return Wait::Nothing;
}

void SiteChangeSource::StopWatching() {
  if (IsOpen()) state_->notifier->slots->StopWatching(state_->notifier);
}

#else  // POSIX

// ---- Event ----

// A pulse advances `generation` and leaves `set` clear; a waiter returns when the event is
// set or the generation moved on since it began to wait.
struct Event::State {
  std::mutex mutex;
  std::condition_variable changed;
  bool set = false;
  uint64_t generation = 0;
};

Event::Event() : state_(new State) {}

Event::~Event() = default;

void Event::Set() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->set = true;
  state_->changed.notify_all();
}

void Event::Pulse() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  // As PulseEvent on a manual-reset event: releases the waiters and leaves the event
  // unsignalled, even when it was set.
  state_->set = false;
  ++state_->generation;
  state_->changed.notify_all();
}

bool Event::Wait(uint32_t milliseconds) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  const uint64_t start = state_->generation;
  const auto signalled = [this, start] { return state_->set || state_->generation != start; };
  if (milliseconds == 0xFFFFFFFFu) {
    state_->changed.wait(lock, signalled);
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  return state_->changed.wait_until(lock, deadline, signalled);
}

bool Event::IsSet() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->set;
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

// Sleeps for `period`. True when the whole period passed; false, at once, when the calling
// thread is being joined.
bool SleepUnlessJoined(std::chrono::milliseconds period) {
  JoinSignal* signal = tJoinSignal;
  if (signal == nullptr) {
    std::this_thread::sleep_for(period);
    return true;
  }
  std::unique_lock<std::mutex> lock(signal->mutex);
  return !signal->joining.wait_for(lock, period, [signal] { return signal->joined; });
}

}  // namespace

struct Thread::State {
  JoinSignal signal;
  std::thread thread;
};

bool Thread::Start(std::function<void()> body) {
  if (state_ != nullptr) return false;  // still holds a thread that was not joined
  auto state = std::make_unique<State>();
  JoinSignal* signal = &state->signal;
  try {
    state->thread = std::thread([signal, body = std::move(body)] {
      tJoinSignal = signal;
      body();
    });
  } catch (const std::system_error&) {
    return false;
  }
  state_ = std::move(state);
  return true;
}

void Thread::Join() {
  if (state_ == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(state_->signal.mutex);
    state_->signal.joined = true;
  }
  state_->signal.joining.notify_all();
  state_->thread.join();
  state_.reset();
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
struct NamedMutex::State {
  std::map<std::wstring, MutexEntry>::iterator entry;
  unsigned holds = 0;  // Waits (and the creation) not yet released through this handle
};

NamedMutex::NamedMutex(const std::wstring& name) : state_(new State) {
  MutexTable& table = Mutexes();
  std::lock_guard<std::mutex> lock(table.lock);
  const auto [entry, created] = table.names.try_emplace(name);
  ++entry->second.handles;
  state_->entry = entry;
  alreadyExisted_ = !created;
  if (created) {
    entry->second.owned = true;
    state_->holds = 1;
  }
}

NamedMutex::~NamedMutex() {
  MutexTable& table = Mutexes();
  std::lock_guard<std::mutex> lock(table.lock);
  MutexEntry& entry = state_->entry->second;
  if (state_->holds > 0) {
    entry.owned = false;
    entry.released.notify_one();
  }
  if (--entry.handles == 0) table.names.erase(state_->entry);
}

bool NamedMutex::IsValid() const {
  return true;
}

void NamedMutex::Wait() {
  MutexTable& table = Mutexes();
  std::unique_lock<std::mutex> lock(table.lock);
  MutexEntry& entry = state_->entry->second;
  if (state_->holds == 0) {
    entry.released.wait(lock, [&entry] { return !entry.owned; });
    entry.owned = true;
  }
  ++state_->holds;
}

void NamedMutex::Release() {
  MutexTable& table = Mutexes();
  std::lock_guard<std::mutex> lock(table.lock);
  if (state_->holds == 0) return;  // not the owner: ReleaseMutex fails
  if (--state_->holds > 0) return;
  MutexEntry& entry = state_->entry->second;
  entry.owned = false;
  entry.released.notify_one();
}

uint32_t CurrentProcessId() {
  return static_cast<uint32_t>(getpid());
}

// ---- SiteChangeSource ----

namespace {

// The table is read this often while WaitForChange waits...
constexpr auto kPollPeriod = std::chrono::milliseconds(200);
// ...and WaitForChange reports nothing after this long without a change.
constexpr auto kLongestWait = std::chrono::milliseconds(800);

}  // namespace

// The table's content is compared, not its modification time, whose granularity could hide
// two quick edits. A file caught half written may report sites that did not change; the
// only effect is a configuration loaded again.
struct SiteChangeSource::State {
  PathString directory;
  bool watching = false;
  std::string text;                       // the table as last read
  std::map<uint32_t, std::string> sites;  // and its sites
  std::deque<uint32_t> pending;           // changed sites not yet reported
};

SiteChangeSource::SiteChangeSource(const PathString& tableDirectory) : state_(new State) {
  state_->directory = tableDirectory;
}

SiteChangeSource::~SiteChangeSource() = default;

bool SiteChangeSource::IsOpen() const {
  return true;
}

bool SiteChangeSource::StartWatching() {
  state_->text = ReadSiteTableText(state_->directory);
  state_->sites = ParseSiteTable(state_->text);
  state_->pending.clear();
  state_->watching = true;
  return true;
}

namespace {

// Queues, in ascending order, each site that is in only one of the tables or whose root
// differs between them.
void QueueChangedSites(const std::map<uint32_t, std::string>& before,
                       const std::map<uint32_t, std::string>& after,
                       std::deque<uint32_t>& pending) {
  auto old = before.begin();
  auto now = after.begin();
  while (old != before.end() || now != after.end()) {
    if (now == after.end() || (old != before.end() && old->first < now->first)) {
      pending.push_back((old++)->first);
    } else if (old == before.end() || now->first < old->first) {
      pending.push_back((now++)->first);
    } else {
      if (old->second != now->second) pending.push_back(old->first);
      ++old;
      ++now;
    }
  }
}

}  // namespace

SiteChangeSource::Wait SiteChangeSource::WaitForChange(uint32_t& siteId) {
  if (!state_->watching) return Wait::End;
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (state_->pending.empty()) {
      std::string text = ReadSiteTableText(state_->directory);
      if (text != state_->text) {
        std::map<uint32_t, std::string> sites = ParseSiteTable(text);
        QueueChangedSites(state_->sites, sites, state_->pending);
        state_->text = std::move(text);
        state_->sites = std::move(sites);
      }
    }
    if (!state_->pending.empty()) {
      siteId = state_->pending.front();
      state_->pending.pop_front();
      return Wait::Changed;
    }
    if (std::chrono::steady_clock::now() - start >= kLongestWait) return Wait::Nothing;
    // A thread being joined is being stopped: let its caller see the stop request now.
    if (!SleepUnlessJoined(kPollPeriod)) return Wait::Nothing;
  }
}

void SiteChangeSource::StopWatching() {
  state_->watching = false;
  state_->pending.clear();
}

#endif

Thread::Thread() = default;

bool Thread::Running() const {
  return state_ != nullptr;
}

Thread::~Thread() {
  Join();
}

}  // namespace vortane::platform
