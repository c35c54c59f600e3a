// The POSIX file operations: files read into memory, reports opened without following a
// link, and stat.
#include "platform/files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>

namespace vortane::platform {

namespace {

// Seconds from 1601-01-01 to the Unix epoch.
constexpr int64_t kEpochDifference = 11644473600;
constexpr int64_t kTicksPerSecond = 10000000;

// A path that the system would read only up to an embedded NUL names another file.
bool IsUsablePath(const PathString& path) {
  return !path.empty() && path.find('\0') == PathString::npos;
}

// A time as a file time; nothing before 1601 or past the range of a file time.
std::optional<uint64_t> ToFileTime(const timespec& time) {
  const int64_t seconds = static_cast<int64_t>(time.tv_sec);
  if (seconds < -kEpochDifference ||
      seconds > static_cast<int64_t>(UINT64_MAX / kTicksPerSecond) - kEpochDifference - 1) {
    return std::nullopt;
  }
  return static_cast<uint64_t>(seconds + kEpochDifference) * kTicksPerSecond +
         static_cast<uint64_t>(time.tv_nsec) / 100u;
}

std::optional<FileStamp> StampOf(const struct stat& info) {
  const std::optional<uint64_t> written = ToFileTime(info.st_mtim);
  const std::optional<uint64_t> changed = ToFileTime(info.st_ctim);
  if (!written || !changed) return std::nullopt;
  FileStamp stamp;
  stamp.lastWrite = *written;
  stamp.size = static_cast<uint64_t>(info.st_size);
  stamp.changed = *changed;
  stamp.volume = static_cast<uint64_t>(info.st_dev);
  stamp.index = static_cast<uint64_t>(info.st_ino);
  stamp.hasIdentity = true;
  return stamp;
}

ReadFailure FailureOf(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return ReadFailure::AccessDenied;
    case EMFILE:
    case ENFILE:
    case ENOMEM:
      return ReadFailure::NoResources;
    default:
      return ReadFailure::Other;
  }
}

}  // namespace

// The bytes read, and the identity of the file read (device and inode) for ReportFile; 0
// when none.
struct FileView::Native {
  std::unique_ptr<char[]> buffer;
  uint64_t device = 0;
  uint64_t inode = 0;
};

FileView::FileView(const PathString& path, size_t maxBytes) : native_(new Native) {
  if (!IsUsablePath(path)) return;
  // Without blocking: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // Gone since its time was read, or not a file that can be read at all: no file. Anything
    // else (no descriptors left, access denied, ...) is a failure to read an existing file.
    const int error = errno;
    if (error != ENOENT && error != ENOTDIR && error != ENXIO && error != ELOOP) {
      Fail(FailureOf(error));
    }
    return;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) {
    Fail(FailureOf(errno));
  } else if (S_ISREG(info.st_mode)) {
    stamp_ = StampOf(info);
  }
  if (!failed_ && S_ISREG(info.st_mode) && info.st_size > 0) {
    native_->device = static_cast<uint64_t>(info.st_dev);
    native_->inode = static_cast<uint64_t>(info.st_ino);
    // One byte past the limit tells whether the file goes on; one byte past a shorter file's
    // size tells whether it grew. A count other than the expected one means another process
    // is rewriting the file: its bytes would be a mix of two versions.
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    const bool longer = size > maxBytes;
    const size_t expected = longer ? maxBytes + 1 : static_cast<size_t>(size);
    const size_t room = longer ? expected : expected + 1;
    try {
      native_->buffer.reset(new char[room]);
    } catch (const std::bad_alloc&) {
      Fail(ReadFailure::NoResources);
    }
    size_t got = 0;
    while (native_->buffer && got < room) {
      const ssize_t n = read(fd, native_->buffer.get() + got, room - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        Fail(FailureOf(errno));
        break;
      }
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    if (!failed_ && got != expected) Fail(ReadFailure::Changed);
    if (!failed_) {
      cut_ = expected > maxBytes;
      size_ = std::min(expected, maxBytes);
      if (size_ > 0) data_ = native_->buffer.get();
    }
  }
  close(fd);
  if (data_ == nullptr) native_->buffer.reset();
}

FileView::~FileView() = default;

struct ReportFile::Native {
  int fd = -1;
};

ReportFile::ReportFile(const PathString& path, const FileView* source) : native_(new Native) {
  if (!IsUsablePath(path)) return;
  // Never through a link, never blocking on a FIFO, and not emptied before it is checked.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return;
  struct stat info;
  const bool usable = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 &&
                      !(source != nullptr && source->native_->inode != 0 &&
                        static_cast<uint64_t>(info.st_dev) == source->native_->device &&
                        static_cast<uint64_t>(info.st_ino) == source->native_->inode) &&
                      ftruncate(fd, 0) == 0;
  if (!usable) {
    close(fd);
    return;
  }
  native_->fd = fd;
}

ReportFile::~ReportFile() {
  if (IsOpen()) close(native_->fd);
}

bool ReportFile::IsOpen() const {
  return native_->fd >= 0;
}

void ReportFile::Write(std::string_view bytes) {
  if (!IsOpen()) return;
  while (!bytes.empty()) {
    const ssize_t written = write(native_->fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // failures are ignored
    bytes.remove_prefix(static_cast<size_t>(written));
  }
}

std::optional<FileStamp> ReadFileStamp(const PathString& path, StampDepth /*depth*/) {
  if (!IsUsablePath(path)) return std::nullopt;
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return std::nullopt;
  return StampOf(info);
}

}  // namespace vortane::platform
