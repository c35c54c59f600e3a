// A web site's root directory, as the web server's configuration names it.
//
// Windows (platform/win32/site_roots.cpp): the metabase through IMSAdminBase. POSIX
// (platform/posix/site_roots.cpp): the site table `sites.txt` (see platform/posix/site_table.h).
#pragma once

#include <cstdint>
#include <optional>

#include "platform/system.h"

namespace vortane::platform {

// The root directory of web site `siteId` (not 0), or nothing when it cannot be read.
// Windows: the metabase's MD_VR_PATH of "/LM/W3SVC/<id>/ROOT" through IMSAdminBase, COM
// initialised and balanced on the calling thread; `tableDirectory` is not used. POSIX: the
// site table `sites.txt` in the directory of the filter library (`tableDirectory`), read again
// whenever it changed (see ReadSiteTableText): each line that is neither blank nor starts with
// "#" holds a decimal site number, one or more blanks, and the root directory (the rest of the
// line, trailing blanks and CR removed); the first line for a number counts and malformed
// lines (a root holding a NUL byte among them) are skipped.
// Cost: Windows, a COM component's creation and one or more metabase reads; POSIX, an open and
// an fstat, a read of at most 1 MiB when the table changed, and its parse. Thread-safe.
std::optional<PathString> ReadSiteRootPath(uint32_t siteId, const PathString& tableDirectory);

}  // namespace vortane::platform
