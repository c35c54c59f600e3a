#include "config/site_config.h"
#include "base/file_names.h"

#include "config/parser.h"
#include "platform/files.h"
#include "platform/site_roots.h"

namespace vortane {

SiteConfig::SiteConfig(uint32_t siteId, platform::PathString path, int32_t globalRepeatLimit)
    : repeatLimit(globalRepeatLimit),
      lastUse(platform::SystemFileTime()),
      siteId(siteId),
      path(std::move(path)) {
  const std::optional<platform::FileStamp> named = platform::ReadFileStamp(this->path);
  if (!named) return;
  ParsedConfig parsed;
  unreadable = !ParseConfigFile(this->path, {siteId, globalRepeatLimit}, parsed);
  // The stamp of the bytes read: a file changed between the two reads is judged by what was
  // read, so the next check sees the change.
  stamp = parsed.stamp ? parsed.stamp : named;
  digest = parsed.digest;
  fileTime = {static_cast<uint32_t>(stamp->lastWrite),
              static_cast<uint32_t>(stamp->lastWrite >> 32)};
  rules = std::move(parsed.rules);
  settings = std::move(parsed.settings);
  IndexRules();
  for (const SettingDirective& setting : settings) {
    if (setting.kind == SettingDirective::Kind::RepeatLimit) {
      repeatLimit.store(static_cast<int32_t>(setting.value), std::memory_order_relaxed);
    }
  }
}

void SiteConfig::LowerRepeatLimit(int32_t limit) {
  int32_t current = repeatLimit.load(std::memory_order_relaxed);
  while (current > limit &&
         !repeatLimit.compare_exchange_weak(current, limit, std::memory_order_relaxed)) {
  }
}

platform::PathString PathBeside(const platform::PathString& path, std::string_view fileName) {
  platform::PathString beside = path.substr(0, path.rfind(platform::kPathSeparator));
  beside += platform::kPathSeparator;
  beside.append(fileName.begin(), fileName.end());
  return beside;
}

platform::PathString ResolveConfigPath(const platform::PathString& globalConfigPath,
                                       uint32_t siteId) {
  if (siteId == 0) return globalConfigPath;
  const std::optional<platform::PathString> root = platform::ReadSiteRootPath(
      siteId, globalConfigPath.substr(0, globalConfigPath.rfind(platform::kPathSeparator)));
  if (!root) return {};
  return SiteConfigPath(*root);
}

platform::PathString SiteConfigPath(const platform::PathString& root) {
  platform::PathString path = root;
  path += platform::kPathSeparator;
  path += {'h', 't', 't', 'p', 'd', '.', 'i', 'n', 'i'};
  return path;
}

std::optional<platform::PathString> ComputeGlobalConfigPath(platform::ModuleHandle module) {
  const std::optional<platform::PathString> name = platform::ModuleFileName(module);
  if (!name) return std::nullopt;
  return PathBeside(*name, kConfigFileName);
}

}  // namespace vortane
