#include "platform/library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace vortane::platform {
namespace {

template <typename Function>
Function Export(void* handle, const char* name) {
#ifdef _WIN32
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name)));
#else
  return reinterpret_cast<Function>(dlsym(handle, name));
#endif
}

}  // namespace

const char* FilterLibraryFileName() {
#ifdef _WIN32
  return "vortane.dll";
#else
  return "vortane.so";
#endif
}

FilterLibrary::FilterLibrary(const PathString& path) {
#ifdef _WIN32
  handle_ = LoadLibraryW(path.c_str());
  if (handle_ == nullptr) {
    error_ = "cannot load the library (error " + std::to_string(GetLastError()) + ")";
    return;
  }
#else
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = dlerror();
    error_ = why != nullptr ? why : "cannot load the library";
    return;
  }
#endif
  getFilterVersion = Export<GetFilterVersionFunction>(handle_, "GetFilterVersion");
  httpFilterProc = Export<HttpFilterProcFunction>(handle_, "HttpFilterProc");
  terminateFilter = Export<TerminateFilterFunction>(handle_, "TerminateFilter");
  if (getFilterVersion == nullptr || httpFilterProc == nullptr || terminateFilter == nullptr) {
    error_ = "the library lacks a filter export";
    terminateFilter = nullptr;
  }
}

FilterLibrary::~FilterLibrary() {
  Unload();
}

void FilterLibrary::Unload() {
  if (handle_ == nullptr) return;
#ifdef _WIN32
  FreeLibrary(static_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
  handle_ = nullptr;
  getFilterVersion = nullptr;
  httpFilterProc = nullptr;
  terminateFilter = nullptr;
}

}  // namespace vortane::platform
