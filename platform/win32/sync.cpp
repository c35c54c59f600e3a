// The Windows threads, events and named mutexes: kernel objects through their Win32 calls.
#include "platform/sync.h"

#include <windows.h>

#include <memory>
#include <utility>

namespace vortane::platform {

// ---- Event ----

struct Event::Native {
  HANDLE handle;
};

Event::Event() : native_(new Native{CreateEventA(nullptr, TRUE, FALSE, nullptr)}) {}

Event::~Event() {
  if (native_->handle != nullptr) CloseHandle(native_->handle);
}

void Event::Set() {
  if (native_->handle != nullptr) SetEvent(native_->handle);
}

void Event::Pulse() {
  if (native_->handle != nullptr) PulseEvent(native_->handle);
}

bool Event::Wait(uint32_t milliseconds) {
  return native_->handle != nullptr &&
         WaitForSingleObject(native_->handle, milliseconds) == WAIT_OBJECT_0;
}

bool Event::IsSet() {
  return Wait(0);
}

// ---- Thread ----

struct Thread::Native {
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

Thread::Thread() = default;

Thread::~Thread() {
  Join();
}

bool Thread::Running() const {
  return native_ != nullptr;
}

bool Thread::Start(std::function<void()> body) {
  if (native_ != nullptr) return false;  // still holds a thread that was not joined
  auto start = std::make_unique<ThreadStart>(ThreadStart{std::move(body), nullptr});
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     reinterpret_cast<LPCWSTR>(&RunThreadBody), &start->module);
  HANDLE handle = CreateThread(nullptr, 0, RunThreadBody, start.get(), 0, nullptr);
  if (handle == nullptr) {
    if (start->module != nullptr) FreeLibrary(start->module);
    return false;
  }
  start.release();  // the thread owns it now
  native_.reset(new Native{handle});
  return true;
}

void Thread::Join() {
  if (native_ == nullptr) return;
  WaitForSingleObject(native_->handle, INFINITE);
  CloseHandle(native_->handle);
  native_.reset();
}

// ---- NamedMutex ----

struct NamedMutex::Native {
  HANDLE handle;
};

NamedMutex::NamedMutex(const std::wstring& name) {
  HANDLE handle = CreateMutexW(nullptr, TRUE, name.c_str());
  // Read at once: nothing may run between the call and the error it leaves.
  alreadyExisted_ = handle != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
  native_.reset(new Native{handle});
}

NamedMutex::~NamedMutex() {
  if (native_->handle != nullptr) CloseHandle(native_->handle);
}

bool NamedMutex::IsValid() const {
  return native_->handle != nullptr;
}

void NamedMutex::Wait() {
  // WAIT_OBJECT_0 and WAIT_ABANDONED both leave this thread the owner.
  if (native_->handle != nullptr) WaitForSingleObject(native_->handle, INFINITE);
}

void NamedMutex::Release() {
  if (native_->handle != nullptr) ReleaseMutex(native_->handle);
}

}  // namespace vortane::platform
