#include "platform/site_table.h"

#include <algorithm>

#include "base/text.h"

namespace vortane::platform {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

std::optional<std::pair<uint32_t, std::string>> ParseSiteLine(std::string_view line) {
  const size_t digits = std::min(line.find_first_not_of("0123456789"), line.size());
  const std::optional<uint64_t> number = ParseDecimal(line.substr(0, digits), UINT32_MAX);
  if (!number || digits == line.size() || !IsBlank(line[digits])) return std::nullopt;
  size_t at = digits;
  while (at < line.size() && IsBlank(line[at])) ++at;
  size_t end = line.size();
  while (end > at && (IsBlank(line[end - 1]) || line[end - 1] == '\r')) --end;
  const std::string_view root = line.substr(at, end - at);
  if (root.empty() || root.find('\0') != std::string_view::npos) return std::nullopt;
  return std::make_pair(static_cast<uint32_t>(*number), std::string(root));
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
