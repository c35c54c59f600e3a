#include "rules/request_filename.h"

#include <algorithm>
#include <cctype>

#include <boost/container/small_vector.hpp>

#include "base/text.h"
#include "platform/files.h"

namespace vortane {
namespace {

constexpr std::string_view kNoRoot = "no root";
constexpr std::string_view kBadEscape = "malformed escape or NUL";
constexpr std::string_view kLeavesRoot = "leaves the root";
constexpr std::string_view kNotAFileName = "not a file name";

char Separator(PathStyle style) {
  return style == PathStyle::Windows ? '\\' : '/';
}

bool SameLetters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

// Whether `segment` is a reserved device name of Windows: CON, PRN, AUX, NUL, COM1-9 or
// LPT1-9, in any case, alone or before an extension (and the blanks Windows drops after it).
bool IsDeviceName(std::string_view segment) {
  std::string_view base = segment.substr(0, segment.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  for (const std::string_view name : {"CON", "PRN", "AUX", "NUL"}) {
    if (SameLetters(base, name)) return true;
  }
  if (base.size() != 4 || base[3] < '1' || base[3] > '9') return false;
  return SameLetters(base.substr(0, 3), "COM") || SameLetters(base.substr(0, 3), "LPT");
}

// Whether Windows can name a file `segment`: no control byte, none of :*?"<>|, not ending in
// "." or a space, not a device name.
bool IsWindowsName(std::string_view segment) {
  for (const char c : segment) {
    if (static_cast<unsigned char>(c) < 0x20 ||
        std::string_view(":*?\"<>|").find(c) != std::string_view::npos) {
      return false;
    }
  }
  if (segment.back() == '.' || segment.back() == ' ') return false;
  return !IsDeviceName(segment);
}

// The segments of a URL prefix ("/app/v2").
std::vector<std::string_view> SegmentsOf(std::string_view prefix) {
  std::vector<std::string_view> segments;
  size_t start = 1;
  while (start <= prefix.size()) {
    const size_t slash = std::min(prefix.find('/', start), prefix.size());
    if (slash > start) segments.push_back(prefix.substr(start, slash - start));
    start = slash + 1;
  }
  return segments;
}

// A URL path's segments, views into its decoded text; a usual path's fit inside.
using Segments = boost::container::small_vector<std::string_view, 16>;

// How many leading segments of `path` the prefix `prefix` covers: all of its own when they
// match (in any case on Windows, whose URLs and file names ignore it), 0 otherwise.
size_t PrefixCover(const Segments& path, std::string_view prefix, PathStyle style) {
  const std::vector<std::string_view> segments = SegmentsOf(prefix);
  if (segments.empty() || segments.size() > path.size()) return 0;
  for (size_t i = 0; i < segments.size(); ++i) {
    const bool same =
        style == PathStyle::Windows ? SameLetters(segments[i], path[i]) : segments[i] == path[i];
    if (!same) return 0;
  }
  return segments.size();
}

RequestFilename Refused(std::string_view why) {
  RequestFilename name;
  name.refusal = why;
  return name;
}

}  // namespace

RequestFilename ComputeRequestFilename(const SiteFolders& folders, std::string_view url,
                                       PathStyle style) {
  if (!folders.root) return Refused(kNoRoot);
  std::string decoded;
  // A NUL, decoded or as sent, would end the path where the system reads it.
  if (!PercentDecode(url.substr(0, url.find('?')), decoded) ||
      decoded.find('\0') != std::string::npos) {
    return Refused(kBadEscape);
  }
  std::replace(decoded.begin(), decoded.end(), '\\', '/');

  // The segments, "." and ".." resolved; a path ending in "/", ".", ".." or nothing at all
  // names a folder.
  Segments segments;
  bool folderOnly = true;
  size_t start = 0;
  while (start <= decoded.size()) {
    const size_t slash = std::min(decoded.find('/', start), decoded.size());
    const std::string_view segment = std::string_view(decoded).substr(start, slash - start);
    folderOnly = segment.empty() || segment == "." || segment == "..";
    if (segment == "..") {
      if (segments.empty()) return Refused(kLeavesRoot);
      segments.pop_back();
    } else if (!folderOnly) {
      if (style == PathStyle::Windows && !IsWindowsName(segment)) return Refused(kNotAFileName);
      segments.push_back(segment);
    }
    start = slash + 1;
  }

  // The longest virtual folder that covers the path's first segments, else the root.
  const platform::PathString* base = &*folders.root;
  size_t covered = 0;
  for (const platform::VirtualFolder& folder : folders.virtualFolders) {
    const size_t cover = PrefixCover(segments, folder.urlPrefix, style);
    if (cover > covered) {
      covered = cover;
      base = &folder.folder;
    }
  }

  const char separator = Separator(style);
  std::string rest;
  rest.reserve(decoded.size() + 1);
  for (size_t i = covered; i < segments.size(); ++i) {
    rest += separator;
    rest += segments[i];
  }
  const std::optional<platform::PathString> restPath = platform::PathFromUtf8(rest);
  if (!restPath) return Refused(kNotAFileName);

  RequestFilename name;
  name.folderOnly = folderOnly;
  // The folder without the separators at its end ("C:\" stays as it is: its separator is
  // part of the drive's name).
  const platform::PathString& folder = *base;
  const auto isSeparator = [](platform::PathChar c) {
    return c == platform::PathChar('/') || c == platform::PathChar('\\');
  };
  size_t folderLength = folder.size();
  while (folderLength > 1 && isSeparator(folder[folderLength - 1]) &&
         !(folderLength == 3 && folder[1] == platform::PathChar(':'))) {
    --folderLength;
  }
  const bool folderEnds = folderLength > 0 && isSeparator(folder[folderLength - 1]);
  const size_t skip = folderEnds && !rest.empty() ? 1 : 0;  // the separator the folder has
  name.path.reserve(folderLength + restPath->size() - skip);
  name.path.assign(folder, 0, folderLength);
  name.text = platform::Utf8FromPath(name.path);
  name.text.reserve(name.text.size() + rest.size() - skip + 1);
  name.path.append(*restPath, skip, platform::PathString::npos);
  name.text.append(rest, skip, std::string::npos);
  if (folderOnly && !segments.empty() && covered < segments.size()) name.text += separator;
  return name;
}

FileTestAnswer LookAtRequestFilename(const RequestFilename& name) {
  FileTestAnswer answer;
  if (!name.Names()) return answer;
  const platform::PathKind kind = platform::FileTestKind(name.path);
  answer.file = kind == platform::PathKind::Regular && !name.folderOnly;
  answer.folder = kind == platform::PathKind::Directory;
  return answer;
}

}  // namespace vortane
