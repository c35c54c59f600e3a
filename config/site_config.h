// One loaded configuration (the rules and repeat limit of one httpd.ini file), and the
// process-wide settings that go with it.
//
// Site 0 is the global configuration, read from the httpd.ini beside the filter library;
// every other site number is a web site, whose httpd.ini lies in its root directory. A
// SiteConfig is complete when constructed and then shared, without a lock, by every request
// that holds a reference: its fields are only read, apart from lastUse (refreshed by the
// cache) and repeatLimit (lowered, never raised, when the global file sets a smaller limit).
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/system.h"
#include "rules/rule.h"

namespace vortane {

// A file's last-write time as two halves; both all ones when it cannot be read.
struct FileTime {
  uint32_t low = 0xFFFFFFFF;
  uint32_t high = 0xFFFFFFFF;
  friend bool operator==(const FileTime& a, const FileTime& b) {
    return a.low == b.low && a.high == b.high;
  }
  friend bool operator!=(const FileTime& a, const FileTime& b) { return !(a == b); }
};

class SiteConfig {
 public:
  // Constructs and loads the configuration of `siteId`: site 0 from the global path, any
  // other site from httpd.ini in its root directory. repeatLimit starts at the global repeat
  // limit and lastUse at now. When the file's attributes can be read, fileTime is its
  // last-write time and the file is parsed (writing its report); otherwise fileTime stays
  // all ones and there are no rules. A file that exists but cannot be opened or read sets
  // `unreadable`. Only memory exhaustion escapes.
  explicit SiteConfig(uint32_t siteId);
  // The same, from the file at `path` (an empty path: no file, no rules, no report).
  SiteConfig(uint32_t siteId, platform::PathString path);
  SiteConfig(const SiteConfig&) = delete;
  SiteConfig& operator=(const SiteConfig&) = delete;

  // The accepted rules in file order.
  std::vector<Rule> rules;
  // The most sweeps of one rule pass. Read as one whole word while a pass runs.
  std::atomic<int32_t> repeatLimit;
  // File time of the last use; refreshed by the cache.
  std::atomic<uint64_t> lastUse;
  // The web-site instance number; 0 for the global configuration.
  const uint32_t siteId;
  // The file's last-write time as read at construction.
  FileTime fileTime;
  // Full path of the configuration file; empty when the site's root could not be read.
  const platform::PathString path;
  // True when the file exists but could not be opened or read this time: the configuration
  // has no rules and the cache must not keep it, so that the next request tries again.
  bool unreadable = false;

  int32_t RepeatLimit() const { return repeatLimit.load(std::memory_order_relaxed); }
  // Lowers repeatLimit to `limit` when it is higher; never raises it.
  void LowerRepeatLimit(int32_t limit);
};

// The global repeat limit: set by RepeatLimit in the global file, copied into every
// configuration at construction, and a cap on RepeatLimit in site files. Initially 32.
extern std::atomic<int32_t> globalRepeatLimit;

// The cache clock rate in milliseconds (the expiry thread's wait) and as a file-time
// interval (the idle age at which a configuration expires), always ms × 10,000. Both are
// published as one value so that no reader sees one without the other.
struct CacheClockRate {
  uint32_t cacheClockRateMs;
  uint64_t cacheClockRateTicks;
};
inline constexpr uint32_t kDefaultCacheClockRateMs = 3600000;  // one hour
CacheClockRate LoadCacheClockRate();
void StoreCacheClockRate(uint32_t rateMs);

// Full path of the global configuration file: the library's own directory plus httpd.ini.
// Empty until ComputeGlobalConfigPath succeeds.
const platform::PathString& GlobalConfigPath();

// Sets the global configuration path as given: for hosts that know it, and for tests.
void SetGlobalConfigPath(platform::PathString path);

// Sets the global configuration path from the file name of `module`, cut at its last
// separator. Returns false, leaving the path as it was, when that name cannot be read.
bool ComputeGlobalConfigPath(platform::ModuleHandle module);

// The path of the file `fileName` in the directory of the file at `path`: `path` cut at its
// last separator, then the separator and `fileName`.
platform::PathString PathBeside(const platform::PathString& path, std::string_view fileName);

// The configuration file of `siteId`: the global path for site 0; otherwise httpd.ini in
// the site's root directory, or empty when that cannot be read.
platform::PathString ResolveConfigPath(uint32_t siteId);

}  // namespace vortane
