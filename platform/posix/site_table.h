// POSIX only, internal to platform/: the site table `sites.txt` in the directory of the filter
// library, the stand-in for the web server's site settings, read by the site root lookup
// (platform/posix/site_roots.cpp) and watched by the site-change source
// (platform/posix/site_changes.cpp).
//
// The table's format: platform/site_table.h.
#pragma once

#include <cstddef>
#include <string>

#include "platform/site_table.h"
#include "platform/system.h"

namespace vortane::platform {

// The bytes of `sites.txt` in `tableDirectory`: at most its first kMaxSiteTableBytes, and
// when it is longer, without the line that limit cuts. Empty when the file is missing, is
// not a regular file (a FIFO, a device such as /dev/zero, a directory). When it exists but
// cannot be opened or read (no descriptors left, ...), the text of the last read of the same
// table, so that a passing failure does not take every site's root away.
// The file is opened without blocking. Its text is read again only when its size, times or
// inode changed since the last read (or it changed within two seconds of that read, when
// the file's times could not yet tell); otherwise the text of the last read is returned.
// Cost: an open and an fstat per call; a read of at most 1 MiB when the file changed.
// Thread-safe: calls are serialised by one process-wide lock.
std::string ReadSiteTableText(const PathString& tableDirectory);

}  // namespace vortane::platform
