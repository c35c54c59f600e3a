// The Windows system facts: the system time, the loader's module handles, the process id.
#include "platform/system.h"

#include <windows.h>

namespace vortane::platform {

uint64_t SystemFileTime() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

ModuleHandle ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

std::optional<PathString> ModuleFileName(ModuleHandle module) {
  return ReadGrowing([module](wchar_t* buffer, size_t capacity) -> size_t {
    return GetModuleFileNameW(static_cast<HMODULE>(const_cast<void*>(module)), buffer,
                              static_cast<DWORD>(capacity));
  });
}

uint32_t CurrentProcessId() {
  return GetCurrentProcessId();
}

}  // namespace vortane::platform
