#include "platform/site_table.h"

#include <algorithm>

#include "base/text.h"

namespace vortane::platform {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// The line's text after `at` with the blanks before it and the trailing blanks and CRs
// removed: a root or a folder. Nothing when it is empty or holds a NUL (a path is handed to
// the system up to its first NUL, so it would name another file).
std::optional<std::string_view> FolderAt(std::string_view line, size_t at) {
  while (at < line.size() && IsBlank(line[at])) ++at;
  size_t end = line.size();
  while (end > at && (IsBlank(line[end - 1]) || line[end - 1] == '\r')) --end;
  const std::string_view folder = line.substr(at, end - at);
  if (folder.empty() || folder.find('\0') != std::string_view::npos) return std::nullopt;
  return folder;
}

// Whether `prefix` ("/a/b", without a trailing "/") is one or more segments, each neither
// empty, "." nor "..", without a backslash or a NUL.
bool IsUrlPrefix(std::string_view prefix) {
  if (prefix.size() < 2 || prefix[0] != '/') return false;
  size_t start = 1;
  for (;;) {
    const size_t slash = prefix.find('/', start);
    const std::string_view segment = prefix.substr(start, slash - start);
    if (segment.empty() || segment == "." || segment == ".." ||
        segment.find_first_of(std::string_view("\\\0", 2)) != std::string_view::npos) {
      return false;
    }
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

}  // namespace

std::optional<VirtualFolderLine> ParseVirtualFolderLine(std::string_view line) {
  const size_t digits = std::min(line.find_first_not_of("0123456789"), line.size());
  const std::optional<uint64_t> number = ParseDecimal(line.substr(0, digits), UINT32_MAX);
  if (!number || digits == line.size() || line[digits] != '/') return std::nullopt;
  size_t blank = digits;
  while (blank < line.size() && !IsBlank(line[blank])) ++blank;
  if (blank == line.size()) return std::nullopt;
  std::string_view prefix = line.substr(digits, blank - digits);
  if (prefix.size() > 2 && prefix.back() == '/') prefix.remove_suffix(1);
  if (!IsUrlPrefix(prefix)) return std::nullopt;
  const std::optional<std::string_view> folder = FolderAt(line, blank);
  if (!folder) return std::nullopt;
  return VirtualFolderLine{static_cast<uint32_t>(*number), std::string(prefix),
                           std::string(*folder)};
}

std::vector<std::pair<std::string, std::string>> ParseVirtualFolders(std::string_view text,
                                                                     uint32_t siteId) {
  std::vector<std::pair<std::string, std::string>> folders;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line[0] == '#') continue;
    std::optional<VirtualFolderLine> entry = ParseVirtualFolderLine(line);
    if (!entry || entry->siteId != siteId) continue;
    const bool known = std::any_of(folders.begin(), folders.end(), [&entry](const auto& folder) {
      return folder.first == entry->urlPrefix;
    });
    if (!known) folders.emplace_back(std::move(entry->urlPrefix), std::move(entry->folder));
  }
  return folders;
}

std::optional<std::pair<uint32_t, std::string>> ParseSiteLine(std::string_view line) {
  const size_t digits = std::min(line.find_first_not_of("0123456789"), line.size());
  const std::optional<uint64_t> number = ParseDecimal(line.substr(0, digits), UINT32_MAX);
  if (!number || digits == line.size() || !IsBlank(line[digits])) return std::nullopt;
  const std::optional<std::string_view> root = FolderAt(line, digits);
  if (!root) return std::nullopt;
  return std::make_pair(static_cast<uint32_t>(*number), std::string(*root));
}

std::map<uint32_t, std::string> ParseSiteTable(std::string_view text) {
  std::map<uint32_t, std::string> sites;
  LineReader lines(text);
  for (std::string_view line; lines.Next(line);) {
    // Blank lines and every other line without a leading number are malformed and skipped.
    if (line.empty() || line[0] == '#') continue;
    auto entry = ParseSiteLine(line);
    if (entry) sites.emplace(entry->first, std::move(entry->second));  // the first line counts
  }
  return sites;
}

}  // namespace vortane::platform
