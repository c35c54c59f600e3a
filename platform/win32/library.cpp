// The Windows library loading: LoadLibraryW, GetProcAddress and FreeLibrary.
#include <windows.h>

#include "platform/library.h"
#include "platform/native.h"

namespace vortane::platform {

const char* FilterLibraryFileName() {
  return "vortane.dll";
}

namespace native {

void* LoadLibraryAt(const PathString& path, std::string& error) {
  HMODULE module = LoadLibraryW(path.c_str());
  if (module == nullptr) {
    error = "cannot load the library (error " + std::to_string(GetLastError()) + ")";
  }
  return module;
}

void* LibraryExport(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void UnloadLibrary(void* library) {
  FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace native
}  // namespace vortane::platform
