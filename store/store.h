// The configuration store: the cache of loaded configurations, the settings the global file
// sets for the whole filter, and the two background threads that keep the cache current.
//
//   - The expiry thread wakes once per cache clock period (or at once when a loaded global
//     file sets CacheClockRate) and removes every configuration idle for a period.
//   - The site-change thread listens to the web server's site-change notifications and drops
//     the configuration of each site reported, so the next request resolves its path, root
//     and virtual folders again.
//
// The library makes one store when it is loaded and destroys it when it is unloaded; the
// request handling is handed it. Each start does nothing while its part runs and each stop
// nothing while it is stopped, so repeated or crossing calls are harmless. Stops wait for
// their thread without a time limit. Start order: store, then site-change thread; stop
// order: site-change thread, then store.
//
// Lock order: a site's load mutex before the cache lock (ConfigCache). Applying the global
// file's settings takes the cache lock while the loading thread holds the load mutex of
// site 0, never the other way round.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "config/site_config.h"
#include "platform/site_roots.h"
#include "platform/system.h"
#include "store/config_cache.h"

namespace vortane {

namespace platform {
class Event;
class Thread;
}  // namespace platform

// The cache clock rate in milliseconds (the expiry thread's wait) and as a file-time
// interval (the idle age at which a configuration expires), always ms × 10,000.
struct CacheClockRate {
  uint32_t cacheClockRateMs;
  uint64_t cacheClockRateTicks;
};

class ConfigStore {
 public:
  // A stopped store with an empty cache, the initial settings (repeat limit 32, clock rate
  // one hour), the global file at `globalConfigPath` (empty: none, so that no site has
  // rules) and load mutex names that carry `moduleHandle`.
  explicit ConfigStore(platform::PathString globalConfigPath, uint64_t moduleHandle = 0);
  // Stops both threads, in the stop order.
  ~ConfigStore();
  ConfigStore(const ConfigStore&) = delete;
  ConfigStore& operator=(const ConfigStore&) = delete;

  // Starts the expiry thread (the site-change thread has StartSiteChangeThread).
  void StartExpiryThread();
  // Stops the expiry thread and empties the cache; for when no request runs.
  void Shutdown();
  // Starts the site-change thread, which watches the site table beside the global file. It
  // ends quietly when no notifications can be had.
  void StartSiteChangeThread();
  // Asks the site-change thread to end and waits for it.
  void StopSiteChangeThread();

  // The configuration of `siteId` for one rule pass (ConfigCache::Acquire). Any thread.
  SiteConfigRef Acquire(uint32_t siteId) { return cache_.Acquire(siteId); }
  ConfigCache& Cache() { return cache_; }

  // The global repeat limit: set by RepeatLimit in the global file, copied into every
  // configuration loaded after, and a cap on RepeatLimit in site files. Any thread.
  int32_t GlobalRepeatLimit() const { return globalRepeatLimit_.load(std::memory_order_relaxed); }
  // The cache clock rate, both forms from one read. Any thread.
  CacheClockRate LoadCacheClockRate() const;

  // Where a site's root directory comes from: nothing for a site without one.
  using SiteRootSource = std::function<std::optional<platform::PathString>(uint32_t siteId)>;
  // Makes later loads of a site (not 0) take its root from `source` instead of the server's
  // own (ResolveConfigPath: the metabase on Windows, the site table elsewhere), so that a
  // tool can serve the sites of a table on every system. Not while a request runs.
  void SetSiteRootSource(SiteRootSource source) { siteRoots_ = std::move(source); }
  // Where a site's virtual folders come from while a SiteRootSource is set (none when this
  // is empty); without a SiteRootSource, the server's own (platform::ReadVirtualFolders).
  using VirtualFolderSource = std::function<std::vector<platform::VirtualFolder>(uint32_t siteId)>;
  void SetVirtualFolderSource(VirtualFolderSource source) { virtualFolders_ = std::move(source); }

 private:
  // Builds the configuration of `siteId` from its file, starting from the global repeat
  // limit; for site 0 then applies the file's settings in file order: each RepeatLimit sets
  // the global limit and lowers the cached configurations above it (under the cache lock),
  // each CacheClockRate sets the rate and wakes the expiry thread. The cache's loader: runs
  // under the site's load mutex, outside the cache lock. Only memory exhaustion escapes.
  SiteConfig* Load(uint32_t siteId);
  void ApplyGlobalSettings(const std::vector<SettingDirective>& settings);
  void ExpiryLoop(platform::Event& event);
  void SiteChangeLoop(platform::Event& stop);

  const platform::PathString globalConfigPath_;
  SiteRootSource siteRoots_;  // empty: the server's own
  VirtualFolderSource virtualFolders_;
  std::atomic<int32_t> globalRepeatLimit_{kInitialGlobalRepeatLimit};
  // Only the milliseconds are stored; the ticks follow from them, so one atomic load gives
  // a consistent pair.
  std::atomic<uint32_t> cacheClockRateMs_{kDefaultCacheClockRateMs};
  ConfigCache cache_;

  // Start and stop run on the loader's or the server's thread, one at a time; the mutex
  // makes crossing calls safe all the same.
  std::mutex lifecycle_;
  bool running_ = false;
  // Waited on by the expiry thread: a pulse (a new cache clock rate) wakes it to sweep, a
  // lasting signal with expiryStop_ set asks it to end. The flag tells the two apart, since
  // a pulse that crosses the stop may leave the event unsignalled. Made by Start, released
  // by Shutdown.
  std::unique_ptr<platform::Event> cacheClockEvent_;
  std::atomic<bool> expiryStop_{false};
  std::unique_ptr<platform::Thread> expiryThread_;

  bool siteChangeRunning_ = false;
  std::unique_ptr<platform::Event> siteChangeStopEvent_;
  std::unique_ptr<platform::Thread> siteChangeThread_;
};

}  // namespace vortane
