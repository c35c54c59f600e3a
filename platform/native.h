// Internal to platform/: the few calls that the portable part of a concern (platform/<concern>.cpp)
// makes into the backend. Each backend defines them in its file of the same concern,
// platform/posix/<concern>.cpp or platform/win32/<concern>.cpp. Where a class needs state of its
// own backend, it declares `struct Native` instead, defined in the backend's file.
#pragma once

#include <cstdint>
#include <string>

#include "platform/system.h"

namespace vortane::platform {
enum class PathKind;  // platform/files.h
}  // namespace vortane::platform

namespace vortane::platform::native {

// ---- tick ----

// The system's millisecond tick count, whatever clock a test installed (see tick.h for the
// unit and the wrap). Windows: the performance counter; POSIX: the monotonic clock. Cheap;
// thread-safe.
uint32_t SystemTickCount();

// ---- files ----

// Why a FileReplacement refuses a target of `kind`: "" for a missing or regular file, which
// it may replace; else the error it reports ("is a symbolic link: not written", ...).
std::string ReplacementRefusal(PathKind kind);

// ---- library ----

// Loads the library at `path` (LoadLibraryW; dlopen with RTLD_NOW | RTLD_LOCAL). Null, with
// `error` saying why, when it cannot be loaded. Runs the library's initialisation; not to be
// called while the loader lock is held.
void* LoadLibraryAt(const PathString& path, std::string& error);

// The address of the export `name` of `library`, or null when it has none. Cheap.
void* LibraryExport(void* library, const char* name);

// Unloads `library` (FreeLibrary; dlclose). Runs the library's termination.
void UnloadLibrary(void* library);

}  // namespace vortane::platform::native
