#include "config/site_config.h"

namespace vortane {

std::atomic<int32_t> globalRepeatLimit{32};

namespace {
// Only the milliseconds are stored; the ticks follow from them, so one atomic load gives
// a consistent pair.
std::atomic<uint32_t> cacheClockRateMs{kDefaultCacheClockRateMs};
platform::PathString globalConfigPath;
}  // namespace

SiteConfig::SiteConfig(uint32_t siteId, platform::PathString path)
    : repeatLimit(globalRepeatLimit.load(std::memory_order_relaxed)),
      lastUse(platform::SystemFileTime()),
      siteId(siteId),
      path(std::move(path)) {}

void SiteConfig::LowerRepeatLimit(int32_t limit) {
  int32_t current = repeatLimit.load(std::memory_order_relaxed);
  while (current > limit &&
         !repeatLimit.compare_exchange_weak(current, limit, std::memory_order_relaxed)) {
  }
}

CacheClockRate LoadCacheClockRate() {
  const uint32_t ms = cacheClockRateMs.load(std::memory_order_relaxed);
  return {ms, static_cast<uint64_t>(ms) * 10000u};
}

void StoreCacheClockRate(uint32_t rateMs) {
  cacheClockRateMs.store(rateMs, std::memory_order_relaxed);
}

const platform::PathString& GlobalConfigPath() {
  return globalConfigPath;
}

platform::PathString ConfigPathBeside(const platform::PathString& moduleFileName) {
  static const platform::PathString kFileName = {'h', 't', 't', 'p', 'd', '.', 'i', 'n', 'i'};
  platform::PathString path =
      moduleFileName.substr(0, moduleFileName.rfind(platform::kPathSeparator));
  path += platform::kPathSeparator;
  path += kFileName;
  return path;
}

bool ComputeGlobalConfigPath(platform::ModuleHandle module) {
  const std::optional<platform::PathString> name = platform::ModuleFileName(module);
  if (!name) return false;
  globalConfigPath = ConfigPathBeside(*name);
  return true;
}

}  // namespace vortane
