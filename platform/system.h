// System facts the other layers need: the path type of each platform, the current file time,
// the file name of a loaded module (the filter library itself), and the process id.
//
// Windows: platform/win32/system.cpp; POSIX: platform/posix/system.cpp; ReadGrowing, the same
// on both, in platform/system.cpp. Every function here is safe to call from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vortane::platform {

// File paths: wide characters on Windows, bytes elsewhere, never converted between sets.
#ifdef _WIN32
using PathString = std::wstring;
inline constexpr wchar_t kPathSeparator = L'\\';
#else
using PathString = std::string;
inline constexpr char kPathSeparator = '/';
#endif
using PathChar = PathString::value_type;

// The current time as a file time: 100-nanosecond units since 1 January 1601, UTC
// (GetSystemTimeAsFileTime on Windows, the realtime clock on POSIX). Cheap: no allocation.
uint64_t SystemFileTime();

// Identifies a loaded module: its HMODULE on Windows; elsewhere any address inside it.
using ModuleHandle = const void*;

// The module that holds this code. Cheap; takes no reference on the module.
ModuleHandle ThisModule();

// The full file name of `module`, or nothing when it cannot be read. On Windows,
// GetModuleFileNameW into a buffer of 2048 characters, doubled while a full buffer may
// have cut the name. POSIX: the loader's name for it (dladdr), made absolute with realpath
// when the loader was given a relative name. Cost: a loader call and an allocation or two.
std::optional<PathString> ModuleFileName(ModuleHandle module);

// The doubling read behind ModuleFileName. `read` fills a buffer of the given capacity
// and returns the length written (the capacity itself when the name may have been cut),
// or 0 on failure. Cost: one call of `read` per doubling; the buffer is allocated each time.
std::optional<PathString> ReadGrowing(const std::function<size_t(PathChar*, size_t)>& read,
                                      size_t initialCapacity = 2048);

// A path from UTF-8 bytes: on Windows converted to wide characters, nothing when the bytes
// are not valid UTF-8; elsewhere the bytes as they are. Cost: one pass, one string.
std::optional<PathString> PathFromUtf8(std::string_view bytes);

// A path as UTF-8 bytes (Windows: wide characters converted, an unpaired surrogate as U+FFFD;
// elsewhere the bytes as they are). Cost: one pass, one string.
std::string Utf8FromPath(const PathString& path);

// The identifier of the current process. Cheap.
uint32_t CurrentProcessId();

}  // namespace vortane::platform
