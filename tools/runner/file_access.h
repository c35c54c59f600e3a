// How the command-line tools read and write files: every file any tool reads (configuration,
// site tables, test files, request logs, reports) is read as the filter reads its own files,
// a regular file only, never blocking on a FIFO or device, within a bound; every file any
// tool writes replaces the old one through platform::FileReplacement: never through a link.
//
// Errors are thrown as std::runtime_error, with a message for the administrator that names
// the file and what it is ("sites.txt: not a regular file (a FIFO, device or socket)").
// Plain file operations on the calling thread.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <streambuf>
#include <string>
#include <string_view>

#include "platform/files.h"

namespace vortane::tools {

// The bytes of the regular file at `path` (links followed), at most `limit` of them; nothing
// when there is no file under the name. Throws when the name is something else (a FIFO, a
// device, a directory, a link loop), when the file cannot be read, or when it is longer
// than `limit`. Cost: one read of the file, through platform::FileView.
std::optional<std::string> ReadBoundedFile(const std::filesystem::path& path, size_t limit);

// Writes `bytes` in place of the file at `path`, in one rename: a reader sees the old file or
// the new one. Throws, with nothing written, when `path` is a link or exists and is not a
// regular file, or when the new file cannot be written.
void ReplaceFileWith(const std::filesystem::path& path, std::string_view bytes);

// A regular file read in pieces as a stream buffer (for std::istream and the line readers),
// in constant memory whatever its length. Throws from the constructor when `path` is not a
// regular file that can be opened, naming what it is.
class FileInput : public std::streambuf {
 public:
  explicit FileInput(const std::filesystem::path& path);
  // True when a read failed; the stream then ended there.
  bool Failed() const { return failed_; }

 protected:
  int_type underflow() override;

 private:
  platform::FileReader reader_;
  bool failed_ = false;
  char buffer_[64 * 1024];
};

// "PATH: what it is" for a name that is not the regular file a tool wanted: the message of
// the errors above.
std::string NotReadable(const std::filesystem::path& path, platform::PathKind kind);

}  // namespace vortane::tools
