// The file operations of configuration loading: a read-only view of a configuration file,
// the report file written beside it, and a file's last-write time.
//
// Windows (platform/win32/files.cpp) uses CreateFileW, GetFileSizeEx, CreateFileMappingA,
// MapViewOfFile, WriteFile and GetFileAttributesExW. POSIX (platform/posix/files.cpp) has
// stand-ins with the same contracts: read() into memory, an open that never follows a link,
// and stat.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/system.h"

namespace vortane::platform {

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

 private:
  friend class ReportFile;
  const char* data_ = nullptr;
  size_t size_ = 0;
  bool cut_ = false;
  bool failed_ = false;
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

// A file's last-write time as a file time (100-nanosecond units since 1601, UTC), or
// nothing when its attributes cannot be read (missing file, empty path, no access; POSIX also
// a path holding a NUL byte, or a time outside a file time's range). Cost: one stat or
// attribute read, no open. Thread-safe.
std::optional<uint64_t> ReadLastWriteTime(const PathString& path);

}  // namespace vortane::platform
