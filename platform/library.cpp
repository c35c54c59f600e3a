// The portable part of loading the filter library: its three exports looked up by name. Each
// backend's library.cpp loads and unloads it.
#include "platform/library.h"

#include "platform/native.h"

namespace vortane::platform {
namespace {

template <typename Function>
Function Export(void* handle, const char* name) {
  return reinterpret_cast<Function>(native::LibraryExport(handle, name));
}

}  // namespace

FilterLibrary::FilterLibrary(const PathString& path) {
  handle_ = native::LoadLibraryAt(path, error_);
  if (handle_ == nullptr) return;
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
  native::UnloadLibrary(handle_);
  handle_ = nullptr;
  getFilterVersion = nullptr;
  httpFilterProc = nullptr;
  terminateFilter = nullptr;
}

}  // namespace vortane::platform
