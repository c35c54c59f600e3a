// The file operations of configuration loading: a read-only view of a configuration file,
// the report file written beside it, a file's last-write time, and a web site's root
// directory.
//
// Windows uses CreateFileW, GetFileSizeEx, CreateFileMappingA, MapViewOfFile, WriteFile,
// GetFileAttributesExW, and the metabase's IMSAdminBase for site roots. POSIX has stand-ins with
// the same contracts: read() into memory, an open that never follows a link, stat, and a site table
// file.
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

  // True when the file's bytes were taken (a non-empty regular file).
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
#ifdef _WIN32
  void* file_ = nullptr;     // HANDLE, INVALID_HANDLE_VALUE when not open
  void* mapping_ = nullptr;  // HANDLE
#else
  std::unique_ptr<char[]> buffer_;
  // The identity of the file read (device and inode), for ReportFile; 0 when none.
  uint64_t device_ = 0;
  uint64_t inode_ = 0;
#endif
};

// A report file, emptied and open for writing, sharing read access only on Windows. When it
// cannot be created, every Write does nothing. Closed when destroyed. Not thread-safe.
class ReportFile {
 public:
  // Creates or empties the file at `path`. It is never the file `source` views (when given).
  // POSIX: a symbolic link at `path` is not followed, and only a regular file with one link
  // is emptied (opened without truncation and without blocking, checked, then truncated); a
  // link, FIFO, device or directory there leaves the report closed.
  explicit ReportFile(const PathString& path, const FileView* source = nullptr);
  ~ReportFile();
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  bool IsOpen() const;
  // Writes the bytes at once; failures are ignored.
  void Write(std::string_view bytes);

 private:
#ifdef _WIN32
  void* file_;  // HANDLE
#else
  int fd_ = -1;
#endif
};

// A file's last-write time as a file time (100-nanosecond units since 1601, UTC), or
// nothing when its attributes cannot be read (missing file, empty path, no access).
std::optional<uint64_t> ReadLastWriteTime(const PathString& path);

// The root directory of web site `siteId` (not 0), or nothing when it cannot be read.
// Windows: the metabase's MD_VR_PATH of "/LM/W3SVC/<id>/ROOT" through IMSAdminBase, COM
// initialised and balanced on the calling thread. POSIX: the site table `sites.txt` in the
// directory of the filter library (`tableDirectory`), read again whenever it changed (see
// ReadSiteTableText): each line that is neither blank nor starts with "#" holds a decimal
// site number, one or more blanks, and the root directory (the rest of the line, trailing
// blanks and CR removed); the first line for a number counts and malformed lines (a root
// holding a NUL byte among them) are skipped.
std::optional<PathString> ReadSiteRootPath(uint32_t siteId, const PathString& tableDirectory);

}  // namespace vortane::platform
