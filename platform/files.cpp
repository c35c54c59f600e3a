// The part of the file operations both systems share: what a path kind is called, and why a
// replacement refuses its target.
#include "platform/files.h"
#include "platform/native.h"

namespace vortane::platform {

const char* PathKindText(PathKind kind) {
  switch (kind) {
    case PathKind::Missing:
      return "no such file or directory";
    case PathKind::Regular:
      return "a regular file";
    case PathKind::Directory:
      return "a directory";
    case PathKind::Link:
      return "a symbolic link";
    case PathKind::Other:
      return "not a regular file (a FIFO, device or socket)";
    case PathKind::LinkLoop:
      return "too many levels of symbolic links";
    case PathKind::Inaccessible:
      return "cannot be looked at or opened (access denied, or a name too long)";
  }
  return "unknown";
}

namespace native {

std::string ReplacementRefusal(PathKind kind) {
  switch (kind) {
    case PathKind::Missing:
    case PathKind::Regular:
      return "";
    case PathKind::Link:
      return "is a symbolic link: not written";
    case PathKind::Directory:
      return "is a directory: not written";
    case PathKind::Other:
      return "is not a regular file: not written";
    case PathKind::LinkLoop:
    case PathKind::Inaccessible:
      break;
  }
  return "is out of reach: not written";
}

}  // namespace native

}  // namespace vortane::platform
