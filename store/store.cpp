#include "store/store.h"

#include <utility>

#include "platform/site_changes.h"
#include "platform/site_roots.h"
#include "platform/sync.h"

namespace vortane {

ConfigStore::ConfigStore(platform::PathString globalConfigPath, uint64_t moduleHandle)
    : globalConfigPath_(std::move(globalConfigPath)),
      cache_([this](uint32_t siteId) { return Load(siteId); }, moduleHandle) {}

ConfigStore::~ConfigStore() {
  StopSiteChangeThread();
  Shutdown();
}

CacheClockRate ConfigStore::LoadCacheClockRate() const {
  const uint32_t ms = cacheClockRateMs_.load(std::memory_order_relaxed);
  return {ms, static_cast<uint64_t>(ms) * 10000u};
}

SiteConfig* ConfigStore::Load(uint32_t siteId) {
  // The site's folders are resolved with its configuration, once per load, and dropped with
  // it (a site change, an edit of its file, expiry).
  SiteFolders folders;
  platform::PathString path = globalConfigPath_;
  if (siteId != 0) {
    if (siteRoots_) {
      folders.root = siteRoots_(siteId);
      if (folders.root && virtualFolders_) folders.virtualFolders = virtualFolders_(siteId);
    } else {
      const platform::PathString tableDirectory =
          globalConfigPath_.substr(0, globalConfigPath_.rfind(platform::kPathSeparator));
      folders.root = platform::ReadSiteRootPath(siteId, tableDirectory);
      if (folders.root) {
        folders.virtualFolders = platform::ReadVirtualFolders(siteId, tableDirectory);
      }
    }
    path = folders.root ? SiteConfigPath(*folders.root) : platform::PathString();
  }
  auto config = std::make_unique<SiteConfig>(siteId, std::move(path), GlobalRepeatLimit(),
                                             std::move(folders));
  if (siteId == 0) ApplyGlobalSettings(config->settings);
  return config.release();
}

void ConfigStore::ApplyGlobalSettings(const std::vector<SettingDirective>& settings) {
  for (const SettingDirective& setting : settings) {
    switch (setting.kind) {
      case SettingDirective::Kind::RepeatLimit: {
        // The configuration being loaded is not cached yet, so only the others are lowered.
        const auto limit = static_cast<int32_t>(setting.value);
        globalRepeatLimit_.store(limit, std::memory_order_relaxed);
        cache_.LowerRepeatLimits(limit);
        break;
      }
      case SettingDirective::Kind::CacheClockRate:
        cacheClockRateMs_.store(setting.value, std::memory_order_relaxed);
        if (cacheClockEvent_) cacheClockEvent_->Pulse();
        break;
    }
  }
}

void ConfigStore::ExpiryLoop(platform::Event& event) {
  for (;;) {
    event.Wait(LoadCacheClockRate().cacheClockRateMs);
    if (expiryStop_.load()) return;
    cache_.Sweep(platform::SystemFileTime() - LoadCacheClockRate().cacheClockRateTicks);
  }
}

void ConfigStore::SiteChangeLoop(platform::Event& stop) {
  const platform::PathString tableDirectory =
      globalConfigPath_.substr(0, globalConfigPath_.rfind(platform::kPathSeparator));
  platform::SiteChangeSource source(tableDirectory);
  if (!source.IsOpen() || !source.StartWatching()) return;
  while (!stop.IsSet()) {
    uint32_t siteId = 0;
    const platform::SiteChangeSource::Wait outcome = source.WaitForChange(siteId);
    if (outcome == platform::SiteChangeSource::Wait::End) break;
    if (outcome == platform::SiteChangeSource::Wait::Changed) cache_.Drop(siteId);
  }
  source.StopWatching();
}

void ConfigStore::StartExpiryThread() {
  std::lock_guard<std::mutex> guard(lifecycle_);
  if (running_) return;
  cacheClockEvent_ = std::make_unique<platform::Event>();
  expiryThread_ = std::make_unique<platform::Thread>();
  platform::Event* event = cacheClockEvent_.get();
  expiryStop_ = false;
  expiryThread_->Start([this, event] { ExpiryLoop(*event); });
  running_ = true;
}

void ConfigStore::Shutdown() {
  std::lock_guard<std::mutex> guard(lifecycle_);
  if (!running_) return;
  expiryStop_ = true;
  cacheClockEvent_->Set();
  expiryThread_->Join();
  expiryThread_.reset();
  cacheClockEvent_.reset();
  cache_.Clear();
  running_ = false;
}

void ConfigStore::StartSiteChangeThread() {
  std::lock_guard<std::mutex> guard(lifecycle_);
  if (siteChangeRunning_) return;
  siteChangeStopEvent_ = std::make_unique<platform::Event>();
  siteChangeThread_ = std::make_unique<platform::Thread>();
  platform::Event* stop = siteChangeStopEvent_.get();
  siteChangeThread_->Start([this, stop] { SiteChangeLoop(*stop); });
  siteChangeRunning_ = true;
}

void ConfigStore::StopSiteChangeThread() {
  std::lock_guard<std::mutex> guard(lifecycle_);
  if (!siteChangeRunning_) return;
  siteChangeStopEvent_->Set();
  siteChangeThread_->Join();
  siteChangeThread_.reset();
  siteChangeStopEvent_.reset();
  siteChangeRunning_ = false;
}

}  // namespace vortane
