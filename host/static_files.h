// Mapping a request's URL path to a file under a site's root, as a static file server does.
//
// The path must start with "/". It is normalised by NormalizeUrlPath
// (memory_server/memory_server.h), the normalisation the filter's rules with O see, and the
// normalised path alone names the file: escapes decoded once, backslashes as slashes, runs of
// slashes as one, "." dropped and ".." going up one level, never above the root. A path
// ending in "/" names a directory, served by the first of the default documents given (by
// default index.html) that is a file in it; a file asked for that way is not found. A directory
// named without its trailing slash is redirected to the normalised name with it, so that relative
// links inside the page resolve. The filter's own files in a root (httpd.ini and its parse report)
// are never served, under their own name or a link's, nor is a file that is one of the private
// files given (another site's rules, the site table, ...) under any name: the file opened is
// compared by device and inode, so a hard link to one is not served either. A file that a symbolic
// link places outside the root is not served. The file is opened while the path is walked, one name
// at a time from the root without following links (platform/tree_files.h); only a path with a link
// on it is resolved whole, then walked again along the resolved names. Thread-safe: reads the file
// system only.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tree_files.h"

namespace vortane::host {

// What a URL path maps to.
struct FileMapping {
  enum Kind {
    File,        // `handle` is open on a regular file under the root, named `file`
    AddSlash,    // a directory named without "/": redirect to `location`
    NotFound,    // nothing to serve: 404
    BadRequest,  // malformed escape, NUL byte, no leading "/", or ".." above the root: 400
  } kind = NotFound;
  std::filesystem::path file;   // for File: the root joined with the normalised path's names
  platform::FileHandle handle;  // for File: the file, open for reading
  uint64_t size = 0;            // for File: its size in bytes
  // For AddSlash: the normalised path, percent-encoded, with "/" added, then "?" and the query
  // as sent. Always a path on this server: it starts with one "/".
  std::string location;
};

// The default document of a directory when none is given.
inline constexpr std::string_view kDefaultDocument = "index.html";

// Whether `name` can be a default document: one file name, not empty, "." or "..", without
// "/", "\" or a NUL byte.
bool IsDefaultDocumentName(std::string_view name);

// Maps `url` (path, optionally "?" and a query) under `root`, which must be absolute; a
// regular file that is one of `privateFiles` (links followed) is NotFound. A directory asked
// for with a trailing "/" is served by the first of `defaultDocuments` (each a name that
// IsDefaultDocumentName accepts; in order) that maps to a file there as its own URL would:
// a private file, a filter file, a folder or a link out of the root does not count, and the
// next name is tried. Costs one normalisation (linear in the URL), an open of the root and
// one open per name of the path (platform/tree_files.h), and for a file a stat of each
// private file; a path through a symbolic link also costs resolving the root and the path (a
// readlink per component) and a second walk; a directory costs that for each default
// document tried.
FileMapping MapUrlToFile(const std::filesystem::path& root, std::string_view url,
                         const std::vector<std::filesystem::path>& privateFiles = {},
                         const std::vector<std::string>& defaultDocuments = {
                             std::string(kDefaultDocument)});

// The Content-Type for a file name, by its extension in any case; application/octet-stream
// for extensions not known.
std::string_view ContentTypeFor(const std::filesystem::path& file);

}  // namespace vortane::host
