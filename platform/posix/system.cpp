// The POSIX system facts: the realtime clock, the dynamic loader's view of a module, getpid.
#include "platform/system.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

namespace vortane::platform {

uint64_t SystemFileTime() {
  // Seconds from 1601-01-01 to the Unix epoch.
  constexpr uint64_t kEpochDifference = 11644473600ull;
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<uint64_t>(now.tv_sec) + kEpochDifference) * 10000000ull +
         static_cast<uint64_t>(now.tv_nsec) / 100u;
}

ModuleHandle ThisModule() {
  return reinterpret_cast<const void*>(&ThisModule);
}

std::optional<PathString> ModuleFileName(ModuleHandle module) {
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
}

uint32_t CurrentProcessId() {
  return static_cast<uint32_t>(getpid());
}

std::optional<PathString> PathFromUtf8(std::string_view bytes) {
  return PathString(bytes);
}

std::string Utf8FromPath(const PathString& path) {
  return path;
}

}  // namespace vortane::platform
