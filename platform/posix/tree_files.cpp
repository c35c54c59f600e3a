// The POSIX walk through a directory tree: openat with O_NOFOLLOW, one name at a time.
#include "platform/tree_files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace vortane::platform {

namespace {

// A name that openat resolves as itself, inside the directory it is given.
bool IsPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

// Opens the directory `name` inside `directory`, or tells why not.
TreeEntry::Kind OpenDirectoryIn(int directory, const char* name, FileHandle& opened) {
  const int descriptor = openat(directory, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (descriptor >= 0) {
    opened = FileHandle(descriptor);
    return TreeEntry::Directory;
  }
  // A link (to anything) fails as "not a directory" under O_NOFOLLOW, as a file does.
  struct stat info;
  if (errno == ENOTDIR && fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(info.st_mode)) {
    return TreeEntry::Link;
  }
  return TreeEntry::Missing;
}

}  // namespace

FileHandle::~FileHandle() {
  if (descriptor_ >= 0) close(descriptor_);
}

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    if (descriptor_ >= 0) close(descriptor_);
    descriptor_ = other.Release();
  }
  return *this;
}

FileHandle OpenTree(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return FileHandle();
  return FileHandle(open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

TreeEntry OpenInTree(const FileHandle& tree, const std::vector<std::string_view>& names) {
  TreeEntry entry;
  if (!tree.IsOpen()) return entry;
  if (names.empty()) {
    entry.kind = TreeEntry::Directory;
    entry.handle = FileHandle(fcntl(tree.Get(), F_DUPFD_CLOEXEC, 0));
    if (!entry.handle.IsOpen()) entry.kind = TreeEntry::Missing;
    return entry;
  }
  FileHandle current;  // the directory the next name is opened in; `tree` at first
  std::string name;    // NUL-terminated for the system
  for (size_t i = 0; i < names.size(); ++i) {
    if (!IsPlainName(names[i])) return entry;  // Missing
    name.assign(names[i]);
    const int directory = current.IsOpen() ? current.Get() : tree.Get();
    if (i + 1 < names.size()) {
      FileHandle next;
      entry.kind = OpenDirectoryIn(directory, name.c_str(), next);
      if (entry.kind != TreeEntry::Directory) return entry;
      current = std::move(next);
      continue;
    }
    // The last name: its kind first, so that a device or FIFO is never opened.
    struct stat info;
    if (fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      entry.kind = TreeEntry::Missing;
    } else if (S_ISLNK(info.st_mode)) {
      entry.kind = TreeEntry::Link;
    } else if (S_ISDIR(info.st_mode)) {
      entry.kind = OpenDirectoryIn(directory, name.c_str(), entry.handle);
    } else if (!S_ISREG(info.st_mode)) {
      entry.kind = TreeEntry::Other;
    } else {
      // Replaced since the stat: O_NOFOLLOW refuses a link, O_NONBLOCK keeps a FIFO from
      // blocking, and the fstat of what was opened decides.
      const int descriptor =
          openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      if (descriptor < 0) {
        entry.kind = errno == ELOOP ? TreeEntry::Link : TreeEntry::Missing;
        return entry;
      }
      entry.handle = FileHandle(descriptor);
      if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        entry.handle = FileHandle();
        entry.kind = TreeEntry::Other;
        return entry;
      }
      entry.kind = TreeEntry::RegularFile;
      entry.size = static_cast<uint64_t>(info.st_size);
      entry.identity = {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
      entry.modified = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                       static_cast<int64_t>(info.st_mtim.tv_nsec);
    }
    return entry;
  }
  return entry;
}

std::optional<FileIdentity> IdentityOf(const std::string& path) {
  struct stat info;
  if (path.empty() || path.find('\0') != std::string::npos || stat(path.c_str(), &info) != 0) {
    return std::nullopt;
  }
  return FileIdentity{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

std::string ReadStart(const FileHandle& file, size_t maxBytes, bool& cut) {
  std::string bytes(maxBytes + 1, '\0');
  size_t got = 0;
  while (file.IsOpen() && got < bytes.size()) {
    const ssize_t n =
        pread(file.Get(), bytes.data() + got, bytes.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  cut = got > maxBytes;
  bytes.resize(std::min(got, maxBytes));
  return bytes;
}

std::FILE* OpenForAppend(const std::string& path, std::string& error) {
  if (path.find('\0') != std::string::npos) {
    error = "holds a NUL byte";
    return nullptr;
  }
  FileHandle file(open(path.c_str(),
                       O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
  if (!file.IsOpen()) {
    error = errno == ELOOP ? "is a symbolic link" : std::strerror(errno);
    return nullptr;
  }
  struct stat facts;
  if (fstat(file.Get(), &facts) != 0 || !S_ISREG(facts.st_mode)) {
    error = "is not a regular file";
    return nullptr;
  }
  if (facts.st_nlink != 1) {
    error = "has other hard links";
    return nullptr;
  }
  std::FILE* stream = fdopen(file.Get(), "ab");
  if (stream == nullptr) {
    error = std::strerror(errno);
    return nullptr;
  }
  file.Release();
  return stream;
}

}  // namespace vortane::platform
