// The site table of the POSIX build, `sites.txt` in the directory of the filter library: the
// stand-in for the web server's site settings, read by the site root lookup and watched by
// the site-change source. Internal to platform/.
//
// Each line that is neither blank nor starts with "#" holds a decimal site number, one or
// more blanks, and the site's root directory (the rest of the line, trailing blanks and
// carriage returns removed). The first line for a number counts; malformed lines are
// skipped.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "platform/system.h"

namespace vortane::platform {

// Every site of the table text `text`, with its root directory.
std::map<uint32_t, std::string> ParseSiteTable(std::string_view text);

#ifndef _WIN32
// The bytes of `sites.txt` in `tableDirectory`; empty when the file is missing or cannot be
// read.
std::string ReadSiteTableText(const PathString& tableDirectory);
#endif

}  // namespace vortane::platform
