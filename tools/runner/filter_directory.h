// The directory a web server loads the filter from, as the command-line runners prepare it:
// the built library copied into it, and (outside Windows) its site table `sites.txt`.
//
// The filter finds its global httpd.ini beside its own file and, on POSIX, each site's root
// in sites.txt beside it too; so a runner places the library in the directory it serves from
// rather than loading it from the build's folder. Plain file operations on the calling
// thread; errors are thrown as std::runtime_error with a message for the user.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/isapi.h"
#include "platform/library.h"

namespace vortane::tools {

// The directory of the running program, where the build puts the filter library too.
std::filesystem::path ProgramDirectory();

// Puts the library at `source` into `target` unless `target` holds the same bytes. The copy
// is written beside `target` and renamed over it (ReplaceFileWith: never through a link), so
// a process that has `target` mapped keeps its pages.
void PlaceLibrary(const std::filesystem::path& source, const std::filesystem::path& target);

// A site number and its root directory.
using SiteRoot = std::pair<uint32_t, std::filesystem::path>;

// How WriteSiteTable treats the lines already in the table.
enum class SiteTableUpdate {
  ReplaceGivenSites,  // keep every line but those of the given sites' numbers
  ReplaceAll,         // the table lists exactly the given sites
};

// Writes the given sites into the site table `table` (roots made absolute), atomically: the
// new text is written beside the table and renamed over it (ReplaceFileWith: never through a
// link), so a reader never sees half a table. An existing table is read as the filter reads
// it (at most 1 MiB of a regular file; anything else under its name throws). A root that is
// not a directory is written anyway, with a note on stderr.
void WriteSiteTable(const std::filesystem::path& table, const std::vector<SiteRoot>& sites,
                    SiteTableUpdate update);

// A filter library loaded and started.
struct StartedFilter {
  std::unique_ptr<platform::FilterLibrary> library;
  DWORD flags = 0;  // HTTP_FILTER_VERSION::dwFlags: the notifications it asked for
};

// Loads the filter library at `path` and starts it as the web server does, with
// GetFilterVersion. Throws std::runtime_error when it cannot be loaded ("cannot load PATH:
// why") or refuses to start (then after TerminateFilter). The caller calls TerminateFilter
// before it unloads the library.
StartedFilter StartFilter(const std::filesystem::path& path);

}  // namespace vortane::tools
