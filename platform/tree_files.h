// Opening files inside a directory tree without ever following a symbolic link: the static
// files vortane-serve serves from a site's root. Linux only (platform/posix/tree_files.cpp,
// with O_PATH), like the HTTP host that uses it.
//
// Each name is opened relative to the directory opened before it (openat with O_NOFOLLOW), so
// a link anywhere on the way, or one swapped in while the walk runs, stops the walk instead of
// leading it elsewhere; and the kernel resolves one name per call, without the readlink of
// every component of the whole path that resolving it from "/" takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vortane::platform {

// An open file descriptor with one owner; closed when destroyed. Move-only. Not thread-safe;
// the descriptor may be used from any thread.
class FileHandle {
 public:
  FileHandle() = default;
  // Takes ownership of `descriptor` (-1 for none).
  explicit FileHandle(int descriptor) : descriptor_(descriptor) {}
  ~FileHandle();
  FileHandle(FileHandle&& other) noexcept : descriptor_(other.Release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  // True when a descriptor is held. Cheap.
  bool IsOpen() const { return descriptor_ >= 0; }
  // The descriptor, still owned here; -1 when none. Cheap.
  int Get() const { return descriptor_; }
  // Hands the descriptor to the caller, who closes it; -1 when none. Cheap.
  int Release() {
    const int descriptor = descriptor_;
    descriptor_ = -1;
    return descriptor;
  }

 private:
  int descriptor_ = -1;
};

// What tells one file apart from every other on the machine, whatever its name: its device
// and inode.
struct FileIdentity {
  uint64_t device = 0;
  uint64_t inode = 0;
  bool operator==(const FileIdentity& other) const {
    return device == other.device && inode == other.inode;
  }
};

// What a walk by OpenInTree ended on.
struct TreeEntry {
  enum Kind {
    RegularFile,  // `handle` is open for reading; `size` is its size in bytes
    Directory,    // `handle` is the directory, usable as the start of another walk
    Link,         // a name on the way is a symbolic link: not followed, nothing opened
    Missing,      // a name on the way does not exist, is not a directory where one is needed,
                  // cannot be opened, or is not a single plain name ("", ".", "..", holding
                  // "/" or NUL)
    Other,        // the last name is a FIFO, socket or device: never opened for reading
  } kind = Missing;
  FileHandle handle;
  uint64_t size = 0;
  // For RegularFile: which file it is, and its last change of content (nanoseconds since
  // 1970).
  FileIdentity identity;
  int64_t modified = 0;
};

// Opens `path` as the start of walks. Links in `path` itself are followed: it is the tree's
// own place, chosen by the administrator. A closed handle when it is not a directory that can
// be opened. Cost: one open. Thread-safe.
FileHandle OpenTree(const std::string& path);

// Walks `names` from the directory `tree` (from OpenTree, or a Directory entry): every name
// but the last must be a directory, and none may be a symbolic link. No names: the Directory
// `tree` itself, with a handle of its own. Never opens anything
// outside `tree` and never blocks on a FIFO. Cost per name: one open (the last name: a stat
// and, for a directory or regular file, an open; a regular file also an fstat). Thread-safe.
TreeEntry OpenInTree(const FileHandle& tree, const std::vector<std::string_view>& names);

// The identity of the file at `path`, links followed; nothing when there is none or `path`
// holds a NUL byte. Cost: one stat. Thread-safe.
std::optional<FileIdentity> IdentityOf(const std::string& path);

// Opens `path` for appending, as a log: created (mode 0644) when missing, else only a regular
// file with no other hard link; never through a symbolic link, and never blocking on a FIFO.
// Null, with `error` saying why, when it is anything else or cannot be opened. Cost: one
// open and one fstat. Thread-safe.
std::FILE* OpenForAppend(const std::string& path, std::string& error);

// The first bytes of an open regular file, from offset 0: at most `maxBytes`, and `cut` set
// when it holds more. Whatever a read error leaves out is left out. Cost: reads of at most
// `maxBytes` + 1 bytes. Thread-safe on distinct handles.
std::string ReadStart(const FileHandle& file, size_t maxBytes, bool& cut);

}  // namespace vortane::platform
