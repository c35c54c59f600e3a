// The Windows system facts: the system time, the loader's module handles, the process id.
#include "platform/system.h"

#include <windows.h>

#include <climits>

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

std::optional<PathString> PathFromUtf8(std::string_view bytes) {
  if (bytes.empty()) return PathString();
  if (bytes.size() > static_cast<size_t>(INT_MAX)) return std::nullopt;
  const int size = static_cast<int>(bytes.size());
  const int wide =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
  if (wide <= 0) return std::nullopt;
  PathString path(static_cast<size_t>(wide), L'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), size, path.data(), wide) !=
      wide) {
    return std::nullopt;
  }
  return path;
}

std::string Utf8FromPath(const PathString& path) {
  if (path.empty() || path.size() > static_cast<size_t>(INT_MAX / 3)) return {};
  const int size = static_cast<int>(path.size());
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, path.data(), size, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string text(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, path.data(), size, text.data(), bytes, nullptr, nullptr);
  return text;
}

}  // namespace vortane::platform
