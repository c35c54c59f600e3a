#include "tools/runner/file_access.h"

#include <stdexcept>

#include "base/text.h"

namespace fs = std::filesystem;

namespace vortane::tools {

std::string NotReadable(const fs::path& path, platform::PathKind kind) {
  const std::string what =
      kind == platform::PathKind::Regular ? "cannot be read" : platform::PathKindText(kind);
  return Escaped(path.u8string()) + ": " + what;
}

std::optional<std::string> ReadBoundedFile(const fs::path& path, size_t limit) {
  const platform::FileView view(path.native(), limit);
  if (view.HasBytes() && !view.IsCut()) return std::string(view.Bytes());
  if (view.IsCut()) {
    throw std::runtime_error(Escaped(path.u8string()) + ": longer than " + std::to_string(limit) +
                             " bytes: not read");
  }
  // No bytes: an empty regular file, nothing at all, or something that is not read.
  const platform::PathKind kind = platform::LookAtPath(path.native(), true).kind;
  if (kind == platform::PathKind::Missing) return std::nullopt;
  if (kind == platform::PathKind::Regular && !view.Failed()) return std::string();
  throw std::runtime_error(NotReadable(path, kind));
}

void ReplaceFileWith(const fs::path& path, std::string_view bytes) {
  platform::FileReplacement replacement(path.native());
  if (!replacement.Write(bytes) || !replacement.Commit()) {
    throw std::runtime_error(Escaped(path.u8string()) + " " + replacement.Error());
  }
}

FileInput::FileInput(const fs::path& path) : reader_(path.native()) {
  if (!reader_.IsOpen()) throw std::runtime_error(NotReadable(path, reader_.Kind()));
}

FileInput::int_type FileInput::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  const std::ptrdiff_t got = reader_.Read(buffer_, sizeof buffer_);
  if (got < 0) failed_ = true;
  if (got <= 0) return traits_type::eof();
  setg(buffer_, buffer_, buffer_ + got);
  return traits_type::to_int_type(*gptr());
}

}  // namespace vortane::tools
