// Mapping a request's URL path to a file under a site's root, as a static file server does.
//
// The path is percent-decoded once; backslashes count as slashes; "." segments are dropped
// and ".." segments go up one level, never above the root. A directory is served by its
// index.html, and a directory named without its trailing slash is redirected to the name
// with it, so that relative links inside the page resolve. The filter's own files in a root
// (httpd.ini and its parse report) are never served, and a file that a symbolic link places
// outside the root is not served either. Thread-safe: reads the file system only.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vortane::host {

// What a URL path maps to.
struct FileMapping {
  enum Kind {
    File,        // `file` is a regular file under the root
    AddSlash,    // a directory named without "/": redirect to `location`
    NotFound,    // nothing to serve: 404
    BadRequest,  // malformed escape, NUL byte, no leading "/", or ".." above the root: 400
  } kind = NotFound;
  std::filesystem::path file;
  std::string location;  // for AddSlash: the path with "/" added, then "?" and the query
};

// Maps `url` (path, optionally "?" and a query) under `root`, which must be absolute.
FileMapping MapUrlToFile(const std::filesystem::path& root, std::string_view url);

// The Content-Type for a file name, by its extension in any case; application/octet-stream
// for extensions not known.
std::string_view ContentTypeFor(const std::filesystem::path& file);

}  // namespace vortane::host
