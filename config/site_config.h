// One loaded configuration (the rules, repeat limit and settings directives of one httpd.ini
// file), and the paths that lead to each site's file.
//
// Site 0 is the global configuration, read from the httpd.ini beside the filter library;
// every other site number is a web site, whose httpd.ini lies in its root directory. A
// SiteConfig is complete when constructed and then shared, without a lock, by every request
// that holds a reference: its fields are only read, apart from lastUse (refreshed by the
// cache) and repeatLimit (lowered, never raised, when the global file sets a smaller limit).
// Construction reads the file and writes its report, and changes nothing else: the store
// applies the settings of the global file (store/store.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/system.h"
#include "rules/request_filename.h"
#include "rules/rule.h"
#include "rules/rule_index.h"

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

// The global repeat limit of a process whose global file has set none.
inline constexpr int32_t kInitialGlobalRepeatLimit = 32;
// The cache clock rate of a process whose global file has set none: one hour.
inline constexpr uint32_t kDefaultCacheClockRateMs = 3600000;

// One settings directive of a file, as it takes effect.
struct SettingDirective {
  enum class Kind : uint8_t {
    // `value`: the repeat limit (at most nine digits, so it fits a signed 32-bit number);
    // in a site file already capped by the global limit.
    RepeatLimit,
    // `value`: the cache clock rate in milliseconds, 0 already replaced by the default and
    // held at the largest rate whose milliseconds fit 32 bits. Global file only.
    CacheClockRate,
  };
  Kind kind;
  // The line of the directive, counted from 1 at the file's first line.
  uint32_t line;
  uint32_t value;
  friend bool operator==(const SettingDirective& a, const SettingDirective& b) {
    return a.kind == b.kind && a.line == b.line && a.value == b.value;
  }
};

// What a configuration is built from: the rules and settings directives of its file, and how
// the file was read. The parser (config/parser.h) yields one for each file it parses.
struct ParsedConfig {
  std::vector<Rule> rules;
  std::vector<SettingDirective> settings;
  // The stamp of the file as it was opened and read (FileView::Stamp); nothing when no
  // regular file was opened, and from ParseConfigText.
  std::optional<platform::FileStamp> stamp;
  // A digest of the bytes parsed (ConfigDigest); 0 from ParseConfigText.
  uint64_t digest = 0;
};

// A configuration is built whole by its constructor (rules, their index, settings and what
// was read) and never changes after that: those fields are const. What does change while it
// is shared is the cache's bookkeeping (lastUse, provisionalUntil, identityCheckDue) and the
// repeat limit, which only falls; they are atomic and may be written through a const
// configuration, which is how the cache hands it out (SiteConfigRef).
class SiteConfig {
  // A file's parts with its path and whether it could be read; for the constructors.
  struct Loaded {
    ParsedConfig parsed;
    platform::PathString path;
    bool unreadable = false;
    uint64_t started = platform::SystemFileTime();  // when the load began: the first lastUse
  };

 public:
  // Constructs and loads the configuration of `siteId` from the file at `path` (an empty
  // path: no file, no rules, no report). repeatLimit starts at `globalRepeatLimit`, then
  // takes the file's last RepeatLimit, and lastUse starts at now. When the file's attributes
  // can be read, the file is parsed (writing its report), `stamp` is the stamp of the file
  // as it was read (of the name when it could not be opened) and fileTime its last-write
  // time; otherwise stamp is nothing, fileTime stays all ones and there are no rules. A file
  // that exists but cannot be opened or read sets `unreadable`. Only memory exhaustion
  // escapes.
  // `folders` are the site's folders, resolved with its configuration file's path.
  SiteConfig(uint32_t siteId, platform::PathString path,
             int32_t globalRepeatLimit = kInitialGlobalRepeatLimit, SiteFolders folders = {});
  // Builds the configuration of `siteId` from parts already at hand, as a load of the file at
  // `path` that yielded `parsed` would have: the rules indexed, repeatLimit from
  // `globalRepeatLimit` and the last RepeatLimit of the settings, fileTime from the stamp.
  // For what makes configurations without reading a file (the tools, tests, benchmarks).
  SiteConfig(uint32_t siteId, platform::PathString path, ParsedConfig parsed,
             int32_t globalRepeatLimit = kInitialGlobalRepeatLimit, SiteFolders folders = {});
  SiteConfig(const SiteConfig&) = delete;
  SiteConfig& operator=(const SiteConfig&) = delete;

  // The accepted rules in file order. Only their Disabled bits change after construction.
  const std::vector<Rule> rules;
  // The rules indexed by the literal the URL must start with (rules/rule_index.h), built
  // from `rules` by the constructor.
  const RuleIndex ruleIndex;
  // The settings directives of the file that take effect, in file order (ParsedConfig).
  const std::vector<SettingDirective> settings;
  // What the file's freshness is judged by (platform::FileStamp): the stamp of the file as
  // it was read. Nothing when there was no file.
  const std::optional<platform::FileStamp> stamp;
  // The file's last-write time as read at construction (stamp's lastWrite); all ones when
  // there was no file.
  const FileTime fileTime;
  // The digest of the bytes parsed (ConfigDigest).
  const uint64_t digest;
  // The web-site instance number; 0 for the global configuration.
  const uint32_t siteId;
  // Full path of the configuration file; empty when the site's root could not be read.
  const platform::PathString path;
  // True when the file exists but could not be opened or read this time: the configuration
  // has no rules and the cache must not keep it, so that the next request tries again.
  const bool unreadable;
  // The site's root and virtual folders, as they were when the configuration was loaded:
  // where REQUEST_FILENAME looks (rules/request_filename.h). No root for site 0, and for a
  // site whose root could not be read.
  const SiteFolders folders;

  // The most sweeps of one rule pass. Read as one whole word while a pass runs; lowered
  // only through LowerRepeatLimit.
  mutable std::atomic<int32_t> repeatLimit;
  // File time of the last use; refreshed by the cache.
  mutable std::atomic<uint64_t> lastUse;
  // Set by the cache before the configuration is shared: when the file had last been
  // written less than platform::kFileTimeStep before the load began, the file time from which
  // on a freshness check no longer trusts the stamp and reads the file's bytes again (they may
  // have changed within the same step of the file system's clock); 0 otherwise, and once
  // that read found the bytes parsed.
  mutable std::atomic<uint64_t> provisionalUntil{0};
  // Where stamps read without opening the file lack its identity (Windows): the file time
  // from which on the next freshness check reads the stamp with the identity.
  mutable std::atomic<uint64_t> identityCheckDue{0};

  int32_t RepeatLimit() const { return repeatLimit.load(std::memory_order_relaxed); }
  // Lowers repeatLimit to `limit` when it is higher; never raises it.
  void LowerRepeatLimit(int32_t limit) const;

 private:
  SiteConfig(Loaded loaded, uint32_t siteId, int32_t globalRepeatLimit, SiteFolders folders);
  static Loaded Load(uint32_t siteId, platform::PathString path, int32_t globalRepeatLimit);
};

// The global configuration path of the library `module`: its file name cut at its last
// separator, plus httpd.ini. Empty when that name cannot be read.
std::optional<platform::PathString> ComputeGlobalConfigPath(platform::ModuleHandle module);

// The path of the file `fileName` in the directory of the file at `path`: `path` cut at its
// last separator, then the separator and `fileName`.
platform::PathString PathBeside(const platform::PathString& path, std::string_view fileName);

// The configuration file of a site whose root directory is `root`: httpd.ini there.
platform::PathString SiteConfigPath(const platform::PathString& root);

// The configuration file of `siteId`: `globalConfigPath` for site 0; otherwise httpd.ini in
// the site's root directory (looked up beside the global file), or empty when that cannot be
// read. Cost: for a site, one read of the site table.
platform::PathString ResolveConfigPath(const platform::PathString& globalConfigPath,
                                       uint32_t siteId);

}  // namespace vortane
