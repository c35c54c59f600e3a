// The configuration parser: one httpd.ini file into its rules and settings directives, and
// its report. Parsing changes nothing but the report: what the settings do to the process is
// up to the caller (the configuration store applies those of the global file).
//
// At most the first 2 MiB of the file are read (mapped on Windows, read into memory on
// POSIX); when the limit cuts a line, that line is reported and not used. Lines end at LF, with
// every CR at their end removed. Lines before the section header ("[Vortane]" or "[Vortane1.0]")
// are ignored; every body line is matched whole against the grammar (blank or comment,
// RewriteRule, RewriteCond, RewriteHeader, CacheClockRate, RepeatLimit, in that order).
// Conditions collect for the next rule line; a rule and its conditions compile into one
// expression. What cannot be used is reported and skipped; nothing is ever fatal.
//
// Runs on the thread that constructs the configuration; the grammar is compiled once per
// process and shared read-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "config/report.h"
#include "config/site_config.h"

namespace vortane {

// Bytes of a configuration file that are read; the rest is ignored.
inline constexpr size_t kMaxConfigBytes = 2097152;

// The largest cache clock rate in seconds whose millisecond count fits 32 bits. Larger
// values (CacheClockRate takes up to seven digits) are held at this one, 49.7 days, rather
// than wrapping to a short period.
inline constexpr uint32_t kMaxCacheClockRateSeconds = 4294967;

// Which file is parsed, and the global repeat limit that caps RepeatLimit in a site file.
struct ParseContext {
  // 0: the global file; any other number: a site's file.
  uint32_t siteId = 0;
  // The global repeat limit in force when the load began.
  int32_t globalRepeatLimit = kInitialGlobalRepeatLimit;
};

// A digest of a configuration file's bytes as ParseConfigFile takes them: the same bytes give
// the same digest. Not a defence against a chosen collision (whoever writes the file chooses
// its rules anyway): it tells whether a file still holds what was parsed. Cheap: one pass.
uint64_t ConfigDigest(std::string_view bytes);

// The digest of the file at `path` as ParseConfigFile would read it now, with the stamp of
// what was read; nothing when it cannot be read. Cost: one bounded read, no parse, no report.
struct FileDigest {
  uint64_t digest;
  std::optional<platform::FileStamp> stamp;
};
std::optional<FileDigest> ReadConfigDigest(const platform::PathString& path);

// A parse yields a ParsedConfig (config/site_config.h): the accepted rules in file order, and
// the settings directives that take effect, in file order. A site file yields only
// RepeatLimit, already capped by the global limit; CacheClockRate there is reported and left
// out.
//
// Parses the file at `path` into `parsed`, writing the report httpd.parse.errors beside it.
// A file that is missing, empty or not a regular file yields nothing and leaves the report
// untouched. Returns false only when the file exists but could not be opened, mapped or read
// (access denied, no descriptors left, a rewrite under way): it yields nothing, the report
// then holds the one line "File cannot be read: <why>" (when it can be written), and the
// result must not be cached. Only memory exhaustion outside
// a rule's compilation leaves the function, with every file released. Cost: one read of at
// most 2 MiB, then the parse. Touches no state but the report file: any thread.
bool ParseConfigFile(const platform::PathString& path, const ParseContext& context,
                     ParsedConfig& parsed);

// The parse itself, over the bytes of a file already in memory, with its events to `sink`
// (a ParseReport writes them as the report). `cutAtLimit`: the file went on past `text`; a
// last line without its line feed is then reported as cut and not used. Pure apart from
// `sink`: any thread.
ParsedConfig ParseConfigText(std::string_view text, const ParseContext& context, ParseSink& sink,
                             bool cutAtLimit = false);

// True when the parser takes `line` (one line, its CRs at the end removed) as the section
// header.
bool IsSectionHeader(std::string_view line);

// True when the parser takes `line` as a body line of some kind (blank, comment or directive),
// whatever the directive's values then make of it: false exactly when it would be reported as
// unrecognized.
bool IsBodyLine(std::string_view line);

}  // namespace vortane
