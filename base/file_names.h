// The names of the files the filter reads and writes, the one spelling every layer and
// every tool uses.
#pragma once

namespace vortane {

// The rules: one global file beside the filter library, one in each site's root folder.
inline constexpr char kConfigFileName[] = "httpd.ini";

// The report of unusable lines, written beside each configuration file.
inline constexpr char kReportFileName[] = "httpd.parse.errors";

// The POSIX table of site roots, beside the filter library.
inline constexpr char kSiteTableFileName[] = "sites.txt";

}  // namespace vortane
