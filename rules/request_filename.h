// REQUEST_FILENAME: the file or folder a request's URL names in its site's folders, as the
// file tests (RewriteCond %REQUEST_FILENAME -f, -d, !-f, !-d) and conditions on the
// variable see it.
//
// The filter computes it itself, never asking the server nor trusting a header: the URL as
// the rules have left it, up to its first "?", percent-decoded, backslashes as slashes, runs
// of slashes as one, "." segments dropped and ".." segments resolved; then joined to the
// folder of the longest virtual folder whose prefix it starts with, or to the site's root.
// The whole path counts: there is no split into a file and path info. A path that would leave
// its folder, holds a NUL, or has a malformed escape names nothing; so does, on Windows, a
// segment with a ":" or a byte the file system refuses, one that ends in "." or a space, or a
// reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an extension),
// and a path that is not valid UTF-8. A site without a known root names nothing.
//
// Pure apart from RequestFiles' one look-up; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/site_roots.h"
#include "platform/system.h"

namespace vortane {

// Which file system's rules a path is made by.
enum class PathStyle { Posix, Windows };
#ifdef _WIN32
inline constexpr PathStyle kNativePathStyle = PathStyle::Windows;
#else
inline constexpr PathStyle kNativePathStyle = PathStyle::Posix;
#endif

// A site's folders: its root directory (nothing when it is not known) and its virtual folders.
struct SiteFolders {
  std::optional<platform::PathString> root;
  std::vector<platform::VirtualFolder> virtualFolders;
};

// The path a URL names, or why it names none.
struct RequestFilename {
  // Empty when `refusal` is set; otherwise the folder's path, a separator and the segments
  // (none for the folder itself).
  platform::PathString path;
  // `path` as UTF-8 text, with a separator at its end when the URL's path ends in "/": what a
  // condition's pattern matches and a trace shows. Empty when `refusal` is set.
  std::string text;
  // The URL's path ends in "/" (or names the folder itself): only a folder can be there.
  bool folderOnly = false;
  // Why the URL names nothing ("no root", "leaves the root", ...); empty when it names `path`.
  std::string_view refusal;

  bool Names() const { return refusal.empty(); }
};

// The path `url` names among `folders`, by the rules of `style`. `path` is built for the
// system the code runs on (PathString); `text` uses the separator of `style`. Cost: one pass
// over the URL, a few strings.
RequestFilename ComputeRequestFilename(const SiteFolders& folders, std::string_view url,
                                       PathStyle style = kNativePathStyle);

// The answers of a file test at a computed path.
struct FileTestAnswer {
  bool file = false;    // an existing regular file (links followed)
  bool folder = false;  // an existing folder
};

// What is at `name`: one file-system query (platform::FileTestKind) when it names a path,
// none otherwise.
FileTestAnswer LookAtRequestFilename(const RequestFilename& name);

// The site folders of one request, looked up the first time a rule needs them and kept for
// the rest of the request. Belongs to the request's thread; costs nothing until asked.
class RequestFiles {
 public:
  // Returns the request's site's folders, or null when they cannot be had; what it returns
  // must outlive this object.
  using LookUp = const SiteFolders* (*)(void* context);
  RequestFiles(LookUp lookUp, void* context) : lookUp_(lookUp), context_(context) {}
  // Folders known beforehand (tools, tests).
  explicit RequestFiles(const SiteFolders& folders) : folders_(&folders), looked_(true) {}

  // The folders, or null: no root, so nothing is a file or a folder.
  const SiteFolders* Folders() {
    if (!looked_) {
      looked_ = true;
      folders_ = lookUp_ != nullptr ? lookUp_(context_) : nullptr;
    }
    return folders_;
  }

 private:
  LookUp lookUp_ = nullptr;
  void* context_ = nullptr;
  const SiteFolders* folders_ = nullptr;
  bool looked_ = false;
};

}  // namespace vortane
