// A web site's root directory, as the web server's configuration names it.
//
// Windows (platform/win32/site_roots.cpp): the metabase through IMSAdminBase. POSIX
// (platform/posix/site_roots.cpp): the site table `sites.txt` (see platform/posix/site_table.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

// A URL prefix of a site that maps to a folder of its own (a virtual directory): a request
// path equal to `urlPrefix`, or `urlPrefix` + "/" + more, names a file under `folder`.
struct VirtualFolder {
  std::string urlPrefix;  // "/app/v2": segments without "." or "..", no trailing "/"
  PathString folder;
};

// The virtual folders of web site `siteId` (not 0), in no particular order. Windows: every
// metabase key "/LM/W3SVC/<id>/ROOT/<path>" below the root that has an MD_VR_PATH of its own
// (not inherited), found by enumerating the keys below the root (at most kMaxVirtualFolderKeys
// keys, kMaxVirtualFolderDepth levels deep); its path, with "/" between the keys, is the
// prefix. POSIX: the site table's virtual-folder lines for the site (platform/site_table.h).
// Nothing when none can be read. Cost: Windows, a COM component's creation, one enumeration
// per key and one read per key; POSIX, as ReadSiteRootPath. Thread-safe.
inline constexpr size_t kMaxVirtualFolderKeys = 1024;
inline constexpr size_t kMaxVirtualFolderDepth = 16;
std::vector<VirtualFolder> ReadVirtualFolders(uint32_t siteId, const PathString& tableDirectory);

}  // namespace vortane::platform
