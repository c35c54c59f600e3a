// The configuration record and the global configuration path.
#include "config/site_config.h"

#include <gtest/gtest.h>

#include <string>

namespace vortane {
namespace {

platform::PathString Path(const std::string& text) {
  return platform::PathString(text.begin(), text.end());
}

TEST(SiteConfigTest, KeepsTheRepeatLimitItWasBuiltWith) {
  EXPECT_EQ(SiteConfig(3, {}).RepeatLimit(), 32);
  SiteConfig config(3, {}, 10);
  EXPECT_EQ(config.RepeatLimit(), 10);
  EXPECT_EQ(config.siteId, 3u);
  EXPECT_EQ(config.fileTime, FileTime());
  EXPECT_EQ(config.fileTime.low, 0xFFFFFFFFu);

  config.LowerRepeatLimit(20);  // never raised
  EXPECT_EQ(config.RepeatLimit(), 10);
  config.LowerRepeatLimit(4);
  EXPECT_EQ(config.RepeatLimit(), 4);
}

TEST(SiteConfigTest, LastUseStartsAtConstruction) {
  const uint64_t before = platform::SystemFileTime();
  SiteConfig config(0, {});
  const uint64_t after = platform::SystemFileTime();
  EXPECT_GE(config.lastUse.load(), before);
  EXPECT_LE(config.lastUse.load(), after);
  // A plausible date: after 2020-01-01 (132223104000000000 in file time).
  EXPECT_GT(before, 132223104000000000ull);
}

TEST(GlobalConfigPathTest, IsTheModulesDirectoryPlusHttpdIni) {
  const platform::PathChar sep = platform::kPathSeparator;
  const platform::PathString dir = Path("base") + sep + Path("filters");
  EXPECT_EQ(PathBeside(dir + sep + Path("vortane.dll"), "httpd.ini"),
            dir + sep + Path("httpd.ini"));

  const std::optional<platform::PathString> computed =
      ComputeGlobalConfigPath(platform::ThisModule());
  ASSERT_TRUE(computed);
  const platform::PathString& path = *computed;
  const platform::PathString module = *platform::ModuleFileName(platform::ThisModule());
  EXPECT_EQ(path.substr(0, path.rfind(sep)), module.substr(0, module.rfind(sep)));
  EXPECT_EQ(path.substr(path.rfind(sep) + 1), Path("httpd.ini"));
}

}  // namespace
}  // namespace vortane
