// The file operations of configuration loading: a read-only view of a configuration file,
// the report file written beside it, and the stamp that tells one version of a file from
// another.
//
// Windows (platform/win32/files.cpp) uses CreateFileW, GetFileInformationByHandle,
// CreateFileMappingA, MapViewOfFile, WriteFile and GetFileAttributesExW. POSIX
// (platform/posix/files.cpp) has stand-ins with the same contracts: read() into memory, an
// open that never follows a link, and stat.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/system.h"

namespace vortane::platform {

// File times advance in steps of the file system's clock (a few milliseconds on Linux, about
// 15.6 ms on NTFS, two seconds on FAT), so a file changed again within one step of an
// earlier change can keep its time. A file read less than this long after its last change
// may therefore change again unseen: whoever keeps what was read judges it again once this
// much time has passed. In file-time units (100 ns): two seconds.
inline constexpr uint64_t kFileTimeStep = 20000000;

// What tells one version of a file from another. A save in place (truncate, then write)
// changes the last-write time, the size or (POSIX) the change time, which no program can
// set back; a file renamed over the name changes the identity.
struct FileStamp {
  // The last-write time, a file time (100-nanosecond units since 1601, UTC).
  uint64_t lastWrite = 0;
  // The file's size in bytes.
  uint64_t size = 0;
  // POSIX: the change time (ctime) as a file time. Windows: 0.
  uint64_t changed = 0;
  // The file's identity: POSIX device and inode; Windows volume serial number and file
  // index. Both 0 when hasIdentity is false.
  uint64_t volume = 0;
  uint64_t index = 0;
  // False for a stamp read without opening the file on Windows, where the identity cannot
  // be had that way.
  bool hasIdentity = false;
};

// True when `now` shows the version `then` shows: every field that both stamps hold is
// equal (the identity only when both have it). Thread-safe (a pure function).
inline bool SameVersion(const FileStamp& then, const FileStamp& now) {
  return then.lastWrite == now.lastWrite && then.size == now.size && then.changed == now.changed &&
         (!then.hasIdentity || !now.hasIdentity ||
          (then.volume == now.volume && then.index == now.index));
}

// Why an existing file could not be read (FileView::Failure).
enum class ReadFailure : uint8_t {
  None,
  // Access denied (permissions).
  AccessDenied,
  // No file descriptors, handles or memory left.
  NoResources,
  // Held by another program that shares no reading (Windows), beyond the retries.
  InUse,
  // Its size changed while it was being read: another program is rewriting it.
  Changed,
  // Any other failure of the system to open, map or read it.
  Other,
};

// The first bytes of a configuration file, read-only. Windows maps the file (sharing read
// access only, so no writer can change it while it is viewed); POSIX reads it into memory
// with read(), so a file cut short by another process while it is being parsed cannot fault.
// Only a regular file is read; POSIX opens without blocking, so a FIFO or device under the
// name never stalls the caller. Releases everything it holds when destroyed. Not thread-safe;
// each load uses its own.
class FileView {
 public:
  // Opens `path` and takes at most `maxBytes` of it from offset 0. Cost: one open and, for a
  // non-empty regular file, one read or mapping of at most `maxBytes` (+1 byte on POSIX, to
  // see whether the file goes on). On Windows an open refused by a sharing violation or by
  // access denied (a file being replaced, or held by a writer) is retried for up to 100 ms.
  FileView(const PathString& path, size_t maxBytes);
  ~FileView();
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;

  // True when the file's bytes were taken (a non-empty regular file). Cheap, as are the
  // three below.
  bool HasBytes() const { return data_ != nullptr; }
  // The bytes taken; empty when there are none.
  std::string_view Bytes() const { return std::string_view(data_, size_); }
  // True when the file is longer than `maxBytes`, so Bytes() stops at the limit.
  bool IsCut() const { return cut_; }
  // True when the file exists as a regular non-empty file but could not be opened, mapped or
  // read whole (no descriptors or memory left, access denied, changed size while being read).
  // False for a missing, empty or non-regular file, and when the bytes were taken.
  bool Failed() const { return failed_; }
  // Why Failed() is true; ReadFailure::None when it is false.
  ReadFailure Failure() const { return failure_; }
  // The stamp of the file that was opened, taken from the open file before its bytes were
  // (POSIX: fstat; Windows: GetFileInformationByHandle, with the identity); nothing when no
  // regular file was opened. Cheap.
  const std::optional<FileStamp>& Stamp() const { return stamp_; }

 private:
  friend class ReportFile;
  void Fail(ReadFailure failure) {
    failed_ = true;
    failure_ = failure;
  }
  const char* data_ = nullptr;
  size_t size_ = 0;
  bool cut_ = false;
  bool failed_ = false;
  ReadFailure failure_ = ReadFailure::None;
  std::optional<FileStamp> stamp_;
  // The backend's hold on the bytes (the mapping and its file, or the buffer read into) and
  // what ReportFile needs to tell the viewed file apart; defined in its files.cpp.
  struct Native;
  std::unique_ptr<Native> native_;
};

// A report file, emptied and open for writing, sharing read access only on Windows. When it
// cannot be created, every Write does nothing. Closed when destroyed. Not thread-safe.
class ReportFile {
 public:
  // Creates or empties the file at `path`. It is never the file `source` views (when given).
  // POSIX: a symbolic link at `path` is not followed, and only a regular file with one link
  // is emptied (opened without truncation and without blocking, checked, then truncated); a
  // link, FIFO, device or directory there leaves the report closed. Cost: one open (POSIX:
  // and an fstat and an ftruncate).
  explicit ReportFile(const PathString& path, const FileView* source = nullptr);
  ~ReportFile();
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  // True when the report was created or emptied and can be written. Cheap.
  bool IsOpen() const;
  // Writes the bytes at once, in one call or (POSIX) as many as a short write takes;
  // failures are ignored.
  void Write(std::string_view bytes);

 private:
  struct Native;  // the backend's open file, defined in its files.cpp
  std::unique_ptr<Native> native_;
};

// Whether ReadFileStamp opens the file to learn its identity where a plain attribute read
// cannot give it (Windows).
enum class StampDepth : uint8_t { Attributes, WithIdentity };

// The stamp of the file at `path`, or nothing when its attributes cannot be read (missing
// file, empty path, no access to its directory; POSIX also a path holding a NUL byte, or a
// time outside a file time's range). Cost: POSIX, one stat (the identity included, whatever
// the depth). Windows, StampDepth::Attributes: one GetFileAttributesExW, no open, and no
// identity (hasIdentity false); StampDepth::WithIdentity: an open for attributes only
// (sharing everything, so no writer is held up), one GetFileInformationByHandle and a
// close. Thread-safe.
std::optional<FileStamp> ReadFileStamp(const PathString& path,
                                       StampDepth depth = StampDepth::Attributes);

}  // namespace vortane::platform
