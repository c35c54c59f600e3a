// A scratch folder for one test in one process, so that concurrent test runs (several
// builds, or ctest running tests in parallel) never share files.
#pragma once

#include <filesystem>
#include <string>

#include "platform/system.h"

namespace vortane::testing {

inline std::filesystem::path ScratchFolder(const std::string& name) {
  return std::filesystem::temp_directory_path() /
         ("vortane-" + name + "-" + std::to_string(platform::CurrentProcessId()));
}

}  // namespace vortane::testing
