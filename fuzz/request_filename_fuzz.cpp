// Fuzzes REQUEST_FILENAME: whatever the URL, under either path style, a path the file tests
// would hand to the file system lies inside the site's root or one of its virtual folders:
// it is the folder itself or the folder, a separator and segments that are neither empty,
// "." nor "..", and it holds no NUL; under the Windows style no segment holds a ":", ends in
// "." or a space. The first input byte chooses the style; the rest is the URL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "rules/request_filename.h"

namespace {

const vortane::SiteFolders& Folders() {
  static const vortane::SiteFolders folders = [] {
    vortane::SiteFolders site;
    site.root = *vortane::platform::PathFromUtf8("/srv/site");
    site.virtualFolders = {{"/app", *vortane::platform::PathFromUtf8("/opt/app")},
                           {"/app/v2", *vortane::platform::PathFromUtf8("/opt/v2")}};
    return site;
  }();
  return folders;
}

void Require(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const auto style = (data[0] & 1) != 0 ? vortane::PathStyle::Windows : vortane::PathStyle::Posix;
  const std::string_view url(reinterpret_cast<const char*>(data + 1), size - 1);
  const vortane::RequestFilename name = vortane::ComputeRequestFilename(Folders(), url, style);
  if (!name.Names()) {
    Require(name.text.empty() && name.path.empty());
    return 0;
  }
  const std::string& text = name.text;
  Require(text.find('\0') == std::string::npos);
  const std::string path = vortane::platform::Utf8FromPath(name.path);
  Require(std::string_view(text).substr(0, path.size()) == path);
  std::string_view rest;
  bool inside = false;
  for (const std::string_view base : {"/srv/site", "/opt/app", "/opt/v2"}) {
    if (text.compare(0, base.size(), base) == 0) {
      rest = std::string_view(text).substr(base.size());
      inside = true;
      break;
    }
  }
  Require(inside);
  const char separator = style == vortane::PathStyle::Windows ? '\\' : '/';
  if (rest.empty()) return 0;
  Require(rest[0] == separator);
  size_t start = 1;
  while (start < rest.size()) {
    const size_t end = std::min(rest.find(separator, start), rest.size());
    const std::string_view segment = rest.substr(start, end - start);
    Require(!segment.empty() && segment != "." && segment != "..");
    if (style == vortane::PathStyle::Windows) {
      Require(segment.find(':') == std::string_view::npos);
      Require(segment.back() != '.' && segment.back() != ' ');
    }
    start = end + 1;
  }
  return 0;
}
