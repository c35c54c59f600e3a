// The POSIX library loading: the dynamic loader.
#include <dlfcn.h>

#include "platform/library.h"
#include "platform/native.h"

namespace vortane::platform {

const char* FilterLibraryFileName() {
  return "vortane.so";
}

namespace native {

void* LoadLibraryAt(const PathString& path, std::string& error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    error = why != nullptr ? why : "cannot load the library";
  }
  return handle;
}

void* LibraryExport(void* library, const char* name) {
  return dlsym(library, name);
}

void UnloadLibrary(void* library) {
  dlclose(library);
}

}  // namespace native
}  // namespace vortane::platform
