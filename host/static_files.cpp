#include "host/static_files.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <system_error>
#include <utility>

#include <boost/algorithm/string/predicate.hpp>

#include "base/text.h"
#include "memory_server/memory_server.h"

namespace fs = std::filesystem;

namespace vortane::host {
namespace {

// The files the filter keeps in a site's root: its rules and the report about them.
constexpr std::array<std::string_view, 2> kFilterFiles = {"httpd.ini", "httpd.parse.errors"};

// The normalised path as it may stand in a Location header: bytes other than unreserved
// characters, sub-delimiters, ":", "@" and "/" percent-encoded.
std::string PercentEncodedPath(std::string_view path) {
  return PercentEncoded(path, [](unsigned char byte) {
    return std::isalnum(byte) == 0 &&
           std::string_view("-._~!$&'()*+,;=:@/").find(static_cast<char>(byte)) ==
               std::string_view::npos;
  });
}

bool IsFilterFile(const fs::path& file) {
  const std::string name = file.filename().string();
  return std::any_of(kFilterFiles.begin(), kFilterFiles.end(),
                     [&](std::string_view filterFile) { return boost::iequals(name, filterFile); });
}

// True when `file`, with every link resolved, still lies under `root` (also resolved).
bool StaysUnder(const fs::path& root, const fs::path& file) {
  std::error_code error;
  const fs::path realRoot = fs::canonical(root, error);
  if (error) return false;
  const fs::path realFile = fs::canonical(file, error);
  if (error) return false;
  const auto [rootEnd, fileAt] =
      std::mismatch(realRoot.begin(), realRoot.end(), realFile.begin(), realFile.end());
  return rootEnd == realRoot.end();
}

}  // namespace

FileMapping MapUrlToFile(const fs::path& root, std::string_view url) {
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

  fs::path file = root;
  for (size_t start = 1; start < normalized.size();) {
    const size_t slash = std::min(normalized.find('/', start), normalized.size());
    file /= normalized.substr(start, slash - start);
    start = slash + 1;
  }
  const bool namesDirectory = normalized.back() == '/';
  std::error_code error;
  if (fs::is_directory(file, error)) {
    if (!namesDirectory) {
      mapping.kind = FileMapping::AddSlash;
      mapping.location = PercentEncodedPath(normalized) + "/";
      if (question != std::string_view::npos) mapping.location += url.substr(question);
      return mapping;
    }
    file /= "index.html";
  } else if (namesDirectory) {
    return mapping;  // NotFound: a file asked for as a directory
  }
  if (!fs::is_regular_file(file, error) || IsFilterFile(file) || !StaysUnder(root, file)) {
    return mapping;  // NotFound
  }
  mapping.kind = FileMapping::File;
  mapping.file = std::move(file);
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
  const std::string extension = file.extension().string();
  for (const auto& [known, type] : kTypes) {
    if (boost::iequals(extension, known)) return type;
  }
  return "application/octet-stream";
}

}  // namespace vortane::host
