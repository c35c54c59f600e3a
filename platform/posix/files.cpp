// The POSIX file operations: files read into memory or in pieces, reports and replacements
// opened without following a link, stat, and rename.
#include "platform/files.h"
#include "platform/native.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
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

namespace {

// The kind of file `mode` describes.
PathKind KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return PathKind::Regular;
  if (S_ISDIR(mode)) return PathKind::Directory;
  if (S_ISLNK(mode)) return PathKind::Link;
  return PathKind::Other;
}

// The kind of path an errno from stat or open tells of.
PathKind KindOfError(int error) {
  if (error == ENOENT || error == ENOTDIR) return PathKind::Missing;
  if (error == ELOOP) return PathKind::LinkLoop;
  return PathKind::Inaccessible;
}

}  // namespace

PathFacts LookAtPath(const PathString& path, bool followLinks) {
  PathFacts facts;
  if (!IsUsablePath(path)) return facts;
  struct stat info;
  if ((followLinks ? stat(path.c_str(), &info) : lstat(path.c_str(), &info)) != 0) {
    facts.kind = KindOfError(errno);
    return facts;
  }
  facts.kind = KindOfMode(info.st_mode);
  facts.device = static_cast<uint64_t>(info.st_dev);
  facts.index = static_cast<uint64_t>(info.st_ino);
  facts.links = static_cast<uint32_t>(info.st_nlink);
  return facts;
}

PathKind FileTestKind(const PathString& path) {
  struct stat info;
  if (!IsUsablePath(path) || stat(path.c_str(), &info) != 0) return PathKind::Missing;
  const PathKind kind = KindOfMode(info.st_mode);
  return kind == PathKind::Regular || kind == PathKind::Directory ? kind : PathKind::Other;
}

struct FileReader::Native {
  int fd = -1;
};

FileReader::FileReader(const PathString& path) : native_(new Native) {
  if (!IsUsablePath(path)) return;
  // Without blocking: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // A regular file that cannot be opened (access denied, no descriptors left) is one that
    // cannot be read; what the name is otherwise comes from stat.
    const int error = errno;
    const PathFacts facts = LookAtPath(path, true);
    kind_ = facts.kind == PathKind::Regular   ? PathKind::Inaccessible
            : facts.kind == PathKind::Missing ? KindOfError(error)
                                              : facts.kind;
    return;
  }
  struct stat info;
  kind_ = fstat(fd, &info) == 0 ? KindOfMode(info.st_mode) : PathKind::Inaccessible;
  if (kind_ != PathKind::Regular) {
    close(fd);
    return;
  }
  native_->fd = fd;
}

FileReader::~FileReader() {
  if (native_->fd >= 0) close(native_->fd);
}

bool FileReader::IsOpen() const {
  return native_->fd >= 0;
}

std::ptrdiff_t FileReader::Read(char* buffer, size_t size) {
  if (!IsOpen()) return -1;
  for (;;) {
    const ssize_t n = read(native_->fd, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

struct FileReplacement::Native {
  int fd = -1;
};

FileReplacement::FileReplacement(const PathString& target) : target_(target), native_(new Native) {
  if (!IsUsablePath(target)) {
    error_ = "is not a usable file name: not written";
    return;
  }
  error_ = native::ReplacementRefusal(LookAtPath(target, false).kind);
  if (!error_.empty()) return;
  // A name no other process uses at the same time: this process's id and a count. A name
  // already taken (by a file or a planted link) is passed over, never opened.
  static std::atomic<uint32_t> counter{0};
  const std::string prefix = target + "." + std::to_string(getpid()) + ".";
  for (int attempt = 0; attempt < 100; ++attempt) {
    partial_ = prefix + std::to_string(counter++) + ".partial";
    const int fd =
        open(partial_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      native_->fd = fd;
      return;
    }
    if (errno != EEXIST) break;
  }
  error_ = std::string("cannot be written: no new file beside it (") + std::strerror(errno) + ")";
  partial_.clear();
}

FileReplacement::~FileReplacement() {
  if (native_->fd >= 0) close(native_->fd);
  if (!committed_ && !partial_.empty()) unlink(partial_.c_str());
}

bool FileReplacement::Write(std::string_view bytes) {
  if (native_->fd < 0) {
    if (error_.empty()) error_ = "cannot be written";
    return false;
  }
  while (!bytes.empty()) {
    const ssize_t written = write(native_->fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error_ = std::string("cannot be written (") + std::strerror(errno) + ")";
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

bool FileReplacement::Commit() {
  if (native_->fd < 0 || !error_.empty()) {
    if (error_.empty()) error_ = "cannot be written";
    return false;
  }
  const bool closed = close(native_->fd) == 0;
  native_->fd = -1;
  if (!closed) {
    error_ = std::string("cannot be written (") + std::strerror(errno) + ")";
    return false;
  }
  // A link planted since the first look is refused too; rename itself would replace the link,
  // not write through it.
  error_ = native::ReplacementRefusal(LookAtPath(target_, false).kind);
  if (!error_.empty()) return false;
  if (rename(partial_.c_str(), target_.c_str()) != 0) {
    error_ = std::string("cannot be replaced (") + std::strerror(errno) + ")";
    return false;
  }
  committed_ = true;
  return true;
}

}  // namespace vortane::platform
