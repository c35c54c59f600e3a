// The configuration parser: one httpd.ini file into the rules and settings of a SiteConfig,
// and its report.
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
#include <string_view>

#include "config/report.h"
#include "config/site_config.h"

namespace vortane {

// Bytes of a configuration file that are read; the rest is ignored.
inline constexpr size_t kMaxConfigBytes = 2097152;

// The largest cache clock rate in seconds whose millisecond count fits 32 bits. Larger
// values (CacheClockRate takes up to seven digits) are held at this one, 49.7 days, rather
// than wrapping to a short period.
inline constexpr uint32_t kMaxCacheClockRateSeconds = 4294967;

// What a parse of the global file does to the configuration store: lower the repeat limit
// of every cached configuration above a new global limit (under the cache's lock), and wake
// the expiry thread after a new cache clock rate. The store installs these at start-up;
// until then they do nothing.
struct StoreHooks {
  void (*lowerCachedRepeatLimits)(int32_t limit) = nullptr;
  void (*pulseCacheClock)() = nullptr;
};
void SetStoreHooks(const StoreHooks& hooks);

// Parses the file at config.path into `config` (rules and repeatLimit), writing the report
// httpd.parse.errors beside it. A file that is missing, empty or not a regular file, or that
// cannot be opened or read, leaves `config` without rules and the report untouched. Returns
// false only when the file exists but could not be opened, mapped or read (a passing
// condition such as no descriptors left or a rewrite under way): such a result must not be
// cached. Only memory exhaustion outside a rule's compilation leaves the function, with every
// file released. Cost: one read of at most 2 MiB, then the parse.
bool ParseConfigFile(SiteConfig& config);

// The parse itself, over the bytes of a file already in memory, with messages to `report`.
// `cutAtLimit`: the file went on past `text`; a last line without its line feed is then
// reported as cut and not used.
void ParseConfigText(std::string_view text, SiteConfig& config, ParseReport& report,
                     bool cutAtLimit = false);

}  // namespace vortane
