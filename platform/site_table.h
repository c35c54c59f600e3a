// The site table `sites.txt`: its format, which programs outside this repository write.
//
// Each line that is neither blank nor starts with "#" holds a decimal site number, one or
// more blanks, and the site's root directory (the rest of the line, trailing blanks and
// carriage returns removed). The first line for a number counts; malformed lines are
// skipped. Only the POSIX backend reads the table (platform/posix/site_table.h); the tools
// write it on every system.
//
// A line may also map a URL prefix of a site to a folder of its own, as a virtual directory
// does: the site number, a "/" and the prefix's further segments ("3/app/v2"), one or more
// blanks, and the folder (the rest of the line, as for a root). The prefix's segments are
// not empty, "." nor "..", and hold no backslash; one trailing "/" is allowed. A request
// path under the prefix (the prefix itself, or the prefix, "/" and more) is looked for in
// that folder; where several prefixes apply, the longest does. The first line for a site
// and prefix counts. Older readers skip such lines as malformed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vortane::platform {

// Bytes of the site table that are read (1 MiB); the rest is ignored.
inline constexpr size_t kMaxSiteTableBytes = size_t{1} << 20;

// One line of the table: its site number and root. Nothing for a line without that form,
// whose number does not fit 32 bits, or whose root is empty or holds a NUL byte (a path is
// handed to the system up to its first NUL, so such a root would name another file).
// Thread-safe (a pure function).
std::optional<std::pair<uint32_t, std::string>> ParseSiteLine(std::string_view line);

// One virtual-folder line of the table: its site, URL prefix ("/app/v2", without a trailing
// "/") and folder.
struct VirtualFolderLine {
  uint32_t siteId;
  std::string urlPrefix;
  std::string folder;
};

// The line's virtual folder; nothing for a line without that form (a root line among them),
// or whose folder is empty or holds a NUL byte. Thread-safe (a pure function).
std::optional<VirtualFolderLine> ParseVirtualFolderLine(std::string_view line);

// The virtual folders of site `siteId` in the table text `text`, in table order, the first
// line for each prefix only. Thread-safe (a pure function).
std::vector<std::pair<std::string, std::string>> ParseVirtualFolders(std::string_view text,
                                                                     uint32_t siteId);

// Every site of the table text `text`, with its root directory. Cost: one pass over the text
// and a map of its sites. Thread-safe (a pure function).
std::map<uint32_t, std::string> ParseSiteTable(std::string_view text);

}  // namespace vortane::platform
