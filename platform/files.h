// The file operations of configuration loading: a read-only view of a configuration file,
// the report file written beside it, and the stamp that tells one version of a file from
// another; and those of the command-line tools: what a path names, a regular file read in
// pieces, and a file replaced safely (written under a new name created exclusively, then
// renamed over it).
//
// Windows (platform/win32/files.cpp) uses CreateFileW, GetFileSizeEx, CreateFileMappingA,
// MapViewOfFile, ReadFile, WriteFile, GetFileInformationByHandle, MoveFileExW and
// GetFileAttributesExW. POSIX (platform/posix/files.cpp) has stand-ins with the same
// contracts: read() into memory, opens that never follow a link or block, stat and rename.
// The texts of PathKind are shared, in platform/files.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
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

// What a path names, as the tools tell it to the administrator.
enum class PathKind {
  Missing,       // nothing under the name (or a directory on the way is missing)
  Regular,       // a regular file
  Directory,     // a directory
  Link,          // a symbolic link (or, on Windows, any reparse point), when not followed
  Other,         // a FIFO, a device or a socket
  LinkLoop,      // symbolic links that lead round in a loop, or too many of them
  Inaccessible,  // it cannot be looked at (access denied on the way, a name too long, ...)
};

// The kind of `kind` in words for a message after a file's name: "no such file or
// directory", "not a regular file (a FIFO, device or socket)", "too many levels of symbolic
// links", ... Thread-safe; returns a static text.
const char* PathKindText(PathKind kind);

// What a path names and which file it is. Two names with the same device and index are the
// same file (POSIX: st_dev and st_ino; Windows: the volume serial number and the file index).
struct PathFacts {
  PathKind kind = PathKind::Missing;
  uint64_t device = 0;
  uint64_t index = 0;
  uint32_t links = 0;  // the file's hard-link count; 0 when unknown
  bool IsSameFile(const PathFacts& other) const {
    return (kind == PathKind::Regular || kind == PathKind::Directory) && kind == other.kind &&
           device == other.device && index == other.index;
  }
};

// Looks at `path` without opening it for reading (POSIX: lstat or stat; Windows: the
// attributes, then an open for no access that shares everything). With `followLinks` false
// a link is reported as PathKind::Link; with it true, what the links lead to. Never blocks
// on a FIFO. Cost: one or two system calls. Thread-safe.
PathFacts LookAtPath(const PathString& path, bool followLinks);

// What a request's file test finds at `path`, following links: Regular, Directory, Other
// (a device, FIFO or socket), or Missing for anything else (nothing there, no access, a name
// the system refuses, an empty path or one holding a NUL). Only the attributes are read:
// POSIX one stat, Windows one GetFileAttributesW; nothing is opened. Thread-safe.
PathKind FileTestKind(const PathString& path);

// A regular file read from its start, in pieces of the caller's size, in constant memory:
// for files of any length read line by line (test files, access logs). Opened as FileView
// opens (POSIX without blocking, so a FIFO or device under the name never stalls the
// caller; Windows sharing reading and writing, so a log being written can be read). Only a
// regular file is read; links are followed. Not thread-safe; closed when destroyed.
class FileReader {
 public:
  // Opens `path`. Cost: one open and a stat.
  explicit FileReader(const PathString& path);
  ~FileReader();
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // True when a regular file is open; otherwise Kind() tells what the name is instead.
  bool IsOpen() const;
  // PathKind::Regular when open; otherwise Missing, Directory, Other, LinkLoop or
  // Inaccessible (a regular file that cannot be opened is Inaccessible).
  PathKind Kind() const { return kind_; }
  // Reads up to `size` bytes into `buffer`: the count read, 0 at the end of the file, -1 on
  // a read error (and on every call when not open). Cost: one read.
  std::ptrdiff_t Read(char* buffer, size_t size);

 private:
  PathKind kind_ = PathKind::Missing;
  struct Native;  // the backend's open file, defined in its files.cpp
  std::unique_ptr<Native> native_;
};

// A file written whole and then put in place of `target` in one rename, so that a reader
// sees the old file or the new one, never half of one, and nothing is ever written through a
// link. The bytes go to a new file beside `target` ("TARGET.<process>.<n>.partial") that is
// created exclusively: POSIX O_CREAT|O_EXCL|O_NOFOLLOW, Windows CREATE_NEW; a name taken by
// anything (a file, a planted link) is never opened but passed over for the next number.
// Refused, with nothing written: a `target` that is a symbolic link (or reparse point), or
// that exists and is not a regular file. The new file is removed unless it was put in place.
// Not thread-safe on one object.
class FileReplacement {
 public:
  // Looks at `target` and creates the new file beside it. Cost: a stat and one exclusive
  // create (more only when names are taken).
  explicit FileReplacement(const PathString& target);
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  // Writes the bytes at the end of the new file; false, with Error() set, when it cannot.
  bool Write(std::string_view bytes);
  // Puts the new file in place of `target` (POSIX rename, Windows MoveFileExW replacing an
  // existing file), after looking at `target` again. False, with Error() set, when refused
  // or failed; the new file is then removed.
  bool Commit();
  // Why the last step failed, in words for a message after the target's name ("is a
  // symbolic link: not written"); empty when nothing failed.
  const std::string& Error() const { return error_; }

 private:
  PathString target_;
  PathString partial_;
  std::string error_;
  bool committed_ = false;
  struct Native;  // the backend's open file, defined in its files.cpp
  std::unique_ptr<Native> native_;
};

}  // namespace vortane::platform
