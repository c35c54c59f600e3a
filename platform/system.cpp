#include "platform/system.h"

#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>
#endif

namespace vortane::platform {

uint64_t SystemFileTime() {
#ifdef _WIN32
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
#else
  // Seconds from 1601-01-01 to the Unix epoch.
  constexpr uint64_t kEpochDifference = 11644473600ull;
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<uint64_t>(now.tv_sec) + kEpochDifference) * 10000000ull +
         static_cast<uint64_t>(now.tv_nsec) / 100u;
#endif
}

ModuleHandle ThisModule() {
#ifdef _WIN32
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
#else
  return reinterpret_cast<const void*>(&ThisModule);
#endif
}

std::optional<PathString> ReadGrowing(const std::function<size_t(PathChar*, size_t)>& read,
                                      size_t initialCapacity) {
  std::vector<PathChar> buffer(initialCapacity);
  for (;;) {
    const size_t length = read(buffer.data(), buffer.size());
    if (length == 0) return std::nullopt;
    if (length < buffer.size()) return PathString(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

std::optional<PathString> ModuleFileName(ModuleHandle module) {
#ifdef _WIN32
  return ReadGrowing([module](wchar_t* buffer, size_t capacity) -> size_t {
    return GetModuleFileNameW(static_cast<HMODULE>(const_cast<void*>(module)), buffer,
                              static_cast<DWORD>(capacity));
  });
#else
  Dl_info info;
  if (dladdr(module, &info) == 0 || info.dli_fname == nullptr || info.dli_fname[0] == '\0') {
    return std::nullopt;
  }
  // A name the loader was given relative to the working directory is made absolute.
  if (info.dli_fname[0] != '/') {
    if (char* absolute = realpath(info.dli_fname, nullptr)) {
      PathString name(absolute);
      free(absolute);
      return name;
    }
  }
  return PathString(info.dli_fname);
#endif
}

}  // namespace vortane::platform
