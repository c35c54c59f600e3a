// A file that exists but cannot be opened, for tests of passing read failures.
#pragma once

#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <vector>
#endif

namespace vortane::testing {

// Holds a file out of reach of the code under test while it lives: on Windows an open that
// shares nothing, on POSIX a process out of file descriptors (as under a connection flood),
// so that any open fails.
class FileOutOfReach {
 public:
  explicit FileOutOfReach(const std::filesystem::path& path) {
#ifdef _WIN32
    file_ = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
#else
    getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit low = saved_;
    low.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 512);
    setrlimit(RLIMIT_NOFILE, &low);
    for (int fd; (fd = open(path.c_str(), O_RDONLY | O_CLOEXEC)) >= 0;) held_.push_back(fd);
#endif
  }
  ~FileOutOfReach() {
#ifdef _WIN32
    CloseHandle(file_);
#else
    for (int fd : held_) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved_);
#endif
  }

 private:
#ifdef _WIN32
  HANDLE file_;
#else
  rlimit saved_{};
  std::vector<int> held_;
#endif
};

}  // namespace vortane::testing
