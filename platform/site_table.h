// The site table `sites.txt`: its format, which programs outside this repository write.
//
// Each line that is neither blank nor starts with "#" holds a decimal site number, one or
// more blanks, and the site's root directory (the rest of the line, trailing blanks and
// carriage returns removed). The first line for a number counts; malformed lines are
// skipped. Only the POSIX backend reads the table (platform/posix/site_table.h); the tools
// write it on every system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vortane::platform {

// Bytes of the site table that are read (1 MiB); the rest is ignored.
inline constexpr size_t kMaxSiteTableBytes = size_t{1} << 20;

// One line of the table: its site number and root. Nothing for a line without that form,
// whose number does not fit 32 bits, or whose root is empty or holds a NUL byte (a path is
// handed to the system up to its first NUL, so such a root would name another file).
// Thread-safe (a pure function).
std::optional<std::pair<uint32_t, std::string>> ParseSiteLine(std::string_view line);

// Every site of the table text `text`, with its root directory. Cost: one pass over the text
// and a map of its sites. Thread-safe (a pure function).
std::map<uint32_t, std::string> ParseSiteTable(std::string_view text);

}  // namespace vortane::platform
