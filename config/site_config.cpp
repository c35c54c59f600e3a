#include "config/site_config.h"

#include "config/parser.h"
#include "platform/files.h"
#include "platform/site_roots.h"

namespace vortane {

std::atomic<int32_t> globalRepeatLimit{32};

namespace {
// Only the milliseconds are stored; the ticks follow from them, so one atomic load gives
// a consistent pair.
std::atomic<uint32_t> cacheClockRateMs{kDefaultCacheClockRateMs};
// Built on first use: the library's load handling sets it before this file's own static
// initialisers would have run.
platform::PathString& GlobalPath() {
  static platform::PathString path;
  return path;
}
}  // namespace

SiteConfig::SiteConfig(uint32_t siteId) : SiteConfig(siteId, ResolveConfigPath(siteId)) {}

SiteConfig::SiteConfig(uint32_t siteId, platform::PathString path)
    : repeatLimit(globalRepeatLimit.load(std::memory_order_relaxed)),
      lastUse(platform::SystemFileTime()),
      siteId(siteId),
      path(std::move(path)) {
  const std::optional<uint64_t> written = platform::ReadLastWriteTime(this->path);
  if (!written) return;
  fileTime = {static_cast<uint32_t>(*written), static_cast<uint32_t>(*written >> 32)};
  unreadable = !ParseConfigFile(*this);
}

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

const platform::PathString& GlobalConfigPath() { return GlobalPath(); }

void SetGlobalConfigPath(platform::PathString path) { GlobalPath() = std::move(path); }

platform::PathString PathBeside(const platform::PathString& path, std::string_view fileName) {
  platform::PathString beside = path.substr(0, path.rfind(platform::kPathSeparator));
  beside += platform::kPathSeparator;
  beside.append(fileName.begin(), fileName.end());
  return beside;
}

platform::PathString ResolveConfigPath(uint32_t siteId) {
  if (siteId == 0) return GlobalConfigPath();
  const std::optional<platform::PathString> root = platform::ReadSiteRootPath(
      siteId, GlobalPath().substr(0, GlobalPath().rfind(platform::kPathSeparator)));
  if (!root) return {};
  platform::PathString path = *root;
  path += platform::kPathSeparator;
  path += {'h', 't', 't', 'p', 'd', '.', 'i', 'n', 'i'};
  return path;
}

bool ComputeGlobalConfigPath(platform::ModuleHandle module) {
  const std::optional<platform::PathString> name = platform::ModuleFileName(module);
  if (!name) return false;
  SetGlobalConfigPath(PathBeside(*name, "httpd.ini"));
  return true;
}

}  // namespace vortane
