// The file operations of configuration loading: a read-only view of a configuration file,
// the report file written beside it, a file's last-write time, and a web site's root
// directory.
//
// Windows uses the calls the filter has always used (CreateFileW, GetFileSize,
// CreateFileMappingA, MapViewOfFile, WriteFile, GetFileAttributesExW, and the metabase's
// IMSAdminBase for site roots). POSIX has stand-ins with the same contracts: mmap, a
// truncating open, stat, and a site table file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/system.h"

namespace vortane::platform {

// A read-only memory view of the first bytes of a file. Empty (no data) when the file
// cannot be opened, is empty, or cannot be mapped; then nothing is held. Releases the view,
// the mapping and the file when destroyed, on every way out.
class FileView {
 public:
  // Opens `path` for reading (sharing read access only, on Windows) and maps at most
  // `maxBytes` of it from offset 0.
  FileView(const PathString& path, size_t maxBytes);
  ~FileView();
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;

  bool IsMapped() const { return data_ != nullptr; }
  // The mapped bytes; empty when not mapped.
  std::string_view Bytes() const { return std::string_view(data_, size_); }

 private:
  const char* data_ = nullptr;
  size_t size_ = 0;
#ifdef _WIN32
  void* file_ = nullptr;     // HANDLE, INVALID_HANDLE_VALUE when not open
  void* mapping_ = nullptr;  // HANDLE
#else
  int fd_ = -1;
#endif
};

// A report file created empty (an existing one is truncated) for writing, sharing read
// access only on Windows. When it cannot be created, every Write does nothing. Closed when
// destroyed.
class ReportFile {
 public:
  explicit ReportFile(const PathString& path);
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
// directory of the filter library (`tableDirectory`), read afresh on every call: each line
// that is neither blank nor starts with "#" holds a decimal site number, one or more blanks,
// and the root directory (the rest of the line, trailing blanks and CR removed); the first
// line for a number counts and malformed lines are skipped.
std::optional<PathString> ReadSiteRootPath(uint32_t siteId, const PathString& tableDirectory);

}  // namespace vortane::platform
