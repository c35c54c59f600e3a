#include "config/site_config.h"

#include "base/file_names.h"
#include "config/parser.h"
#include "platform/files.h"
#include "platform/site_roots.h"
#include "rules/pass_values.h"

namespace vortane {

namespace {

// The repeat limit a configuration starts with: the file's last RepeatLimit, else the global.
int32_t StartingRepeatLimit(const std::vector<SettingDirective>& settings,
                            int32_t globalRepeatLimit) {
  int32_t limit = globalRepeatLimit;
  for (const SettingDirective& setting : settings) {
    if (setting.kind == SettingDirective::Kind::RepeatLimit) {
      limit = static_cast<int32_t>(setting.value);
    }
  }
  return limit;
}

FileTime FileTimeOf(const std::optional<platform::FileStamp>& stamp) {
  if (!stamp) return FileTime();
  return {static_cast<uint32_t>(stamp->lastWrite), static_cast<uint32_t>(stamp->lastWrite >> 32)};
}

}  // namespace

SiteConfig::SiteConfig(uint32_t siteId, platform::PathString path, int32_t globalRepeatLimit,
                       SiteFolders folders)
    : SiteConfig(Load(siteId, std::move(path), globalRepeatLimit), siteId, globalRepeatLimit,
                 std::move(folders)) {}

SiteConfig::SiteConfig(uint32_t siteId, platform::PathString path, ParsedConfig parsed,
                       int32_t globalRepeatLimit, SiteFolders folders)
    : SiteConfig(Loaded{std::move(parsed), std::move(path)}, siteId, globalRepeatLimit,
                 std::move(folders)) {}

SiteConfig::SiteConfig(Loaded loaded, uint32_t siteId, int32_t globalRepeatLimit,
                       SiteFolders folders)
    : rules(NumberValues(std::move(loaded.parsed.rules))),
      ruleIndex(rules),
      settings(std::move(loaded.parsed.settings)),
      stamp(loaded.parsed.stamp),
      fileTime(FileTimeOf(stamp)),
      digest(loaded.parsed.digest),
      siteId(siteId),
      path(std::move(loaded.path)),
      unreadable(loaded.unreadable),
      folders(std::move(folders)),
      repeatLimit(StartingRepeatLimit(settings, globalRepeatLimit)),
      lastUse(loaded.started) {}

SiteConfig::Loaded SiteConfig::Load(uint32_t siteId, platform::PathString path,
                                    int32_t globalRepeatLimit) {
  Loaded loaded;
  loaded.path = std::move(path);
  const std::optional<platform::FileStamp> named = platform::ReadFileStamp(loaded.path);
  if (!named) return loaded;
  loaded.unreadable = !ParseConfigFile(loaded.path, {siteId, globalRepeatLimit}, loaded.parsed);
  // The stamp of the bytes read: a file changed between the two reads is judged by what was
  // read, so the next check sees the change.
  if (!loaded.parsed.stamp) loaded.parsed.stamp = named;
  return loaded;
}

void SiteConfig::LowerRepeatLimit(int32_t limit) const {
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
