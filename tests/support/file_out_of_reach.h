// A file that exists but cannot be opened, for tests of passing read failures.
#pragma once

#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

// Holds a file out of reach by its permissions while it lives, as a file of another user with
// mode 0600 is, while what lies beside it can still be written. POSIX: the file loses every
// permission and, for tests that run as root (whom permissions do not stop), the process acts
// as the user nobody, with the file's directory open to everyone. Windows: an open that
// shares nothing (FileOutOfReach).
class FileDenied {
 public:
  explicit FileDenied(const std::filesystem::path& path)
#ifdef _WIN32
      : held_(path){}
#else
      : path_(path) {
    struct stat info {};
    stat(path.c_str(), &info);
    mode_ = info.st_mode & 07777;
    chmod(path.c_str(), 0);
    if (geteuid() == 0) {
      const std::filesystem::path directory = path.parent_path();
      stat(directory.c_str(), &info);
      directoryMode_ = info.st_mode & 07777;
      chmod(directory.c_str(), 0777);
      actsAsNobody_ = seteuid(65534) == 0;
    }
  }
#endif
        ~FileDenied() {
#ifndef _WIN32
    if (actsAsNobody_ && seteuid(0) == 0) chmod(path_.parent_path().c_str(), directoryMode_);
    chmod(path_.c_str(), mode_);
#endif
  }
  FileDenied(const FileDenied&) = delete;
  FileDenied& operator=(const FileDenied&) = delete;

 private:
#ifdef _WIN32
  FileOutOfReach held_;
#else
  std::filesystem::path path_;
  mode_t mode_ = 0644;
  mode_t directoryMode_ = 0755;
  bool actsAsNobody_ = false;
#endif
};

}  // namespace vortane::testing
