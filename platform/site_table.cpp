#include "platform/site_table.h"

#include <optional>
#include <utility>

#ifndef _WIN32
#include <fstream>
#include <iterator>
#endif

namespace vortane::platform {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// One line of the table: "<number><blanks><root>". A line without this form, or whose number
// does not fit 32 bits, or whose root is empty, yields nothing.
std::optional<std::pair<uint32_t, std::string> > ParseSiteLine(std::string_view line) {
  size_t at = 0;
  uint64_t number = 0;
  while (at < line.size() && line[at] >= '0' && line[at] <= '9') {
    number = number * 10 + static_cast<uint64_t>(line[at] - '0');
    if (number > UINT32_MAX) return std::nullopt;
    ++at;
  }
  if (at == 0 || at == line.size() || !IsBlank(line[at])) return std::nullopt;
  while (at < line.size() && IsBlank(line[at])) ++at;
  size_t end = line.size();
  while (end > at && (IsBlank(line[end - 1]) || line[end - 1] == '\r')) --end;
  if (end == at) return std::nullopt;
  return std::make_pair(static_cast<uint32_t>(number), std::string(line.substr(at, end - at)));
}

}  // namespace

std::map<uint32_t, std::string> ParseSiteTable(std::string_view text) {
  std::map<uint32_t, std::string> sites;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    // Blank lines and every other line without a leading number are malformed and skipped.
    if (line.empty() || line[0] == '#') continue;
    auto entry = ParseSiteLine(line);
    if (entry) sites.emplace(entry->first, std::move(entry->second));  // the first line counts
  }
  return sites;
}

#ifndef _WIN32
std::string ReadSiteTableText(const PathString& tableDirectory) {
  std::ifstream table(tableDirectory + '/' + "sites.txt", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(table), std::istreambuf_iterator<char>());
}
#endif

}  // namespace vortane::platform
