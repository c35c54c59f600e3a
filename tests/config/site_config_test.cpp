// The configuration record and the global configuration path.
#include "config/site_config.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "tests/support/rule_builder.h"

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

// Nothing edits a configuration's rules, index or settings once it is built: they could no
// longer agree with each other.
static_assert(
    !std::is_assignable_v<decltype((std::declval<SiteConfig&>().rules)), std::vector<Rule>>);
static_assert(!std::is_assignable_v<decltype((std::declval<SiteConfig&>().ruleIndex)), RuleIndex>);
static_assert(!std::is_assignable_v<decltype((std::declval<SiteConfig&>().settings)),
                                    std::vector<SettingDirective>>);

// A configuration built from parts holds what a load of them would: its rules already
// indexed, the repeat limit of its last RepeatLimit, the file time of its stamp.
TEST(SiteConfigTest, IsBuiltWholeFromItsParts) {
  using Kind = SettingDirective::Kind;
  struct Case {
    const char* name;
    std::vector<SettingDirective> settings;
    std::optional<platform::FileStamp> stamp;
    int32_t repeatLimit;
    FileTime fileTime;
  };
  const Case cases[] = {
      {"no settings, no file", {}, std::nullopt, 10, FileTime()},
      {"the last RepeatLimit wins",
       {{Kind::RepeatLimit, 2, 5}, {Kind::CacheClockRate, 3, 1000}, {Kind::RepeatLimit, 4, 7}},
       platform::FileStamp{0x0000000500000009u},
       7,
       {9, 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ParsedConfig parsed;
    parsed.rules.push_back(testing::MakeRule({}, "^/a/b$", "/c", ""));
    parsed.rules.push_back(testing::MakeRule({}, ".*", "/d", ""));
    parsed.settings = c.settings;
    parsed.stamp = c.stamp;
    const SiteConfig config(4, Path("x"), std::move(parsed), 10);
    ASSERT_EQ(config.rules.size(), 2u);
    EXPECT_EQ(config.rules[1].format, "/d");
    EXPECT_EQ(config.ruleIndex.RuleCount(), 2u);
    EXPECT_TRUE(config.ruleIndex.Indexes());
    EXPECT_EQ(config.settings, c.settings);
    EXPECT_EQ(config.RepeatLimit(), c.repeatLimit);
    EXPECT_EQ(config.fileTime, c.fileTime);
    EXPECT_EQ(config.stamp.has_value(), c.stamp.has_value());
    EXPECT_FALSE(config.unreadable);
  }
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
