// The library's three exports and its load and unload handling.
//
// Load makes the configuration store and starts it (with its expiry thread) and then the
// site-change thread; TerminateFilter and unload stop them in the opposite order, and unload
// then destroys the store. Every start and stop is idempotent, so TerminateFilter followed by
// unload stops everything once. The store lives from load to unload and is handed to the
// request handling.
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "config/site_config.h"
#include "filter/request.h"
#include "platform/isapi.h"
#include "platform/system.h"
#include "store/store.h"

#ifdef _WIN32
#define VORTANE_EXPORT
#else
#define VORTANE_EXPORT __attribute__((visibility("default")))
#endif

namespace {

constexpr DWORD kFilterVersion = 0x00010000;  // 1.0
constexpr char kFilterDescription[] = "Vortane v1.3";
constexpr DWORD kNotifications = SF_NOTIFY_SECURE_PORT | SF_NOTIFY_NONSECURE_PORT | SF_NOTIFY_LOG |
                                 SF_NOTIFY_PREPROC_HEADERS | SF_NOTIFY_ORDER_HIGH;
static_assert(kNotifications == 0x00084203, "the notifications the filter registers");

// The store of this copy of the library: made by the load handling, destroyed at unload.
std::unique_ptr<vortane::ConfigStore> store;

// Makes the store over the global file beside the library. Null when the library's file name
// cannot be read.
std::unique_ptr<vortane::ConfigStore> MakeStore(vortane::platform::ModuleHandle module) {
  std::optional<vortane::platform::PathString> path = vortane::ComputeGlobalConfigPath(module);
  if (!path) return nullptr;
  return std::make_unique<vortane::ConfigStore>(std::move(*path),
                                                reinterpret_cast<uintptr_t>(module));
}

void Start() {
  store->StartExpiryThread();
  store->StartSiteChangeThread();
}

void Stop() {
  if (!store) return;
  store->StopSiteChangeThread();
  store->Shutdown();
}

}  // namespace

extern "C" {

VORTANE_EXPORT BOOL SERVER_CALL GetFilterVersion(HTTP_FILTER_VERSION* version) {
  version->dwFilterVersion = kFilterVersion;
  std::memcpy(version->lpszFilterDesc, kFilterDescription, sizeof kFilterDescription);
  version->dwFlags = kNotifications;
  return TRUE;
}

VORTANE_EXPORT DWORD SERVER_CALL HttpFilterProc(HTTP_FILTER_CONTEXT* filterContext,
                                                DWORD notificationType, VOID* notification) {
  try {
    switch (notificationType) {
      case SF_NOTIFY_LOG:
        return vortane::OnLog(filterContext, static_cast<HTTP_FILTER_LOG*>(notification));
      case SF_NOTIFY_PREPROC_HEADERS:
        return vortane::OnPreprocHeaders(*store, filterContext,
                                         static_cast<HTTP_FILTER_PREPROC_HEADERS*>(notification));
      default:
        return SF_STATUS_REQ_NEXT_NOTIFICATION;
    }
  } catch (...) {
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
}

VORTANE_EXPORT BOOL SERVER_CALL TerminateFilter(DWORD /*flags*/) {
  Stop();
  return TRUE;
}

}  // extern "C"

#ifdef _WIN32

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    store = MakeStore(module);
    if (!store) return FALSE;
    Start();
    DisableThreadLibraryCalls(module);
  } else if (reason == DLL_PROCESS_DETACH) {
    Stop();
    store.reset();
  }
  return TRUE;
}

#else

namespace {

// Loading and unloading the shared object stand in for process attach and detach. A load
// cannot be refused here: without the library's own path the store has no global file and
// does not start, and the filter passes every request on without rules.
struct LibraryLifetime {
  LibraryLifetime() {
    const vortane::platform::ModuleHandle module = vortane::platform::ThisModule();
    store = MakeStore(module);
    if (store) {
      Start();
    } else {
      store = std::make_unique<vortane::ConfigStore>(vortane::platform::PathString(),
                                                     reinterpret_cast<uintptr_t>(module));
    }
  }
  ~LibraryLifetime() {
    Stop();
    store.reset();
  }
};

LibraryLifetime lifetime;

}  // namespace

#endif
