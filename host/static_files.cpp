#include "host/static_files.h"
#include "base/file_names.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <boost/beast/core/string.hpp>

#include "base/text.h"
#include "memory_server/memory_server.h"

namespace fs = std::filesystem;

namespace vortane::host {
namespace {

// The files the filter keeps in a site's root: its rules and the report about them.
constexpr std::array<std::string_view, 2> kFilterFiles = {kConfigFileName, kReportFileName};

// The normalised path as it may stand in a Location header: bytes other than unreserved
// characters, sub-delimiters, ":", "@" and "/" percent-encoded.
std::string PercentEncodedPath(std::string_view path) {
  return PercentEncoded(path, [](unsigned char byte) {
    return std::isalnum(byte) == 0 &&
           std::string_view("-._~!$&'()*+,;=:@/").find(static_cast<char>(byte)) ==
               std::string_view::npos;
  });
}

bool IsFilterFile(std::string_view name) {
  return std::any_of(kFilterFiles.begin(), kFilterFiles.end(), [&](std::string_view filterFile) {
    return boost::beast::iequals(name, filterFile);
  });
}

// The walk again for a path with a symbolic link on it: the path with every link resolved,
// when it still lies under the root (also resolved), walked from `tree` along the resolved
// names. A link met on that walk (one swapped in meanwhile) finds nothing.
platform::TreeEntry OpenThroughLinks(const fs::path& root, const platform::FileHandle& tree,
                                     const std::vector<std::string_view>& names) {
  platform::TreeEntry entry;
  std::error_code error;
  const fs::path realRoot = fs::canonical(root, error);
  if (error) return entry;
  fs::path file = root;
  for (const std::string_view name : names) file /= name;
  const fs::path realFile = fs::canonical(file, error);
  if (error) return entry;
  const auto [rootEnd, fileAt] =
      std::mismatch(realRoot.begin(), realRoot.end(), realFile.begin(), realFile.end());
  if (rootEnd != realRoot.end()) return entry;  // outside the root
  std::vector<std::string> realNames;
  for (auto name = fileAt; name != realFile.end(); ++name) realNames.push_back(name->string());
  if (!realNames.empty() && IsFilterFile(realNames.back())) return entry;
  entry =
      platform::OpenInTree(tree, std::vector<std::string_view>(realNames.begin(), realNames.end()));
  if (entry.kind == platform::TreeEntry::Link) entry = platform::TreeEntry();
  return entry;
}

// What `names` lead to from `tree` (the root's), a link resolved only when it stays under
// the root. A regular file that is a filter file or one of `privateFiles` (compared by what
// was opened: names do not tell a hard link from its file) comes back as nothing.
platform::TreeEntry OpenServable(const fs::path& root, const platform::FileHandle& tree,
                                 const std::vector<std::string_view>& names,
                                 const std::vector<fs::path>& privateFiles) {
  platform::TreeEntry entry = platform::OpenInTree(tree, names);
  if (entry.kind == platform::TreeEntry::Link) entry = OpenThroughLinks(root, tree, names);
  if (entry.kind != platform::TreeEntry::RegularFile) return entry;
  const bool hidden =
      IsFilterFile(names.back()) ||
      std::any_of(privateFiles.begin(), privateFiles.end(), [&](const fs::path& file) {
        return platform::IdentityOf(file.native()) == entry.identity;
      });
  return hidden ? platform::TreeEntry() : std::move(entry);
}

}  // namespace

bool IsDefaultDocumentName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

FileMapping MapUrlToFile(const fs::path& root, std::string_view url,
                         const std::vector<fs::path>& privateFiles,
                         const std::vector<std::string>& defaultDocuments) {
  const size_t question = url.find('?');
  const std::string_view path = url.substr(0, question);
  FileMapping mapping;
  if (path.empty() || path.front() != '/') {
    mapping.kind = FileMapping::BadRequest;
    return mapping;
  }
  // The path the filter's normalisation makes of it, and nothing else, names the file: a
  // rule with O that refuses a path refuses every spelling of it that is served.
  std::string normalized(path);
  if (!NormalizeUrlPath(normalized)) {
    mapping.kind = FileMapping::BadRequest;
    return mapping;
  }

  // The names of the normalised path, which has no empty ones but the one after a final "/":
  // a directory asked for that way is served by its first default document that is there.
  std::vector<std::string_view> names;
  const std::string_view rest = std::string_view(normalized).substr(1);
  for (size_t start = 0; start < rest.size();) {
    const size_t slash = std::min(rest.find('/', start), rest.size());
    names.push_back(rest.substr(start, slash - start));
    start = slash + 1;
  }
  const bool namesDirectory = normalized.back() == '/';

  const platform::FileHandle tree = platform::OpenTree(root.string());
  platform::TreeEntry entry;
  if (namesDirectory) {
    for (const std::string& document : defaultDocuments) {
      names.push_back(document);
      entry = OpenServable(root, tree, names, privateFiles);
      if (entry.kind == platform::TreeEntry::RegularFile) break;
      names.pop_back();
    }
  } else {
    entry = OpenServable(root, tree, names, privateFiles);
    if (entry.kind == platform::TreeEntry::Directory) {
      mapping.kind = FileMapping::AddSlash;
      mapping.location = PercentEncodedPath(normalized) + "/";
      if (question != std::string_view::npos) mapping.location += url.substr(question);
      return mapping;
    }
  }
  if (entry.kind != platform::TreeEntry::RegularFile) return mapping;  // NotFound
  mapping.kind = FileMapping::File;
  mapping.file = root;
  for (const std::string_view name : names) mapping.file /= name;
  mapping.handle = std::move(entry.handle);
  mapping.size = entry.size;
  return mapping;
}

std::string_view ContentTypeFor(const fs::path& file) {
  static constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
      {".html", "text/html; charset=utf-8"},
      {".htm", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".json", "application/json"},
      {".txt", "text/plain; charset=utf-8"},
      {".xml", "application/xml"},
      {".svg", "image/svg+xml"},
      {".png", "image/png"},
      {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},
      {".webp", "image/webp"},
      {".ico", "image/vnd.microsoft.icon"},
      {".pdf", "application/pdf"},
      {".woff2", "font/woff2"},
  };
  constexpr std::string_view kUnknown = "application/octet-stream";
  // The extension as path::extension() finds it, without making a path or a locale: from
  // the file name's last ".", unless that is its first byte.
  const std::string_view name = file.native();
  const std::string_view fileName = name.substr(name.rfind('/') + 1);
  const size_t dot = fileName.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return kUnknown;
  const std::string_view extension = fileName.substr(dot);
  for (const auto& [known, type] : kTypes) {
    if (boost::beast::iequals(extension, known)) return type;
  }
  return kUnknown;
}

}  // namespace vortane::host
