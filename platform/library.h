// Loading the filter library the way the web server does: by path, then its three exports.
// For the command-line runner and the tests that drive the real library. The lookup of the
// exports is in platform/library.cpp; loading and unloading in each backend's library.cpp.
#pragma once

#include <string>

#include "platform/isapi.h"
#include "platform/system.h"

namespace vortane::platform {

// The filter's exports, as the server calls them.
using GetFilterVersionFunction = BOOL(SERVER_CALL*)(HTTP_FILTER_VERSION*);
using HttpFilterProcFunction = DWORD(SERVER_CALL*)(HTTP_FILTER_CONTEXT*, DWORD, VOID*);
using TerminateFilterFunction = BOOL(SERVER_CALL*)(DWORD);

// A loaded copy of the filter library (LoadLibraryW or dlopen), unloaded when destroyed. Not
// thread-safe: one thread loads, uses the exports and unloads.
class FilterLibrary {
 public:
  // Loads the library at `path` and looks up its exports. IsLoaded is false, with Error
  // saying why, when it cannot be loaded or lacks an export. Cost: a load, which runs the
  // library's initialisation (not the filter's GetFilterVersion).
  explicit FilterLibrary(const PathString& path);
  ~FilterLibrary();  // unloads (FreeLibrary or dlclose)
  FilterLibrary(const FilterLibrary&) = delete;
  FilterLibrary& operator=(const FilterLibrary&) = delete;

  bool IsLoaded() const { return handle_ != nullptr && terminateFilter != nullptr; }
  const std::string& Error() const { return error_; }
  // Unloads now; the exports are unusable afterwards. Nothing when not loaded.
  void Unload();

  GetFilterVersionFunction getFilterVersion = nullptr;
  HttpFilterProcFunction httpFilterProc = nullptr;
  TerminateFilterFunction terminateFilter = nullptr;

 private:
  void* handle_ = nullptr;
  std::string error_;
};

// The file name of the filter library on this platform: "vortane.dll" or "vortane.so". Cheap.
const char* FilterLibraryFileName();

}  // namespace vortane::platform
