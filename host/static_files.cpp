#include "host/static_files.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>

namespace fs = std::filesystem;

namespace vortane::host {
namespace {

// The files the filter keeps in a site's root: its rules and the report about them.
constexpr std::array<std::string_view, 2> kFilterFiles = {"httpd.ini", "httpd.parse.errors"};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The path with every %XX decoded; nothing when an escape is malformed or yields a NUL.
std::optional<std::string> PercentDecoded(std::string_view path) {
  std::string decoded;
  decoded.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    char c = path[i];
    if (c == '%') {
      if (i + 2 >= path.size()) return std::nullopt;
      const int high = HexValue(path[i + 1]);
      const int low = HexValue(path[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      c = static_cast<char>(high * 16 + low);
      i += 2;
    }
    if (c == '\0') return std::nullopt;
    decoded += c;
  }
  return decoded;
}

// The path's segments with "." and ".." resolved; nothing when ".." climbs above the root.
std::optional<std::vector<std::string>> Segments(std::string_view decoded) {
  std::vector<std::string> segments;
  size_t start = 0;
  while (start <= decoded.size()) {
    size_t end = decoded.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = decoded.size();
    const std::string_view segment = decoded.substr(start, end - start);
    if (segment == "..") {
      if (segments.empty()) return std::nullopt;
      segments.pop_back();
    } else if (!segment.empty() && segment != ".") {
      segments.emplace_back(segment);
    }
    start = end + 1;
  }
  return segments;
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
  const std::optional<std::string> decoded = PercentDecoded(path);
  const auto segments = decoded ? Segments(*decoded) : std::nullopt;
  if (!segments) {
    mapping.kind = FileMapping::BadRequest;
    return mapping;
  }

  fs::path file = root;
  for (const std::string& segment : *segments) file /= segment;
  std::error_code error;
  if (fs::is_directory(file, error)) {
    const char last = decoded->back();
    if (last != '/' && last != '\\') {
      mapping.kind = FileMapping::AddSlash;
      mapping.location = std::string(path) + "/";
      if (question != std::string_view::npos) mapping.location += url.substr(question);
      return mapping;
    }
    file /= "index.html";
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
